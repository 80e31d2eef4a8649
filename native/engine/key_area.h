// Key areas: the named parts of the internal key space, one per domain,
// each made of the keys that begin with its prefix (0xFF "omb:" and the
// domain's text). A domain declares its area beside its key layout, and its
// narrower prefixes lie inside it; the health report counts keys and value
// bytes per area, in the order maintenance/operations.cpp lists them.
#pragma once

#include <string_view>

#include "engine/keyspace.h"

namespace ombrel::engine {

struct KeyArea {
  std::string_view name;    // as reported: "queues", "jobs", ...
  std::string_view prefix;  // internal prefix included

  constexpr bool holds(std::string_view narrower_prefix) const { return narrower_prefix.starts_with(prefix); }
};

// An area's prefix lies inside the internal namespace and ends with ':'.
constexpr bool is_key_area(const KeyArea& area) {
  return area.prefix.size() > kInternalPrefix.size() && area.prefix.starts_with(kInternalPrefix) &&
         area.prefix.back() == ':';
}

}  // namespace ombrel::engine
