// Read-your-writes: the newest write of each key that a transaction has made,
// in key order, laid over a store's committed state.
//
// Contract:
// - put(key, value) and erase(key) record the key's newest write, replacing
//   an earlier one of the same key; clear() forgets every write. The overlay
//   keeps views, not copies: whoever records a write keeps its key and value
//   alive, at the same address, until the overlay is cleared or a newer write
//   of that key is recorded.
// - Reads see a key's newest write where there is one (a put: its value; an
//   erase: absent), else the store's committed value. None of them walks
//   every write: get costs O(log n); scan_prefix merges the two sorted ranges,
//   O(log n) plus the matches; last_key walks both ranges down from their
//   ends, O(log n) plus the erased keys at the top of the range.
// - Views that reads return last until the next write to the overlay or the
//   store.
#pragma once

#include <absl/container/btree_map.h>

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/store.h"

namespace ombrel::engine {

class WriteOverlay {
 public:
  // A key's newest write: the value put, or nullopt for an erase.
  using Write = std::optional<std::string_view>;
  using Writes = absl::btree_map<std::string_view, Write>;

  void put(std::string_view key, std::string_view value) { writes_.insert_or_assign(key, Write(value)); }
  void erase(std::string_view key) { writes_.insert_or_assign(key, Write()); }
  void clear() { writes_.clear(); }
  size_t size() const { return writes_.size(); }
  // Every newest write, in key order.
  Writes::const_iterator begin() const { return writes_.begin(); }
  Writes::const_iterator end() const { return writes_.end(); }

  // The value of `key` in the combined view; nullopt when absent.
  std::optional<std::string_view> get(const Store& store, std::string_view key) const;
  // The (key, value) pairs under `prefix` in the combined view, in key order.
  std::vector<std::pair<std::string_view, std::string_view>> scan_prefix(const Store& store,
                                                                         std::string_view prefix) const;
  // The largest key under `prefix` in the combined view.
  std::optional<std::string_view> last_key(const Store& store, std::string_view prefix) const;
  // The newest writes under `prefix` alone, in key order.
  std::vector<std::pair<std::string_view, Write>> writes_under(std::string_view prefix) const;

 private:
  Writes writes_;
};

}  // namespace ombrel::engine
