// Any bytes as a queue message record: refused as invalid, or decoded into a
// message that encodes back to exactly those bytes. Checked against the id of
// a key, the record is accepted only under its own id.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "messaging/queue.h"

using namespace ombrel::messaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto message = decode_message(bytes);
  if (!message) {
    FUZZ_CHECK(message.error().kind() == QueueError::Kind::InvalidRecord);
    return 0;
  }
  auto encoded = encode_message(*message);
  FUZZ_CHECK(encoded && *encoded == bytes);
  FUZZ_CHECK(decode_message(bytes, message->id).has_value());
  auto under_other_key = decode_message(bytes, message->id + 1);
  FUZZ_CHECK(!under_other_key && under_other_key.error().kind() == QueueError::Kind::InvalidRecord);
  return 0;
}
