// Any bytes as a change-feed value: refused as corrupt, or decoded into a
// change that encodes back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/change_feed.h"
#include "fuzz_check.h"

using namespace ombrel::engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto change = decode_change(bytes);
  if (!change) return 0;
  auto encoded = encode_change(*change);
  FUZZ_CHECK(encoded && *encoded == bytes);
  return 0;
}
