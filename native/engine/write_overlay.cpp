// The read-your-writes overlay; see write_overlay.h for the contract.
#include "engine/write_overlay.h"

#include <iterator>
#include <string>

namespace ombrel::engine {

std::optional<std::string_view> WriteOverlay::get(const Store& store, std::string_view key) const {
  if (auto it = writes_.find(key); it != writes_.end()) return it->second;
  if (auto committed = store.find(key)) return std::string_view(*committed);
  return std::nullopt;
}

std::vector<std::pair<std::string_view, std::string_view>> WriteOverlay::scan_prefix(const Store& store,
                                                                                     std::string_view prefix) const {
  // Merge two sorted ranges: the committed keys and the writes.
  PrefixRange committed = store.prefix_range(prefix);
  auto own = writes_.lower_bound(prefix);
  std::vector<std::pair<std::string_view, std::string_view>> out;
  auto committed_it = committed.first;
  auto take_own = [&](const auto& write) {
    if (write.second) out.emplace_back(write.first, *write.second);
  };
  while (true) {
    const bool own_left = own != writes_.end() && own->first.starts_with(prefix);
    const bool committed_left = committed_it != committed.last;
    if (!own_left && !committed_left) break;
    if (!own_left) {
      out.emplace_back(committed_it->first, committed_it->second);
      ++committed_it;
    } else if (!committed_left || own->first < std::string_view(committed_it->first)) {
      take_own(*own);
      ++own;
    } else if (own->first == std::string_view(committed_it->first)) {
      take_own(*own);  // the write shadows the committed value
      ++own;
      ++committed_it;
    } else {
      out.emplace_back(committed_it->first, committed_it->second);
      ++committed_it;
    }
  }
  return out;
}

std::optional<std::string_view> WriteOverlay::last_key(const Store& store, std::string_view prefix) const {
  // Walk both sorted ranges down from their ends: a committed key above every
  // written key is live; a written key is live when its newest write is a put.
  PrefixRange committed = store.prefix_range(prefix);
  const std::string succ = prefix_successor(prefix);
  const auto own_first = writes_.lower_bound(prefix);
  auto own_end = succ.empty() ? writes_.end() : writes_.lower_bound(std::string_view(succ));
  auto committed_end = committed.last;
  while (true) {
    const bool own_left = own_end != own_first;
    const bool committed_left = committed_end != committed.first;
    if (!own_left && !committed_left) return std::nullopt;
    if (!own_left) return std::string_view(std::prev(committed_end)->first);
    const auto own = std::prev(own_end);
    if (committed_left) {
      const std::string_view top = std::prev(committed_end)->first;
      if (top > own->first) return top;
      if (top == own->first) --committed_end;  // shadowed by the write
    }
    if (own->second) return own->first;
    own_end = own;
  }
}

std::vector<std::pair<std::string_view, WriteOverlay::Write>> WriteOverlay::writes_under(
    std::string_view prefix) const {
  std::vector<std::pair<std::string_view, Write>> out;
  for (auto it = writes_.lower_bound(prefix); it != writes_.end() && it->first.starts_with(prefix); ++it)
    out.emplace_back(it->first, it->second);
  return out;
}

}  // namespace ombrel::engine
