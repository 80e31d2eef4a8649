// The records an open transaction has staged but not yet written, laid over
// the committed answers of record reads, so that the transaction's own reads
// see its upserts and deletions before commit.
//
// Contract:
// - upsert and erase record a record's newest staged change, replacing an
//   earlier one of the same (collection, primary key). An upsert is shown as
//   it would be stored: its value and its index pairs as given. A staged
//   change that will fail at commit (an undefined collection or index, a
//   unique value held by another record) is shown all the same: that commit
//   fails whole, so no reader outside the transaction ever sees it.
// - get_record, query_index_exact and query_index_range answer as the
//   committed reads of records/collection.h and records/query.h do, in the
//   same order and with the same errors, with each staged change in place of
//   the committed record of its key. Their cost is the committed read's plus
//   the staged changes of the collection.
#pragma once

#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "engine/store.h"
#include "records/collection.h"
#include "records/query.h"

namespace ombrel::records {

class RecordOverlay {
 public:
  void upsert(BytesView collection, BytesView primary_key, BytesView value, std::vector<IndexValue> indexes);
  void erase(BytesView collection, BytesView primary_key);
  void clear() { changes_.clear(); }

  CollectionResult<std::optional<CollectionRecord>> get_record(const engine::Store& store, BytesView collection,
                                                               BytesView primary_key) const;
  CollectionResult<std::vector<CollectionRecord>> query_index_exact(const engine::Store& store, BytesView collection,
                                                                    BytesView index, BytesView value) const;
  std::expected<std::vector<IndexedRecord>, QueryError> query_index_range(const engine::Store& store,
                                                                          BytesView collection, BytesView index,
                                                                          const IndexRangeQuery& query) const;

 private:
  using Key = std::pair<Bytes, Bytes>;  // (collection, primary key)
  // Keys and (collection, primary key) views alike, in (collection, primary key) order.
  struct KeyOrder {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return std::pair<BytesView, BytesView>(a.first, a.second) < std::pair<BytesView, BytesView>(b.first, b.second);
    }
  };
  // The newest staged change of each record: the record, or nullopt for a deletion.
  std::map<Key, std::optional<StoredRecord>, KeyOrder> changes_;

  // The staged changes of `collection`, in primary-key order.
  std::vector<std::pair<BytesView, const std::optional<StoredRecord>*>> changes_of(BytesView collection) const;
  bool changed(BytesView collection, BytesView primary_key) const;
};

}  // namespace ombrel::records
