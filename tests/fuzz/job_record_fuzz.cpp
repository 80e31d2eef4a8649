// Any bytes as a job record value: refused as corrupt, or decoded into a job
// that encodes back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "jobs/jobs.h"

using namespace ombrel::jobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto job = decode_job(bytes);
  if (!job) {
    FUZZ_CHECK(job.error().kind() == JobError::Kind::Corrupt);
    return 0;
  }
  auto encoded = encode_job(*job);
  FUZZ_CHECK(encoded && *encoded == bytes);
  return 0;
}
