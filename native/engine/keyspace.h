// The key space: the reserved internal prefix, key namespaces and prefix
// ranges of the live key table (engine/live_table.h).
//
// Internal keys begin with 0xFF "omb:" and are written only by the domain
// layers. A key's namespace is "user" for user keys and "internal:" plus the
// text after the prefix up to the next ':' for internal keys (invalid UTF-8
// replaced by U+FFFD); the quota and the statistics count by namespace.
#pragma once

#include <string>
#include <string_view>

#include "engine/live_table.h"

namespace ombrel::engine {

inline constexpr std::string_view kInternalPrefix{"\xFFomb:", 5};

inline bool is_internal_key(std::string_view key) { return key.starts_with(kInternalPrefix); }

std::string namespace_for_key(std::string_view key);

// `bytes` as UTF-8 text, each maximal invalid sequence replaced by U+FFFD;
// equal to its input exactly when the input is valid UTF-8.
std::string utf8_lossy(std::string_view bytes);

// Whether `bytes` is strict UTF-8: no overlong forms, no surrogates, nothing
// above U+10FFFF, no truncated sequence.
bool is_valid_utf8(std::string_view bytes);

// [first, last) of the live keys that begin with `prefix`.
struct PrefixRange {
  LiveTable::const_iterator first;
  LiveTable::const_iterator last;
  LiveTable::const_iterator begin() const { return first; }
  LiveTable::const_iterator end() const { return last; }
};
PrefixRange prefix_range(const LiveTable& table, std::string_view prefix);

// The smallest key greater than every key that begins with `prefix`, or
// empty when there is none (prefix of all 0xFF bytes).
std::string prefix_successor(std::string_view prefix);

}  // namespace ombrel::engine
