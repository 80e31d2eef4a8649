#include "records/object_index.h"

#include <algorithm>

namespace ombrel::records {
namespace {

constexpr uint64_t kHasData = 1;
constexpr uint64_t kOneReference = 2;

}  // namespace

bool ObjectIndex::has_data(const ObjectId& id) const {
  if (unreferenced_.contains(id)) return true;
  auto it = referenced_.find(id);
  return it != referenced_.end() && (it->second & kHasData) != 0;
}

void ObjectIndex::apply(std::string_view key, std::optional<std::string_view> before,
                        std::optional<std::string_view> after) {
  if (key.starts_with(kObjectDataPrefix)) {
    if (before) data_change(key, -1);
    if (after) data_change(key, +1);
  } else if (key.starts_with(kObjectRefPrefix)) {
    if (before) reference_change(*before, -1);
    if (after) reference_change(*after, +1);
  } else if (auto id = id_after_prefix<kObjectIdSize>(key, kObjectMetaPrefix)) {
    if (before) metadata_change(*id, *before, -1);
    if (after) metadata_change(*id, *after, +1);
  }
}

void ObjectIndex::data_change(std::string_view key, int step) {
  data_records_ += static_cast<uint64_t>(step);
  auto id = id_after_prefix<kObjectIdSize>(key, kObjectDataPrefix);
  if (!id) {
    if (step > 0)
      odd_data_keys_.emplace(key);
    else
      odd_data_keys_.erase(key);
    return;
  }
  if (auto it = referenced_.find(*id); it != referenced_.end()) {
    it->second = step > 0 ? it->second | kHasData : it->second & ~kHasData;
  } else if (step > 0) {
    unreferenced_.insert(*id);
  } else {
    unreferenced_.erase(*id);
  }
}

void ObjectIndex::reference_change(std::string_view value, int step) {
  auto id = object_id_from(value);
  if (!id) {
    bad_references_ += static_cast<uint64_t>(step);
    return;
  }
  auto it = referenced_.find(*id);
  if (step > 0) {
    if (it != referenced_.end()) {
      it->second += kOneReference;
    } else {
      const bool has_data = unreferenced_.erase(*id) > 0;
      referenced_.emplace(*id, kOneReference | (has_data ? kHasData : 0));
    }
    return;
  }
  if (it == referenced_.end()) return;
  it->second -= kOneReference;
  if (it->second >= kOneReference) return;
  if ((it->second & kHasData) != 0) unreferenced_.insert(*id);
  referenced_.erase(it);
}

void ObjectIndex::metadata_change(const ObjectId& id, std::string_view value, int step) {
  auto expiry = decode_expiry(value);
  if (!expiry) {
    if (step > 0)
      unreadable_metadata_.insert(id);
    else
      unreadable_metadata_.erase(id);
  } else if (*expiry) {
    if (step > 0)
      expiries_.insert({**expiry, id});
    else
      expiries_.erase({**expiry, id});
  }
}

std::vector<std::string> orphan_walk(const ObjectIndex& index, uint64_t limit) {
  std::vector<std::string> keys;
  auto odd = index.odd_data_keys().begin();
  const auto odd_end = index.odd_data_keys().end();
  uint64_t orphans = 0;
  for (auto it = index.unreferenced().begin(); it != index.unreferenced().end() && orphans < limit; ++it, ++orphans) {
    std::string key = key_of(kObjectDataPrefix, *it);
    for (; odd != odd_end && *odd < key; ++odd) keys.push_back(*odd);
    keys.push_back(std::move(key));
  }
  // Short of `limit` orphans the walk reaches the end, and every odd key.
  if (orphans < limit) keys.insert(keys.end(), odd, odd_end);
  return keys;
}

std::vector<std::string> purge_failures(const ObjectIndex& index) {
  std::vector<std::string> keys(index.odd_data_keys().begin(), index.odd_data_keys().end());
  const auto odd_count = static_cast<std::ptrdiff_t>(keys.size());
  for (const ObjectId& id : index.unreadable_metadata())
    if (index.has_data(id)) keys.push_back(key_of(kObjectDataPrefix, id));
  std::inplace_merge(keys.begin(), keys.begin() + odd_count, keys.end());
  return keys;
}

}  // namespace ombrel::records
