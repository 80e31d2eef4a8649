// Any bytes as a stream entry value: refused as a corrupt entry, or decoded
// into a payload that encodes back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "messaging/stream.h"

using namespace ombrel::messaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto payload = decode_stream_entry(bytes);
  if (!payload) {
    FUZZ_CHECK(payload.error().kind() == MessagingError::Kind::CorruptEntry);
    return 0;
  }
  auto encoded = encode_stream_entry(*payload);
  FUZZ_CHECK(encoded && *encoded == bytes);
  return 0;
}
