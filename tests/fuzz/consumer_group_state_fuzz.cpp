// Any bytes as a consumer-group state record: refused as corrupt, or decoded
// into a state that encodes back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "messaging/consumer_group.h"

using namespace ombrel::messaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto state = decode_state(bytes);
  if (!state) {
    FUZZ_CHECK(state.error().kind() == ConsumerGroupError::Kind::CorruptRecord);
    return 0;
  }
  FUZZ_CHECK(encode_state(*state) == bytes);
  return 0;
}
