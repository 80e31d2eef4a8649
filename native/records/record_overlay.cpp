#include "records/record_overlay.h"

#include <algorithm>
#include <limits>
#include <set>

namespace ombrel::records {

void RecordOverlay::upsert(BytesView collection, BytesView primary_key, BytesView value,
                           std::vector<IndexValue> indexes) {
  changes_.insert_or_assign(Key(Bytes(collection), Bytes(primary_key)),
                            std::optional<StoredRecord>(StoredRecord{Bytes(value), std::move(indexes)}));
}

void RecordOverlay::erase(BytesView collection, BytesView primary_key) {
  changes_.insert_or_assign(Key(Bytes(collection), Bytes(primary_key)), std::nullopt);
}

std::vector<std::pair<BytesView, const std::optional<StoredRecord>*>> RecordOverlay::changes_of(
    BytesView collection) const {
  std::vector<std::pair<BytesView, const std::optional<StoredRecord>*>> out;
  for (auto it = changes_.lower_bound(std::make_pair(collection, BytesView()));
       it != changes_.end() && it->first.first == collection; ++it) {
    out.emplace_back(it->first.second, &it->second);
  }
  return out;
}

bool RecordOverlay::changed(BytesView collection, BytesView primary_key) const {
  return changes_.contains(std::make_pair(collection, primary_key));
}

CollectionResult<std::optional<CollectionRecord>> RecordOverlay::get_record(const engine::Store& store,
                                                                            BytesView collection,
                                                                            BytesView primary_key) const {
  auto change = changes_.find(std::make_pair(collection, primary_key));
  if (change == changes_.end()) return records::get_record(store, collection, primary_key);
  // The key is checked as the committed read checks it.
  if (auto key = record_key(collection, primary_key); !key) return std::unexpected(key.error());
  if (!change->second) return std::optional<CollectionRecord>{};
  return CollectionRecord{Bytes(primary_key), change->second->value, change->second->indexes};
}

CollectionResult<std::vector<CollectionRecord>> RecordOverlay::query_index_exact(const engine::Store& store,
                                                                                 BytesView collection, BytesView index,
                                                                                 BytesView value) const {
  auto committed = records::query_index_exact(store, collection, index, value);
  if (!committed) return committed;
  std::vector<CollectionRecord> out;
  for (CollectionRecord& record : *committed) {
    if (!changed(collection, record.primary_key)) out.push_back(std::move(record));
  }
  for (const auto& [primary_key, change] : changes_of(collection)) {
    if (!*change) continue;
    const auto& pairs = (*change)->indexes;
    if (std::ranges::any_of(pairs, [&](const IndexValue& p) { return p.name == index && p.value == value; })) {
      out.push_back(CollectionRecord{Bytes(primary_key), (*change)->value, pairs});
    }
  }
  std::ranges::sort(out, {}, [](const CollectionRecord& r) -> BytesView { return r.primary_key; });
  return out;
}

std::expected<std::vector<IndexedRecord>, QueryError> RecordOverlay::query_index_range(
    const engine::Store& store, BytesView collection, BytesView index, const IndexRangeQuery& query) const {
  const auto staged = changes_of(collection);
  // Nothing to lay over: exactly the committed read, entries read and refused alike.
  if (staged.empty() || query.limit == uint64_t{0}) return records::query_index_range(store, collection, index, query);
  // Committed entries of changed records are dropped, and a record may hold
  // many: ask for more until `limit` entries remain or the committed ones
  // run out.
  std::vector<IndexedRecord> out;
  uint64_t extra = staged.size();
  while (true) {
    IndexRangeQuery widened = query;
    if (query.limit) {
      widened.limit = *query.limit > std::numeric_limits<uint64_t>::max() - extra ? std::numeric_limits<uint64_t>::max()
                                                                                  : *query.limit + extra;
    }
    auto committed = records::query_index_range(store, collection, index, widened);
    if (!committed) return committed;
    const bool exhausted = !widened.limit || committed->size() < *widened.limit;
    out.clear();
    for (IndexedRecord& entry : *committed) {
      if (!changed(collection, entry.record.primary_key)) out.push_back(std::move(entry));
    }
    if (exhausted || out.size() >= *query.limit) break;
    extra = extra > std::numeric_limits<uint64_t>::max() / 2 ? std::numeric_limits<uint64_t>::max() : extra * 2;
  }
  for (const auto& [primary_key, change] : staged) {
    if (!*change) continue;
    // One entry per distinct value, as the stored index entries are.
    std::set<BytesView> values;
    for (const IndexValue& pair : (*change)->indexes) {
      if (pair.name == index && within_bounds(pair.value, query.start, query.end)) values.insert(pair.value);
    }
    for (BytesView value : values) {
      out.push_back(
          IndexedRecord{Bytes(value), CollectionRecord{Bytes(primary_key), (*change)->value, (*change)->indexes}});
    }
  }
  auto order = [](const IndexedRecord& e) {
    return std::make_pair(BytesView(e.index_value), BytesView(e.record.primary_key));
  };
  if (query.descending) {
    std::ranges::sort(out, std::greater<>{}, order);
  } else {
    std::ranges::sort(out, std::less<>{}, order);
  }
  if (query.limit && out.size() > *query.limit) out.resize(*query.limit);
  return out;
}

}  // namespace ombrel::records
