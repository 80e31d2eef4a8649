// Any bytes as (key id, queue message record): refused as invalid, or decoded
// into a message that carries the key's id and encodes back to exactly those
// bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "messaging/queue.h"
#include "util/byte_codec.h"

using namespace ombrel;
using namespace ombrel::messaging;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(std::string_view(reinterpret_cast<const char*>(data), size));
  auto key_id = in.u64_le();
  if (!key_id) return 0;
  std::string_view record = in.rest();
  auto message = decode_message(record, *key_id);
  if (!message) {
    FUZZ_CHECK(message.error().kind() == QueueError::Kind::InvalidRecord);
    return 0;
  }
  FUZZ_CHECK(message->id == *key_id);
  auto encoded = encode_message(*message);
  FUZZ_CHECK(encoded && *encoded == record);
  return 0;
}
