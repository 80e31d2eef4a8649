// Any 64 bytes: the header decoder either refuses them or yields a header that
// encodes and decodes back to the same fields.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/store_header.h"
#include "fuzz_check.h"

using ombrel::engine::StoreHeader;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto header = StoreHeader::decode(bytes);
  if (!header) return 0;
  auto again = StoreHeader::decode(header->encode());
  FUZZ_CHECK(again.has_value());
  FUZZ_CHECK(again->store_id == header->store_id && again->created_at_ms == header->created_at_ms &&
             again->format_major == header->format_major && again->format_minor == header->format_minor);
  return 0;
}
