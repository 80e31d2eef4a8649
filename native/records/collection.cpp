#include "records/collection.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include "engine/store.h"
#include "engine/transaction.h"
#include "records/own_transaction.h"
#include "util/component_key.h"

namespace ombrel::records {

namespace {

constexpr uint8_t kFormatVersion = 1;
// The fixed bytes of each value (collection.h): before the codec of a
// definition or a migration, before a record's value, and around the name
// and value of each of its index entries.
constexpr size_t kDefinitionFixedBytes = 1 + 4 + 4;
constexpr size_t kMigrationFixedBytes = 1 + 4 + 4 + 4;
constexpr size_t kRecordFixedBytes = 1 + 4 + 2;
constexpr size_t kIndexEntryFixedBytes = 2 + 4;
static_assert(kDefinitionFixedBytes == 9 && kMigrationFixedBytes == 13 && kRecordFixedBytes == 7);
constexpr uint64_t kMaxU32 = std::numeric_limits<uint32_t>::max();
constexpr size_t kMaxIndexValues = std::numeric_limits<uint16_t>::max();
constexpr size_t kMaxIndexNameBytes = std::numeric_limits<uint16_t>::max();

std::unexpected<CollectionError> fail(CollectionError::Kind kind) { return std::unexpected(CollectionError::of(kind)); }
std::unexpected<CollectionError> fail(const engine::EngineError& error) {
  return std::unexpected(CollectionError::engine(error));
}

CollectionResult<Bytes> built(std::optional<Bytes> key) {
  if (!key) return fail(CollectionError::Kind::ComponentTooLarge);
  return std::move(*key);
}

Bytes be32(uint32_t value) {
  Bytes out;
  ByteWriter(out).u32_be(value);
  return out;
}

// The index entry keys of `indexes` for one record, built before any write so
// that an unencodable one fails the call with nothing written.
CollectionResult<std::vector<Bytes>> entry_keys(BytesView collection, BytesView primary_key,
                                                const std::vector<IndexValue>& indexes) {
  std::vector<Bytes> keys;
  keys.reserve(indexes.size());
  for (const IndexValue& index : indexes) {
    auto key = index_entry_key(collection, index.name, index.value, primary_key);
    if (!key) return std::unexpected(key.error());
    keys.push_back(std::move(*key));
  }
  return keys;
}

CollectionResult<void> written(const std::expected<void, engine::EngineError>& done) {
  if (!done) return fail(done.error());
  return {};
}

// Upsert inside `tx`: every read and check first, then the writes.
CollectionResult<void> upsert_in(engine::Transaction& tx, BytesView collection, BytesView primary_key, BytesView value,
                                 const std::vector<IndexValue>& indexes) {
  auto meta = meta_key(collection);
  if (!meta) return std::unexpected(meta.error());
  if (!tx.get_internal(*meta)) return fail(CollectionError::Kind::CollectionNotFound);
  if (primary_key.empty()) return fail(CollectionError::Kind::EmptyPrimaryKey);
  auto key = record_key(collection, primary_key);
  if (!key) return std::unexpected(key.error());

  std::optional<StoredRecord> old;
  if (auto stored = tx.get_internal(*key)) {
    auto decoded = decode_record_value(*stored);
    if (!decoded) return std::unexpected(decoded.error());
    old = std::move(*decoded);
  }

  for (const IndexValue& index : indexes) {
    auto definition_key = index_meta_key(collection, index.name);
    if (!definition_key) return std::unexpected(definition_key.error());
    auto definition = tx.get_internal(*definition_key);
    if (!definition) return fail(CollectionError::Kind::IndexNotFound);
    auto unique = decode_index_definition(*definition);
    if (!unique) return std::unexpected(unique.error());
    if (!*unique) continue;
    auto prefix = index_value_prefix(collection, index.name, index.value);
    if (!prefix) return std::unexpected(prefix.error());
    // Entries of this very record are not a violation: re-writing a record
    // with its own unique value must succeed.
    for (const auto& [entry, holder] : tx.scan_prefix_internal(*prefix)) {
      if (holder != primary_key) return fail(CollectionError::Kind::UniqueIndexViolation);
    }
  }

  auto encoded = encode_record_value(StoredRecord{Bytes(value), indexes});
  if (!encoded) return std::unexpected(encoded.error());
  auto new_entries = entry_keys(collection, primary_key, indexes);
  if (!new_entries) return std::unexpected(new_entries.error());
  std::vector<Bytes> old_entries;
  if (old) {
    auto keys = entry_keys(collection, primary_key, old->indexes);
    if (!keys) return std::unexpected(keys.error());
    old_entries = std::move(*keys);
  }

  // Old entries go before new ones are put, so an unchanged value stays.
  for (const Bytes& entry : old_entries) {
    if (auto done = written(tx.delete_internal(entry)); !done) return done;
  }
  if (auto done = written(tx.put_internal(*key, *encoded)); !done) return done;
  for (const Bytes& entry : *new_entries) {
    if (auto done = written(tx.put_internal(entry, primary_key)); !done) return done;
  }
  return {};
}

CollectionResult<bool> delete_in(engine::Transaction& tx, BytesView collection, BytesView primary_key) {
  auto key = record_key(collection, primary_key);
  if (!key) return std::unexpected(key.error());
  auto stored = tx.get_internal(*key);
  if (!stored) return false;
  auto old = decode_record_value(*stored);
  if (!old) return std::unexpected(old.error());
  auto entries = entry_keys(collection, primary_key, old->indexes);
  if (!entries) return std::unexpected(entries.error());
  if (auto done = written(tx.delete_internal(*key)); !done) return std::unexpected(done.error());
  for (const Bytes& entry : *entries) {
    if (auto done = written(tx.delete_internal(entry)); !done) return std::unexpected(done.error());
  }
  return true;
}

}  // namespace

// ---- keys ----

CollectionResult<Bytes> meta_key(BytesView collection) { return built(component_key(kMetaPrefix, {collection})); }

CollectionResult<Bytes> record_key(BytesView collection, BytesView primary_key) {
  return built(component_key(kRecordPrefix, {collection, primary_key}));
}

CollectionResult<Bytes> record_prefix(BytesView collection) {
  return built(component_key(kRecordPrefix, {collection}));
}

CollectionResult<Bytes> index_meta_key(BytesView collection, BytesView index) {
  return built(component_key(kIndexMetaPrefix, {collection, index}));
}

CollectionResult<Bytes> index_entry_key(BytesView collection, BytesView index, BytesView value, BytesView primary_key) {
  return built(component_key(kIndexPrefix, {collection, index, value, primary_key}));
}

CollectionResult<Bytes> index_value_prefix(BytesView collection, BytesView index, BytesView value) {
  return built(component_key(kIndexPrefix, {collection, index, value}));
}

CollectionResult<Bytes> index_prefix(BytesView collection, BytesView index) {
  return built(component_key(kIndexPrefix, {collection, index}));
}

CollectionResult<Bytes> migration_key(BytesView collection, uint32_t from_version, uint32_t to_version) {
  const Bytes from = be32(from_version);
  const Bytes to = be32(to_version);
  return built(component_key(kMigrationPrefix, {collection, from, to}));
}

CollectionResult<Bytes> migration_prefix(BytesView collection) {
  return built(component_key(kMigrationPrefix, {collection}));
}

// ---- values ----

CollectionResult<Bytes> encode_collection_definition(const CollectionDefinition& definition) {
  if (definition.codec.size() > kMaxU32) return fail(CollectionError::Kind::ComponentTooLarge);
  Bytes out;
  out.reserve(kDefinitionFixedBytes + definition.codec.size());
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.u32_le(definition.schema_version);
  w.field_le(definition.codec);
  return out;
}

CollectionResult<CollectionDefinition> decode_collection_definition(BytesView bytes) {
  ByteReader r(bytes);
  auto version = r.u8();
  auto schema_version = r.u32_le();
  auto codec = r.field_le();
  if (!version || *version != kFormatVersion || !schema_version || !codec || !r.at_end())
    return fail(CollectionError::Kind::CorruptMetadata);
  return CollectionDefinition{Bytes(*codec), *schema_version};
}

Bytes encode_index_definition(bool unique) {
  Bytes out;
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.u8(unique ? 1 : 0);
  return out;
}

CollectionResult<bool> decode_index_definition(BytesView bytes) {
  ByteReader r(bytes);
  auto version = r.u8();
  auto unique = r.u8();
  if (!version || *version != kFormatVersion || !unique || *unique > 1 || !r.at_end())
    return fail(CollectionError::Kind::CorruptMetadata);
  return *unique == 1;
}

CollectionResult<Bytes> encode_record_value(const StoredRecord& record) {
  if (record.value.size() > kMaxU32) return fail(CollectionError::Kind::ComponentTooLarge);
  if (record.indexes.size() > kMaxIndexValues) return fail(CollectionError::Kind::TooManyIndexes);
  size_t total = kRecordFixedBytes + record.value.size();
  for (const IndexValue& index : record.indexes) {
    if (index.name.size() > kMaxIndexNameBytes || index.value.size() > kMaxU32)
      return fail(CollectionError::Kind::ComponentTooLarge);
    total += kIndexEntryFixedBytes + index.name.size() + index.value.size();
  }
  Bytes out;
  out.reserve(total);
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.u32_le(static_cast<uint32_t>(record.value.size()));
  w.u16_le(static_cast<uint16_t>(record.indexes.size()));
  w.bytes(record.value);
  for (const IndexValue& index : record.indexes) {
    w.u16_le(static_cast<uint16_t>(index.name.size()));
    w.bytes(index.name);
    w.field_le(index.value);
  }
  return out;
}

CollectionResult<StoredRecord> decode_record_value(BytesView bytes) {
  const auto corrupt = fail(CollectionError::Kind::CorruptRecord);
  ByteReader r(bytes);
  auto version = r.u8();
  auto value_len = r.u32_le();
  auto count = r.u16_le();
  if (!version || *version != kFormatVersion || !value_len || !count) return corrupt;
  auto value = r.bytes(*value_len);
  if (!value) return corrupt;
  StoredRecord record;
  record.value.assign(*value);
  record.indexes.reserve(*count);
  for (uint16_t i = 0; i < *count; ++i) {
    auto name_len = r.u16_le();
    if (!name_len) return corrupt;
    auto name = r.bytes(*name_len);
    auto index_value = r.field_le();
    if (!name || !index_value) return corrupt;
    record.indexes.push_back(IndexValue{Bytes(*name), Bytes(*index_value)});
  }
  if (!r.at_end()) return corrupt;
  return record;
}

CollectionResult<Bytes> encode_collection_migration(const CollectionMigration& migration) {
  if (migration.codec.size() > kMaxU32) return fail(CollectionError::Kind::ComponentTooLarge);
  Bytes out;
  out.reserve(kMigrationFixedBytes + migration.codec.size());
  ByteWriter w(out);
  w.u8(kFormatVersion);
  w.u32_le(migration.from_version);
  w.u32_le(migration.to_version);
  w.field_le(migration.codec);
  return out;
}

CollectionResult<CollectionMigration> decode_collection_migration(BytesView bytes) {
  ByteReader r(bytes);
  auto version = r.u8();
  auto from = r.u32_le();
  auto to = r.u32_le();
  auto codec = r.field_le();
  if (!version || *version != kFormatVersion || !from || !to || !codec || !r.at_end() || *to <= *from)
    return fail(CollectionError::Kind::CorruptMetadata);
  return CollectionMigration{Bytes(*codec), *from, *to};
}

// ---- operations ----

CollectionResult<bool> create_collection(engine::Store& store, BytesView name, const CollectionDefinition& definition) {
  if (name.empty()) return fail(CollectionError::Kind::EmptyName);
  auto key = meta_key(name);
  if (!key) return std::unexpected(key.error());
  if (store.contains_key(*key)) return false;
  auto encoded = encode_collection_definition(definition);
  if (!encoded) return std::unexpected(encoded.error());
  if (auto done = store.put_internal(*key, *encoded); !done) return fail(done.error());
  return true;
}

CollectionResult<bool> define_index(engine::Store& store, BytesView collection, const IndexDefinition& index) {
  auto meta = meta_key(collection);
  if (!meta) return std::unexpected(meta.error());
  if (!store.contains_key(*meta)) return fail(CollectionError::Kind::CollectionNotFound);
  if (index.name.empty()) return fail(CollectionError::Kind::EmptyName);
  auto key = index_meta_key(collection, index.name);
  if (!key) return std::unexpected(key.error());
  if (store.contains_key(*key)) return false;
  if (auto done = store.put_internal(*key, encode_index_definition(index.unique)); !done) return fail(done.error());
  return true;
}

CollectionResult<void> upsert_record(engine::Store& store, BytesView collection, BytesView primary_key, BytesView value,
                                     const std::vector<IndexValue>& indexes) {
  return in_own_transaction(
      store, [&](engine::Transaction& tx) { return upsert_in(tx, collection, primary_key, value, indexes); });
}

CollectionResult<void> upsert_record(engine::Transaction& tx, BytesView collection, BytesView primary_key,
                                     BytesView value, const std::vector<IndexValue>& indexes) {
  return upsert_in(tx, collection, primary_key, value, indexes);
}

CollectionResult<std::optional<CollectionRecord>> get_record(const engine::Store& store, BytesView collection,
                                                             BytesView primary_key) {
  auto key = record_key(collection, primary_key);
  if (!key) return std::unexpected(key.error());
  const auto stored = store.find(*key);
  if (!stored) return std::optional<CollectionRecord>{};
  auto record = decode_record_value(*stored);
  if (!record) return std::unexpected(record.error());
  return CollectionRecord{Bytes(primary_key), std::move(record->value), std::move(record->indexes)};
}

CollectionResult<bool> delete_record(engine::Store& store, BytesView collection, BytesView primary_key) {
  return in_own_transaction(store, [&](engine::Transaction& tx) { return delete_in(tx, collection, primary_key); });
}

CollectionResult<bool> delete_record(engine::Transaction& tx, BytesView collection, BytesView primary_key) {
  return delete_in(tx, collection, primary_key);
}

CollectionResult<std::vector<CollectionRecord>> scan_collection(const engine::Store& store, BytesView collection) {
  auto prefix = record_prefix(collection);
  if (!prefix) return std::unexpected(prefix.error());
  std::vector<CollectionRecord> records;
  for (const auto& [key, stored] : store.prefix_range(*prefix)) {
    ByteReader rest(BytesView(key).substr(prefix->size()));
    auto primary_key = rest.component();
    if (!primary_key || !rest.at_end()) return fail(CollectionError::Kind::CorruptMetadata);
    auto record = decode_record_value(stored);
    if (!record) return std::unexpected(record.error());
    records.push_back(CollectionRecord{Bytes(*primary_key), std::move(record->value), std::move(record->indexes)});
  }
  return records;
}

CollectionResult<std::optional<CollectionDefinition>> collection_definition(const engine::Store& store,
                                                                            BytesView name) {
  auto key = meta_key(name);
  if (!key) return std::unexpected(key.error());
  const auto stored = store.find(*key);
  if (!stored) return std::optional<CollectionDefinition>{};
  auto definition = decode_collection_definition(*stored);
  if (!definition) return std::unexpected(definition.error());
  return std::optional<CollectionDefinition>(std::move(*definition));
}

CollectionResult<std::vector<CollectionMigration>> collection_migrations(const engine::Store& store,
                                                                         BytesView collection) {
  auto prefix = migration_prefix(collection);
  if (!prefix) return std::unexpected(prefix.error());
  std::vector<CollectionMigration> migrations;
  for (const auto& [key, stored] : store.prefix_range(*prefix)) {
    auto migration = decode_collection_migration(stored);
    if (!migration) return std::unexpected(migration.error());
    migrations.push_back(std::move(*migration));
  }
  std::ranges::stable_sort(migrations, {},
                           [](const CollectionMigration& m) { return std::tuple(m.from_version, m.to_version); });
  return migrations;
}

CollectionResult<bool> migrate_collection_schema(engine::Store& store, BytesView collection, uint32_t expected_version,
                                                 uint32_t next_version, BytesView codec) {
  auto meta = meta_key(collection);
  if (!meta) return std::unexpected(meta.error());
  const auto stored = store.find(*meta);
  if (!stored) return fail(CollectionError::Kind::CollectionNotFound);
  auto current = decode_collection_definition(*stored);
  if (!current) return std::unexpected(current.error());
  if (current->schema_version != expected_version) return false;
  if (expected_version >= next_version) return fail(CollectionError::Kind::SchemaVersionMustIncrease);

  auto definition = encode_collection_definition(CollectionDefinition{Bytes(codec), next_version});
  if (!definition) return std::unexpected(definition.error());
  auto migration = encode_collection_migration(CollectionMigration{Bytes(codec), expected_version, next_version});
  if (!migration) return std::unexpected(migration.error());
  auto key = migration_key(collection, expected_version, next_version);
  if (!key) return std::unexpected(key.error());
  return in_own_transaction(store, [&](engine::Transaction& tx) -> CollectionResult<bool> {
    if (auto done = written(tx.put_internal(*meta, *definition)); !done) return std::unexpected(done.error());
    if (auto done = written(tx.put_internal(*key, *migration)); !done) return std::unexpected(done.error());
    return true;
  });
}

}  // namespace ombrel::records
