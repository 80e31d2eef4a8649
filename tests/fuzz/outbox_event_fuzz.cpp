// Any bytes as an outbox event value: refused as corrupt, or decoded into an
// event (with a topic) that encodes back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "messaging/outbox.h"

using namespace ombrel::messaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto event = decode_event(bytes);
  if (!event) {
    FUZZ_CHECK(event.error().kind() == OutboxError::Kind::CorruptRecord);
    return 0;
  }
  FUZZ_CHECK(!event->topic.empty());
  auto encoded = encode_event(*event);
  FUZZ_CHECK(encoded && *encoded == bytes);
  return 0;
}
