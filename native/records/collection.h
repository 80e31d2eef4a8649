// Collections: named sets of records with caller-supplied secondary index
// values, unique indexes and a logged compare-and-set schema migration.
//
// Contract: every write runs in one engine transaction, so a record and its
// index entries change together or not at all; the store never looks inside a
// record value and never derives index values from it. Reads use the
// committed state; upsert and delete read through their own transaction (the
// Transaction& overloads work inside a caller's transaction and leave the
// commit to it). A failed call writes nothing: every check and every encoding
// happens before the first write.
//
// Internal keys (C(x) = 32-bit big-endian length of x, then x; under one
// prefix keys sort by the length of the next component first):
//   meta_key            FF "omb:col:meta:"        C(collection)
//   record_key          FF "omb:col:record:"      C(collection) C(primary key)
//   record_prefix       FF "omb:col:record:"      C(collection)
//   index_meta_key      FF "omb:col:index-meta:"  C(collection) C(index name)
//   index_entry_key     FF "omb:col:index:"       C(collection) C(index name) C(index value) C(primary key)
//   index_value_prefix  FF "omb:col:index:"       C(collection) C(index name) C(index value)
//   index_prefix        FF "omb:col:index:"       C(collection) C(index name)
//   migration_key       FF "omb:col:migration:"   C(collection) C(BE32 from) C(BE32 to)
//   migration_prefix    FF "omb:col:migration:"   C(collection)
// An index entry holds the primary key bytes.
//
// Values (little-endian, first byte the format version 1, exact length):
//   collection definition      offset 0 u8 version | 1 u32 schema version | 5 u32 codec length C | 9 codec
//   index definition           offset 0 u8 version | 1 u8 unique (0 or 1)                       (2 bytes)
//   stored record              offset 0 u8 version | 1 u32 value length V | 5 u16 index count N | 7 value
//                              then N entries: u16 name length L | name | u32 value length W | value
//   migration                  offset 0 u8 version | 1 u32 from | 5 u32 to | 9 u32 codec length C | 13 codec
//                              (to must exceed from)
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <vector>

#include "engine/domain_error.h"
#include "engine/errors.h"
#include "engine/key_area.h"
#include "util/byte_codec.h"

namespace ombrel::engine {
class Store;
class Transaction;
}  // namespace ombrel::engine

namespace ombrel::records {

inline constexpr engine::KeyArea kCollectionArea{"collections", {"\xFFomb:col:", 9}};
inline constexpr std::string_view kMetaPrefix{"\xFFomb:col:meta:", 14};
inline constexpr std::string_view kRecordPrefix{"\xFFomb:col:record:", 16};
inline constexpr std::string_view kIndexMetaPrefix{"\xFFomb:col:index-meta:", 20};
inline constexpr std::string_view kIndexPrefix{"\xFFomb:col:index:", 15};
inline constexpr std::string_view kMigrationPrefix{"\xFFomb:col:migration:", 19};
static_assert(kCollectionArea.holds(kMetaPrefix) && kCollectionArea.holds(kRecordPrefix) &&
              kCollectionArea.holds(kIndexMetaPrefix) && kCollectionArea.holds(kIndexPrefix) &&
              kCollectionArea.holds(kMigrationPrefix));

// The codec label stored when the caller names none.
inline constexpr std::string_view kDefaultCodec{"bytes"};

struct CollectionErrorTexts {
  enum class Kind : uint8_t {
    Engine,
    CollectionNotFound,
    IndexNotFound,
    EmptyName,
    EmptyPrimaryKey,
    ComponentTooLarge,
    TooManyIndexes,
    SchemaVersionMustIncrease,
    CorruptMetadata,
    CorruptRecord,
    UniqueIndexViolation,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Engine, "store error: {}"},
      {Kind::CollectionNotFound, "collection does not exist"},
      {Kind::IndexNotFound, "index does not exist"},
      {Kind::EmptyName, "collection/index name must not be empty"},
      {Kind::EmptyPrimaryKey, "primary key must not be empty"},
      {Kind::ComponentTooLarge, "collection component is too large"},
      {Kind::TooManyIndexes, "record has too many indexes"},
      {Kind::SchemaVersionMustIncrease, "schema version must increase"},
      {Kind::CorruptMetadata, "collection metadata is corrupt or unsupported"},
      {Kind::CorruptRecord, "collection record is corrupt or unsupported"},
      {Kind::UniqueIndexViolation, "unique index violation"},
  });
};
using CollectionError = engine::DomainError<CollectionErrorTexts>;

struct IndexValue {
  Bytes name;
  Bytes value;
  bool operator==(const IndexValue&) const = default;
};

struct StoredRecord {
  Bytes value;
  std::vector<IndexValue> indexes;  // in the order the caller gave them
};

struct CollectionRecord {
  Bytes primary_key;
  Bytes value;
  std::vector<IndexValue> indexes;
};

struct CollectionDefinition {
  Bytes codec;
  uint32_t schema_version = 1;
};

struct IndexDefinition {
  Bytes name;
  bool unique = false;
};

struct CollectionMigration {
  Bytes codec;
  uint32_t from_version = 0;
  uint32_t to_version = 0;
};

template <class T>
using CollectionResult = std::expected<T, CollectionError>;

// ---- keys (ComponentTooLarge for a component over 2^32 - 1 bytes) ----
CollectionResult<Bytes> meta_key(BytesView collection);
CollectionResult<Bytes> record_key(BytesView collection, BytesView primary_key);
CollectionResult<Bytes> record_prefix(BytesView collection);
CollectionResult<Bytes> index_meta_key(BytesView collection, BytesView index);
CollectionResult<Bytes> index_entry_key(BytesView collection, BytesView index, BytesView value, BytesView primary_key);
CollectionResult<Bytes> index_value_prefix(BytesView collection, BytesView index, BytesView value);
CollectionResult<Bytes> index_prefix(BytesView collection, BytesView index);
CollectionResult<Bytes> migration_key(BytesView collection, uint32_t from_version, uint32_t to_version);
CollectionResult<Bytes> migration_prefix(BytesView collection);

// ---- values (decoders: CorruptMetadata / CorruptRecord) ----
CollectionResult<Bytes> encode_collection_definition(const CollectionDefinition& definition);
CollectionResult<CollectionDefinition> decode_collection_definition(BytesView bytes);
Bytes encode_index_definition(bool unique);
// The unique flag.
CollectionResult<bool> decode_index_definition(BytesView bytes);
CollectionResult<Bytes> encode_record_value(const StoredRecord& record);
CollectionResult<StoredRecord> decode_record_value(BytesView bytes);
CollectionResult<Bytes> encode_collection_migration(const CollectionMigration& migration);
CollectionResult<CollectionMigration> decode_collection_migration(BytesView bytes);

// ---- operations ----
CollectionResult<bool> create_collection(engine::Store& store, BytesView name, const CollectionDefinition& definition);
CollectionResult<bool> define_index(engine::Store& store, BytesView collection, const IndexDefinition& index);
CollectionResult<void> upsert_record(engine::Store& store, BytesView collection, BytesView primary_key, BytesView value,
                                     const std::vector<IndexValue>& indexes);
CollectionResult<void> upsert_record(engine::Transaction& tx, BytesView collection, BytesView primary_key,
                                     BytesView value, const std::vector<IndexValue>& indexes);
CollectionResult<std::optional<CollectionRecord>> get_record(const engine::Store& store, BytesView collection,
                                                             BytesView primary_key);
CollectionResult<bool> delete_record(engine::Store& store, BytesView collection, BytesView primary_key);
CollectionResult<bool> delete_record(engine::Transaction& tx, BytesView collection, BytesView primary_key);
CollectionResult<std::vector<CollectionRecord>> scan_collection(const engine::Store& store, BytesView collection);
CollectionResult<std::optional<CollectionDefinition>> collection_definition(const engine::Store& store, BytesView name);
CollectionResult<std::vector<CollectionMigration>> collection_migrations(const engine::Store& store,
                                                                         BytesView collection);
CollectionResult<bool> migrate_collection_schema(engine::Store& store, BytesView collection, uint32_t expected_version,
                                                 uint32_t next_version, BytesView codec);

}  // namespace ombrel::records
