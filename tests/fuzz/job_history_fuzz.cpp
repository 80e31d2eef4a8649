// Any bytes as a job history entry value: refused as corrupt, or decoded into
// an entry that encodes back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "jobs/jobs.h"

using namespace ombrel::jobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto entry = decode_job_history(bytes);
  if (!entry) {
    FUZZ_CHECK(entry.error().kind() == JobError::Kind::Corrupt);
    return 0;
  }
  FUZZ_CHECK(!job_history_kind_name(entry->kind).empty());
  auto encoded = encode_job_history(*entry);
  FUZZ_CHECK(encoded && *encoded == bytes);
  return 0;
}
