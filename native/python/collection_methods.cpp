// Collection methods of Store: create a collection, define an index, upsert,
// read, delete and scan records, read the definition and its migrations, and
// migrate the schema version.
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
#include "python/store_slot.h"

namespace ombrel::python {

std::optional<std::vector<records::IndexValue>> index_values_arg(PyObject* object) {
  auto pairs = byte_pairs_arg(object, "indexes");
  if (!pairs) return std::nullopt;
  std::vector<records::IndexValue> indexes;
  indexes.reserve(pairs->size());
  for (auto& [name, value] : *pairs) indexes.push_back(records::IndexValue{std::move(name), std::move(value)});
  return indexes;
}

PyObject* collection_record_result(const records::CollectionRecord& record) {
  return tuple_result({bytes_result(record.primary_key), bytes_result(record.value),
                       list_result(record.indexes, [](const records::IndexValue& index) {
                         return tuple_result({bytes_result(index.name), bytes_result(index.value)});
                       })});
}

namespace {

using Args = std::span<PyObject* const>;

PyObject* map_collection_error(const ModuleState& state, const records::CollectionError& error) {
  return raise_domain_error(state, error.message());
}

std::optional<std::string> codec_arg(PyObject* object) {
  auto codec = optional_byte_vec_arg(object, "codec");
  if (!codec) return std::nullopt;
  return codec->value_or(std::string(records::kDefaultCodec));
}

struct CreateCollection {
  static constexpr const char* kName = "create_collection";
  static constexpr Param kParams[] = {{"name"}, Param::keyword("schema_version", "1"), Param::keyword("codec", "None")};
  static constexpr const char* kDoc =
      "Create the collection `name` with a schema version and a codec label (None stores b\"bytes\").\n\n"
      "Returns True when created, False when the collection existed (its definition is left unchanged).";

  static PyObject* call(PyObject* self, Args args) {
    auto name = bytes_arg(args[0], "name");
    if (!name) return nullptr;
    auto version = u32_arg(args[1], "schema_version", 1);
    if (!version) return nullptr;
    auto codec = codec_arg(args[2]);
    if (!codec) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto created = records::create_collection(store, *name, records::CollectionDefinition{*codec, *version});
      if (!created) return map_collection_error(state, created.error());
      return bool_result(*created);
    });
  }
};

struct DefineIndex {
  static constexpr const char* kName = "define_index";
  static constexpr Param kParams[] = {{"collection"}, {"name"}, Param::keyword("unique", "False")};
  static constexpr const char* kDoc =
      "Define the secondary index `name` on `collection`, unique or not.\n\n"
      "Returns True when defined, False when an index of that name existed (its unique flag is left\n"
      "unchanged). Records already stored are not indexed: only later upserts that name a value for it.";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    auto name = bytes_arg(args[1], "name");
    if (!name) return nullptr;
    auto unique = bool_arg(args[2], "unique", false);
    if (!unique) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto defined = records::define_index(store, *collection, records::IndexDefinition{std::string(*name), *unique});
      if (!defined) return map_collection_error(state, defined.error());
      return bool_result(*defined);
    });
  }
};

struct UpsertRecord {
  static constexpr const char* kName = "upsert_record";
  static constexpr Param kParams[] = {{"collection"}, {"primary_key"}, {"value"}, Param::keyword("indexes", "...")};
  static constexpr const char* kDoc =
      "Insert or replace the record `primary_key` of `collection` together with its index entries.\n\n"
      "indexes: a sequence of (index name, index value) pairs; omitted means none. The new list\n"
      "replaces the record's old one, so a value it omits loses its entry. Raises OmbrelStoreError\n"
      "\"unique index violation\" when a unique index value belongs to another record.";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    auto primary_key = bytes_arg(args[1], "primary_key");
    if (!primary_key) return nullptr;
    auto value = bytes_arg(args[2], "value");
    if (!value) return nullptr;
    auto indexes = index_values_arg(args[3]);
    if (!indexes) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto done = records::upsert_record(store, *collection, *primary_key, *value, *indexes);
      if (!done) return map_collection_error(state, done.error());
      return none_result();
    });
  }
};

struct GetRecord {
  static constexpr const char* kName = "get_record";
  static constexpr Param kParams[] = {{"collection"}, {"primary_key"}};
  static constexpr const char* kDoc =
      "Return the record as (primary_key, value, indexes), or None when there is none.";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    auto primary_key = bytes_arg(args[1], "primary_key");
    if (!primary_key) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto record = records::get_record(store, *collection, *primary_key);
      if (!record) return map_collection_error(state, record.error());
      if (!*record) return none_result();
      return collection_record_result(**record);
    });
  }
};

struct DeleteRecord {
  static constexpr const char* kName = "delete_record";
  static constexpr Param kParams[] = {{"collection"}, {"primary_key"}};
  static constexpr const char* kDoc =
      "Delete the record and its index entries; return True if a record was removed, else False.";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    auto primary_key = bytes_arg(args[1], "primary_key");
    if (!primary_key) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto removed = records::delete_record(store, *collection, *primary_key);
      if (!removed) return map_collection_error(state, removed.error());
      return bool_result(*removed);
    });
  }
};

struct ScanCollection {
  static constexpr const char* kName = "scan_collection";
  static constexpr Param kParams[] = {{"collection"}};
  static constexpr const char* kDoc =
      "Return every record of `collection` as (primary_key, value, indexes) tuples, in key order:\n"
      "shorter primary keys first, equal lengths bytewise. An unknown collection gives [].";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto found = records::scan_collection(store, *collection);
      if (!found) return map_collection_error(state, found.error());
      return list_result(*found, [](const records::CollectionRecord& r) { return collection_record_result(r); });
    });
  }
};

struct CollectionDefinition {
  static constexpr const char* kName = "collection_definition";
  static constexpr Param kParams[] = {{"name"}};
  static constexpr const char* kDoc =
      "Return the collection's (schema_version, codec), or None when it does not exist.";

  static PyObject* call(PyObject* self, Args args) {
    auto name = bytes_arg(args[0], "name");
    if (!name) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto definition = records::collection_definition(store, *name);
      if (!definition) return map_collection_error(state, definition.error());
      if (!*definition) return none_result();
      return tuple_result({int_result(uint64_t{(*definition)->schema_version}), bytes_result((*definition)->codec)});
    });
  }
};

struct CollectionMigrations {
  static constexpr const char* kName = "collection_migrations";
  static constexpr Param kParams[] = {{"collection"}};
  static constexpr const char* kDoc =
      "Return the logged schema migrations as (from_version, to_version, codec) tuples, oldest first.";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto migrations = records::collection_migrations(store, *collection);
      if (!migrations) return map_collection_error(state, migrations.error());
      return list_result(*migrations, [](const records::CollectionMigration& m) {
        return tuple_result({int_result(uint64_t{m.from_version}), int_result(uint64_t{m.to_version}),
                             bytes_result(m.codec)});
      });
    });
  }
};

struct MigrateCollectionSchema {
  static constexpr const char* kName = "migrate_collection_schema";
  static constexpr Param kParams[] = {
      {"collection"}, {"expected_version"}, {"next_version"}, Param::keyword("codec", "None")};
  static constexpr const char* kDoc =
      "Move the collection from `expected_version` to `next_version` with `codec` (None stores\n"
      "b\"bytes\") and log the migration. Returns False, writing nothing, when the stored version is\n"
      "not `expected_version`. Records are not rewritten.";

  static PyObject* call(PyObject* self, Args args) {
    auto collection = bytes_arg(args[0], "collection");
    if (!collection) return nullptr;
    auto expected = u32_arg(args[1], "expected_version");
    if (!expected) return nullptr;
    auto next = u32_arg(args[2], "next_version");
    if (!next) return nullptr;
    auto codec = codec_arg(args[3]);
    if (!codec) return nullptr;
    return with_open_store(self, [&](engine::Store& store, const ModuleState& state) -> PyObject* {
      auto migrated = records::migrate_collection_schema(store, *collection, *expected, *next, *codec);
      if (!migrated) return map_collection_error(state, migrated.error());
      return bool_result(*migrated);
    });
  }
};

constexpr MethodSpec kCollectionMethods[] = {
    method_spec<CreateCollection>(),     method_spec<DefineIndex>(),         method_spec<UpsertRecord>(),
    method_spec<GetRecord>(),            method_spec<DeleteRecord>(),        method_spec<ScanCollection>(),
    method_spec<CollectionDefinition>(), method_spec<CollectionMigrations>(), method_spec<MigrateCollectionSchema>(),
};
const MethodBlock kCollectionBlock{TargetClass::Store, kCollectionMethods};

}  // namespace
}  // namespace ombrel::python
