#include "records/query.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "engine/keyspace.h"
#include "engine/store.h"

namespace ombrel::records {

bool within_bounds(BytesView value, const IndexBound& start, const IndexBound& end) {
  switch (start.kind) {
    case IndexBound::Kind::Unbounded:
      break;
    case IndexBound::Kind::Inclusive:
      if (value < BytesView(start.value)) return false;
      break;
    case IndexBound::Kind::Exclusive:
      if (value <= BytesView(start.value)) return false;
      break;
  }
  switch (end.kind) {
    case IndexBound::Kind::Unbounded:
      break;
    case IndexBound::Kind::Inclusive:
      if (value > BytesView(end.value)) return false;
      break;
    case IndexBound::Kind::Exclusive:
      if (value >= BytesView(end.value)) return false;
      break;
  }
  return true;
}

CollectionResult<std::vector<CollectionRecord>> query_index_exact(const engine::Store& store, BytesView collection,
                                                                  BytesView index, BytesView value) {
  auto definition_key = index_meta_key(collection, index);
  if (!definition_key) return std::unexpected(definition_key.error());
  const auto definition = store.find(*definition_key);
  if (!definition) return std::unexpected(CollectionError::of(CollectionError::Kind::IndexNotFound));
  if (auto unique = decode_index_definition(*definition); !unique) return std::unexpected(unique.error());
  auto prefix = index_value_prefix(collection, index, value);
  if (!prefix) return std::unexpected(prefix.error());

  std::vector<CollectionRecord> records;
  for (const auto& [entry, primary_key] : store.prefix_range(*prefix)) {
    auto record = get_record(store, collection, primary_key);
    if (!record) return std::unexpected(record.error());
    if (*record) records.push_back(std::move(**record));
  }
  // Entry keys order primary keys by length first; callers get bytewise order.
  std::ranges::sort(records, {}, [](const CollectionRecord& r) -> BytesView { return r.primary_key; });
  return records;
}

namespace {

using Iter = engine::LiveTable::const_iterator;
using QueryResult = std::expected<std::vector<IndexedRecord>, QueryError>;

std::unexpected<QueryError> fail(QueryError::Kind kind) { return std::unexpected(QueryError::of(kind)); }

// The entries of one value length: keys P | BE32(length) | value | C(primary key).
// [first, last) holds the entries not yet taken, all within the bounds.
struct Run {
  size_t value_offset;  // where the value starts in each key
  uint32_t length;
  Iter first;
  Iter last;
};

struct Entry {
  BytesView value;
  BytesView primary_key;
};

std::expected<Entry, QueryError> decode_entry(const Run& run, Iter it) {
  BytesView key = it->first;
  if (key.size() < run.value_offset + run.length) return fail(QueryError::Kind::CorruptIndexEntry);
  BytesView value = key.substr(run.value_offset, run.length);
  ByteReader rest(key.substr(run.value_offset + run.length));
  auto primary_key = rest.component();
  if (!primary_key || !rest.at_end() || *primary_key != BytesView(it->second))
    return fail(QueryError::Kind::CorruptIndexEntry);
  return Entry{value, *primary_key};
}

// The smallest key of the run under `run_prefix` (values of `length` bytes)
// whose value is >= bound, or > bound when `strict`. A value shorter than the
// bound that equals the bound's head is smaller than the bound, so the seek
// goes past every value equal to that head.
Bytes seek_key(const Bytes& run_prefix, uint32_t length, BytesView bound, bool strict) {
  if (length > bound.size() || (length == bound.size() && !strict)) return run_prefix + Bytes(bound);
  return engine::prefix_successor(run_prefix + Bytes(bound.substr(0, length)));
}

// Splits the index under `prefix` into runs of one value length, each cut to
// the bounds. Costs two seeks per distinct length.
std::expected<std::vector<Run>, QueryError> bounded_runs(const engine::Store& store, const Bytes& prefix,
                                                         const IndexRangeQuery& query) {
  const engine::LiveTable& live = store.live();
  engine::PrefixRange all = store.prefix_range(prefix);
  std::vector<Run> runs;
  Iter it = all.first;
  while (it != all.last) {
    BytesView rest = BytesView(it->first).substr(prefix.size());
    ByteReader reader(rest);
    auto length = reader.u32_be();
    if (!length) return fail(QueryError::Kind::CorruptIndexEntry);
    const Bytes run_prefix = prefix + Bytes(rest.substr(0, 4));
    const Bytes run_end = engine::prefix_successor(run_prefix);

    Bytes low = run_prefix;
    if (query.start.kind != IndexBound::Kind::Unbounded)
      low = seek_key(run_prefix, *length, query.start.value, query.start.kind == IndexBound::Kind::Exclusive);
    Bytes high = run_end;
    if (query.end.kind != IndexBound::Kind::Unbounded)
      high = seek_key(run_prefix, *length, query.end.value, query.end.kind == IndexBound::Kind::Inclusive);
    if (low < high) {
      Iter first = live.lower_bound(BytesView(low));
      Iter last = live.lower_bound(BytesView(high));
      if (first != last) runs.push_back(Run{run_prefix.size(), *length, first, last});
    }
    if (*length == std::numeric_limits<uint32_t>::max()) break;
    Bytes next_run = prefix;
    ByteWriter(next_run).u32_be(*length + 1);
    it = live.lower_bound(BytesView(next_run));
  }
  return runs;
}

// Merges the runs by value into (value, primary key) pairs in the query's
// order, stopping once `limit` pairs are taken.
std::expected<std::vector<std::pair<Bytes, Bytes>>, QueryError> merge_runs(std::vector<Run>& runs,
                                                                           const IndexRangeQuery& query) {
  const bool descending = query.descending;
  const uint64_t limit = query.limit.value_or(std::numeric_limits<uint64_t>::max());
  // The entry each run offers next: its first when ascending, its last when descending.
  auto head_of = [&](Run& run) { return descending ? std::prev(run.last) : run.first; };

  struct Head {
    BytesView value;
    size_t run;
  };
  // std heap functions keep the largest on top: ascending wants the smallest.
  auto after = [&](const Head& a, const Head& b) { return descending ? a.value < b.value : a.value > b.value; };
  std::vector<Head> heap;
  for (size_t i = 0; i < runs.size(); ++i) {
    auto entry = decode_entry(runs[i], head_of(runs[i]));
    if (!entry) return std::unexpected(entry.error());
    heap.push_back(Head{entry->value, i});
  }
  std::ranges::make_heap(heap, after);

  std::vector<std::pair<Bytes, Bytes>> out;
  std::vector<BytesView> tied;
  while (!heap.empty() && out.size() < limit) {
    std::ranges::pop_heap(heap, after);
    const Head head = heap.back();
    heap.pop_back();
    Run& run = runs[head.run];
    // Every entry of this value: they sit together in this run only (other
    // runs hold other lengths), ordered there by primary key length first.
    tied.clear();
    while (run.first != run.last) {
      Iter at = head_of(run);
      auto entry = decode_entry(run, at);
      if (!entry) return std::unexpected(entry.error());
      if (entry->value != head.value) {
        heap.push_back(Head{entry->value, head.run});
        std::ranges::push_heap(heap, after);
        break;
      }
      tied.push_back(entry->primary_key);
      if (descending)
        run.last = at;
      else
        ++run.first;
    }
    std::ranges::sort(tied);
    if (descending) std::ranges::reverse(tied);
    for (BytesView primary_key : tied) {
      if (out.size() == limit) break;
      out.emplace_back(Bytes(head.value), Bytes(primary_key));
    }
  }
  return out;
}

}  // namespace

std::expected<std::vector<IndexedRecord>, QueryError> query_index_range(const engine::Store& store,
                                                                        BytesView collection, BytesView index,
                                                                        const IndexRangeQuery& query) {
  if (collection.empty() || index.empty()) return fail(QueryError::Kind::EmptyName);
  auto definition_key = index_meta_key(collection, index);
  if (!definition_key) return fail(QueryError::Kind::ComponentTooLarge);
  const auto definition = store.find(*definition_key);
  if (!definition) return fail(QueryError::Kind::IndexNotFound);
  if (!decode_index_definition(*definition)) return fail(QueryError::Kind::CorruptIndexMetadata);
  if (query.limit == uint64_t{0}) return std::vector<IndexedRecord>{};
  auto prefix = index_prefix(collection, index);
  if (!prefix) return fail(QueryError::Kind::ComponentTooLarge);

  auto runs = bounded_runs(store, *prefix, query);
  if (!runs) return std::unexpected(runs.error());
  auto pairs = merge_runs(*runs, query);
  if (!pairs) return std::unexpected(pairs.error());

  std::vector<IndexedRecord> out;
  out.reserve(pairs->size());
  for (auto& [value, primary_key] : *pairs) {
    auto record = get_record(store, collection, primary_key);
    if (!record) return std::unexpected(QueryError::of(QueryError::Kind::Collection, record.error()));
    if (!*record) return fail(QueryError::Kind::MissingRecord);
    out.push_back(IndexedRecord{std::move(value), std::move(**record)});
  }
  return out;
}

}  // namespace ombrel::records
