// Any bytes as (key id, trigger record): refused as corrupt, or decoded into a
// trigger that carries the key's id, keeps its source's rule, and encodes
// back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "jobs/triggers.h"
#include "util/byte_codec.h"

using namespace ombrel;
using namespace ombrel::jobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ByteReader in(std::string_view(reinterpret_cast<const char*>(data), size));
  auto key_bytes = in.bytes(kIdBytes);
  if (!key_bytes) return 0;
  const TriggerId key_id = *id_from_bytes(*key_bytes);
  std::string_view record = in.rest();
  auto trigger = decode_trigger(record, key_id);
  if (!trigger) {
    FUZZ_CHECK(trigger.error().kind() == TriggerError::Kind::Corrupt);
    return 0;
  }
  FUZZ_CHECK(trigger->id == key_id && trigger->source.is_valid());
  auto encoded = encode_trigger(*trigger);
  FUZZ_CHECK(encoded && *encoded == record);
  return 0;
}
