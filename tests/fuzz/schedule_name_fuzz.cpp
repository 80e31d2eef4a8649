// Any bytes as a schedule name record value: refused, or decoded into the id
// whose encoding is exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "jobs/schedule_names.h"

using namespace ombrel::jobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  if (auto id = decode_schedule_name(bytes)) FUZZ_CHECK(encode_schedule_name(*id) == bytes);
  return 0;
}
