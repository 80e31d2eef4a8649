// Building blocks of the derived indexes (engine/derived_index.h) over
// records stored under a prefix followed by a fixed-length id.
//
// Contract:
// - RecordIndex<Entries> does the bookkeeping every such index shares: it
//   counts the records under the watched prefixes, and it hands each record
//   to Entries, which either takes it in (`bool take(key, value)` returns
//   true) or refuses it. A refused key is kept as unindexed: its value does
//   not decode, its key has another shape, or its id is not its key's. When
//   a record goes, Entries::drop(key, value) is called only for a value that
//   take accepted, so Entries never has to remember what it refused.
// - The unindexed keys are what a full scan would have failed on (or, for a
//   scan that accepts odd keys, decoded with care): an operation that walks
//   candidates treats them as candidates at their key position, so that it
//   meets them exactly where the full scan did.
// - TimedId<N>: a time and an N-byte id, ordered by time, then id (unsigned
//   bytes); 8 + N bytes, so 24 for a 16-byte id.
// - TimedEntries<Timing, N>: Entries for records that carry one time (a next
//   run): Timing declares kPrefixes and
//     static std::optional<std::optional<TimedId<N>>> entry(key, value);
//   whose outer nullopt refuses the record and whose inner nullopt takes it
//   in without a time (a disabled schedule, say).
// - smallest_due_ids: of the entries timed at or before `now`, the `limit`
//   smallest ids, ascending. It walks the due entries once, so it costs what
//   is due, not what is stored.
// - keys_in_key_order: prefix + id for each id (ascending), merged with the
//   unindexed keys: the candidates of a walk in key order.
#pragma once

#include <absl/container/btree_set.h>

#include <algorithm>
#include <array>
#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

template <size_t N>
using IdBytes = std::array<unsigned char, N>;

template <size_t N>
std::string_view id_text(const IdBytes<N>& id) {
  return std::string_view(reinterpret_cast<const char*>(id.data()), N);
}

// The id that ends `key` when the key is exactly `prefix` and N bytes.
template <size_t N>
std::optional<IdBytes<N>> id_after_prefix(std::string_view key, std::string_view prefix) {
  if (key.size() != prefix.size() + N || !key.starts_with(prefix)) return std::nullopt;
  IdBytes<N> id;
  std::copy(key.begin() + static_cast<std::ptrdiff_t>(prefix.size()), key.end(), id.begin());
  return id;
}

template <size_t N>
std::string key_of(std::string_view prefix, const IdBytes<N>& id) {
  std::string key;
  key.reserve(prefix.size() + N);
  key.append(prefix).append(id_text(id));
  return key;
}

template <size_t N>
struct TimedId {
  int64_t at;
  IdBytes<N> id;
  auto operator<=>(const TimedId&) const = default;
};

using UnindexedKeys = absl::btree_set<std::string, std::less<>>;

template <class Entries>
class RecordIndex {
 public:
  static constexpr auto kPrefixes = Entries::kPrefixes;

  void apply(std::string_view key, std::optional<std::string_view> before, std::optional<std::string_view> after) {
    if (before) {
      --records_;
      if (unindexed_.erase(key) == 0) entries_.drop(key, *before);
    }
    if (after) {
      ++records_;
      if (!entries_.take(key, *after)) unindexed_.emplace(key);
    }
  }

  uint64_t record_count() const { return records_; }
  const UnindexedKeys& unindexed() const { return unindexed_; }
  const Entries& entries() const { return entries_; }
  bool operator==(const RecordIndex&) const = default;

 private:
  uint64_t records_ = 0;
  UnindexedKeys unindexed_;
  Entries entries_;
};

template <class Timing, size_t N>
class TimedEntries {
 public:
  static constexpr auto kPrefixes = Timing::kPrefixes;

  bool take(std::string_view key, std::string_view value) {
    auto entry = Timing::entry(key, value);
    if (!entry) return false;
    if (*entry) by_time_.insert(**entry);
    return true;
  }
  void drop(std::string_view key, std::string_view value) {
    if (auto entry = Timing::entry(key, value); entry && *entry) by_time_.erase(**entry);
  }

  const absl::btree_set<TimedId<N>>& by_time() const { return by_time_; }
  bool operator==(const TimedEntries&) const = default;

 private:
  absl::btree_set<TimedId<N>> by_time_;
};

template <size_t N>
std::vector<IdBytes<N>> smallest_due_ids(const absl::btree_set<TimedId<N>>& by_time, int64_t now, uint64_t limit) {
  std::vector<IdBytes<N>> ids;  // a max-heap of the smallest ids so far
  if (limit == 0) return ids;
  for (const TimedId<N>& entry : by_time) {
    if (entry.at > now) break;
    if (ids.size() < limit) {
      ids.push_back(entry.id);
      std::ranges::push_heap(ids);
    } else if (entry.id < ids.front()) {
      std::ranges::pop_heap(ids);
      ids.back() = entry.id;
      std::ranges::push_heap(ids);
    }
  }
  std::ranges::sort_heap(ids);
  return ids;
}

template <size_t N>
std::vector<std::string> keys_in_key_order(std::string_view prefix, const std::vector<IdBytes<N>>& ids,
                                           const UnindexedKeys& unindexed) {
  std::vector<std::string> keys;
  keys.reserve(ids.size() + unindexed.size());
  for (const IdBytes<N>& id : ids) keys.push_back(key_of(prefix, id));
  keys.insert(keys.end(), unindexed.begin(), unindexed.end());
  std::inplace_merge(keys.begin(), keys.begin() + static_cast<std::ptrdiff_t>(ids.size()), keys.end());
  return keys;
}

}  // namespace ombrel
