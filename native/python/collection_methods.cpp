// Collection methods of Store: create a collection, define an index, upsert,
// read, delete and scan records, read the definition and its migrations, and
// migrate the schema version; and the record staging methods of Transaction,
// upsert_record and delete_record, declared once with the Store's.
//
// Contract: records are returned as (primary_key, value, indexes) tuples,
// indexes being a list of (index name, index value) tuples in stored order;
// a definition as (schema_version, codec); a migration as (from_version,
// to_version, codec). A codec of None stores b"bytes". Every CollectionError
// is raised as OmbrelStoreError with its own display text.
#include "python/collection_methods.h"

#include <span>
#include <string_view>

#include "engine/store.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/method_registry.h"
#include "python/operation.h"
#include "python/store_slot.h"
#include "python/transaction.h"

namespace ombrel::python {

PyObject* collection_record_result(const records::CollectionRecord& record) {
  return tuple_result({bytes_result(record.primary_key), bytes_result(record.value),
                       list_result(record.indexes, [](const records::IndexValue& index) {
                         return tuple_result({bytes_result(index.name), bytes_result(index.value)});
                       })});
}

namespace {

// The `indexes` argument: a sequence of (index name, index value) pairs;
// omitted means none.
struct IndexValuesArg {
  using Value = std::vector<records::IndexValue>;
  static constexpr bool kEmptyWhenOmitted = true;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    auto pairs = byte_pairs_arg(object, name);
    if (!pairs) return std::nullopt;
    Value indexes;
    indexes.reserve(pairs->size());
    for (auto& [index, value] : *pairs) indexes.push_back(records::IndexValue{std::move(index), std::move(value)});
    return indexes;
  }
};

// A codec label; None stores the default one.
struct CodecArg {
  using Value = std::string;
  static constexpr bool kAcceptsNone = true;
  static std::optional<Value> convert(PyObject*, PyObject* object, const char* name) {
    auto codec = optional_byte_vec_arg(object, name);
    if (!codec) return std::nullopt;
    return codec->value_or(std::string(records::kDefaultCodec));
  }
};

PyObject* map_collection_error(const ModuleState& state, const records::CollectionError& error) {
  return raise_domain_error(state, error.message());
}

struct CreateCollection {
  static constexpr const char* kName = "create_collection";
  std::string_view name;
  uint32_t schema_version;
  std::string codec;
  static constexpr auto kParams =
      params(param("name", &CreateCollection::name), keyword("schema_version", &CreateCollection::schema_version, 1),
             keyword<CodecArg>("codec", &CreateCollection::codec, kNone));
  static constexpr const char* kDoc =
      "Create the collection `name` with a schema version and a codec label (None stores b\"bytes\").\n\n"
      "Returns True when created, False when the collection existed (its definition is left unchanged).";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto created = records::create_collection(store, name, records::CollectionDefinition{codec, schema_version});
      if (!created) return map_collection_error(state, created.error());
      return bool_result(*created);
    });
  }
};

struct DefineIndex {
  static constexpr const char* kName = "define_index";
  std::string_view collection;
  std::string_view name;
  bool unique;
  static constexpr auto kParams =
      params(param("collection", &DefineIndex::collection), param("name", &DefineIndex::name),
             keyword("unique", &DefineIndex::unique, false));
  static constexpr const char* kDoc =
      "Define the secondary index `name` on `collection`, unique or not.\n\n"
      "Returns True when defined, False when an index of that name existed (its unique flag is left\n"
      "unchanged). Records already stored are not indexed: only later upserts that name a value for it.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto defined = records::define_index(store, collection, records::IndexDefinition{std::string(name), unique});
      if (!defined) return map_collection_error(state, defined.error());
      return bool_result(*defined);
    });
  }
};

template <class B>
struct UpsertRecord {
  static constexpr const char* kName = "upsert_record";
  static constexpr bool kReturnsPosition = false;
  using Bytes = B;
  Bytes collection;
  Bytes primary_key;
  Bytes value;
  std::vector<records::IndexValue> indexes;
  static constexpr auto kParams =
      params(param("collection", &UpsertRecord::collection), param("primary_key", &UpsertRecord::primary_key),
             param("value", &UpsertRecord::value), keyword<IndexValuesArg>("indexes", &UpsertRecord::indexes, kEmpty));
  static constexpr const char* kStoreDoc =
      "Insert or replace the record `primary_key` of `collection` together with its index entries.\n\n"
      "indexes: a sequence of (index name, index value) pairs; omitted means none. The new list\n"
      "replaces the record's old one, so a value it omits loses its entry. Raises OmbrelStoreError\n"
      "\"unique index violation\" when a unique index value belongs to another record.";
  static constexpr const char* kStagedDoc =
      "Stage an upsert of the record `primary_key` of `collection` with its (index name, index value)\n"
      "pairs, applied at commit as Store.upsert_record does; its errors are raised by commit.";

  auto run(auto& target) const { return records::upsert_record(target, collection, primary_key, value, indexes); }
  void add_to_record_reads(records::RecordOverlay& overlay) const {
    overlay.upsert(collection, primary_key, value, indexes);
  }
};

struct GetRecord {
  static constexpr const char* kName = "get_record";
  std::string_view collection;
  std::string_view primary_key;
  static constexpr auto kParams =
      params(param("collection", &GetRecord::collection), param("primary_key", &GetRecord::primary_key));
  static constexpr const char* kDoc = "Return the record as (primary_key, value, indexes), or None when there is none.";
  static constexpr const char* kTransactionDoc =
      "Return the record as (primary_key, value, indexes), or None, as this transaction sees it: its\n"
      "staged upsert_record and delete_record over the committed records. Staged domain operations\n"
      "take effect at commit and are not seen before it.";

  PyObject* answer(const TransactionView& view, const ModuleState& state) const {
    auto record = view.records.get_record(view.store, collection, primary_key);
    if (!record) return map_collection_error(state, record.error());
    if (!*record) return none_result();
    return collection_record_result(**record);
  }

  PyObject* call(PyObject* self) const { return answer_on_store(self, *this); }
};

template <class B>
struct DeleteRecord {
  static constexpr const char* kName = "delete_record";
  static constexpr bool kReturnsPosition = false;
  using Bytes = B;
  Bytes collection;
  Bytes primary_key;
  static constexpr auto kParams =
      params(param("collection", &DeleteRecord::collection), param("primary_key", &DeleteRecord::primary_key));
  static constexpr const char* kStoreDoc =
      "Delete the record and its index entries; return True if a record was removed, else False.";
  static constexpr const char* kStagedDoc =
      "Stage the deletion of a record and its index entries, applied at commit as\n"
      "Store.delete_record does (an absent record is no error).";

  auto run(auto& target) const { return records::delete_record(target, collection, primary_key); }
  static PyObject* store_result(bool removed) { return bool_result(removed); }
  void add_to_record_reads(records::RecordOverlay& overlay) const { overlay.erase(collection, primary_key); }
};

struct ScanCollection {
  static constexpr const char* kName = "scan_collection";
  std::string_view collection;
  static constexpr auto kParams = params(param("collection", &ScanCollection::collection));
  static constexpr const char* kDoc =
      "Return every record of `collection` as (primary_key, value, indexes) tuples, in key order:\n"
      "shorter primary keys first, equal lengths bytewise. An unknown collection gives [].";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto found = records::scan_collection(store, collection);
      if (!found) return map_collection_error(state, found.error());
      return list_result(*found, [](const records::CollectionRecord& r) { return collection_record_result(r); });
    });
  }
};

struct CollectionDefinition {
  static constexpr const char* kName = "collection_definition";
  std::string_view name;
  static constexpr auto kParams = params(param("name", &CollectionDefinition::name));
  static constexpr const char* kDoc =
      "Return the collection's (schema_version, codec), or None when it does not exist.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto definition = records::collection_definition(store, name);
      if (!definition) return map_collection_error(state, definition.error());
      if (!*definition) return none_result();
      return tuple_result({int_result(uint64_t{(*definition)->schema_version}), bytes_result((*definition)->codec)});
    });
  }
};

struct CollectionMigrations {
  static constexpr const char* kName = "collection_migrations";
  std::string_view collection;
  static constexpr auto kParams = params(param("collection", &CollectionMigrations::collection));
  static constexpr const char* kDoc =
      "Return the logged schema migrations as (from_version, to_version, codec) tuples, oldest first.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto migrations = records::collection_migrations(store, collection);
      if (!migrations) return map_collection_error(state, migrations.error());
      return list_result(*migrations, [](const records::CollectionMigration& m) {
        return tuple_result(
            {int_result(uint64_t{m.from_version}), int_result(uint64_t{m.to_version}), bytes_result(m.codec)});
      });
    });
  }
};

struct MigrateCollectionSchema {
  static constexpr const char* kName = "migrate_collection_schema";
  std::string_view collection;
  uint32_t expected_version;
  uint32_t next_version;
  std::string codec;
  static constexpr auto kParams = params(param("collection", &MigrateCollectionSchema::collection),
                                         param("expected_version", &MigrateCollectionSchema::expected_version),
                                         param("next_version", &MigrateCollectionSchema::next_version),
                                         keyword<CodecArg>("codec", &MigrateCollectionSchema::codec, kNone));
  static constexpr const char* kDoc =
      "Move the collection from `expected_version` to `next_version` with `codec` (None stores\n"
      "b\"bytes\") and log the migration. Returns False, writing nothing, when the stored version is\n"
      "not `expected_version`. Records are not rewritten.";

  PyObject* call(PyObject* self) const {
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto migrated = records::migrate_collection_schema(store, collection, expected_version, next_version, codec);
      if (!migrated) return map_collection_error(state, migrated.error());
      return bool_result(*migrated);
    });
  }
};

constexpr MethodSpec kCollectionMethods[] = {
    method_spec<CreateCollection>(),
    method_spec<DefineIndex>(),
    method_spec<OnStore<UpsertRecord<Borrowed>>>(),
    method_spec<GetRecord>(),
    method_spec<OnStore<DeleteRecord<Borrowed>>>(),
    method_spec<ScanCollection>(),
    method_spec<CollectionDefinition>(),
    method_spec<CollectionMigrations>(),
    method_spec<MigrateCollectionSchema>(),
};
const MethodBlock kCollectionBlock{TargetClass::Store, kCollectionMethods};

constexpr MethodSpec kRecordTransactionReads[] = {
    method_spec<TransactionRead<GetRecord>>(),
};
const MethodBlock kRecordTransactionReadsBlock{TargetClass::Transaction, kRecordTransactionReads};

constexpr MethodSpec kRecordStagingMethods[] = {method_spec<Staged<UpsertRecord<Owned>>>(),
                                                method_spec<Staged<DeleteRecord<Owned>>>()};
const MethodBlock kRecordStagingBlock{TargetClass::Transaction, kRecordStagingMethods};

}  // namespace
}  // namespace ombrel::python
