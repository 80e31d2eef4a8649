// Index queries: the records of a collection that listed one exact index
// value, or whose index value lies in a range (ascending or descending, with
// an optional limit). Both read the committed state and write nothing.
//
// Contract of the range query: results are ordered by pure bytewise order of
// the index value (b"aa" before b"b"), ties by primary key bytewise; descending
// reverses the whole order; the limit keeps the first `limit` of that order.
//
// Cost. Index entry keys sort by the length of the value first (see
// collection.h), so one value length forms one contiguous run of keys, sorted
// bytewise inside. The range query seeks the bounds inside each run and merges
// the runs by value: O(R log n + k) for R distinct value lengths in the index
// and k entries read, never a walk of the whole index. Only the entries it
// reads are checked: a malformed one fails the query with "index entry is
// corrupt".
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <vector>

#include "records/collection.h"

namespace ombrel::records {

struct QueryErrorTexts {
  enum class Kind : uint8_t {
    Collection,
    EmptyName,
    IndexNotFound,
    ComponentTooLarge,
    CorruptIndexMetadata,
    CorruptIndexEntry,
    MissingRecord,
  };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::Collection, "{}"},
      {Kind::EmptyName, "collection and index names must not be empty"},
      {Kind::IndexNotFound, "index does not exist"},
      {Kind::ComponentTooLarge, "query component is too large"},
      {Kind::CorruptIndexMetadata, "index metadata is corrupt or unsupported"},
      {Kind::CorruptIndexEntry, "index entry is corrupt"},
      {Kind::MissingRecord, "index entry points to a missing record"},
  });
};
using QueryError = engine::DomainError<QueryErrorTexts>;

struct IndexBound {
  enum class Kind : uint8_t { Unbounded, Inclusive, Exclusive };
  Kind kind = Kind::Unbounded;
  Bytes value;

  static IndexBound unbounded() { return {}; }
  static IndexBound inclusive(BytesView v) { return {Kind::Inclusive, Bytes(v)}; }
  static IndexBound exclusive(BytesView v) { return {Kind::Exclusive, Bytes(v)}; }
};

struct IndexRangeQuery {
  std::optional<uint64_t> limit;
  IndexBound start;
  IndexBound end;
  bool descending = false;
};

struct IndexedRecord {
  Bytes index_value;
  CollectionRecord record;
};

// Whether `value` satisfies both bounds.
bool within_bounds(BytesView value, const IndexBound& start, const IndexBound& end);

// Records sorted by primary key; entries whose record is gone are skipped.
CollectionResult<std::vector<CollectionRecord>> query_index_exact(const engine::Store& store, BytesView collection,
                                                                  BytesView index, BytesView value);

std::expected<std::vector<IndexedRecord>, QueryError> query_index_range(const engine::Store& store,
                                                                        BytesView collection, BytesView index,
                                                                        const IndexRangeQuery& query);

}  // namespace ombrel::records
