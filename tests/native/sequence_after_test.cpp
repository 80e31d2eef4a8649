// History sequences below the Python face: the sequence after the last key
// under a prefix, read from the key itself (run under the sanitizers, which
// see a reader left pointing into a dropped copy of the key).
// Built with -DOMBREL_NATIVE_TESTS=ON (target native_tests).
#include <cstdint>
#include <optional>
#include <string>

#include "native_check.h"
#include "util/component_key.h"

using namespace ombrel;

int main() {
  const Bytes prefix("h:", 2);
  const Bytes last = prefix + Bytes("\0\0\0\0\0\0\0\x29", 8);
  const auto next = sequence_after(std::optional<Bytes>(last), prefix);
  CHECK(next.has_value() && *next == 42);
  CHECK(sequence_after(std::nullopt, prefix) == 0u);
  CHECK(!sequence_after(std::optional<Bytes>(prefix + "x"), prefix).has_value());
  return native_check::finish("sequence_after_test");
}
