// Any bytes as a cron schedule record value: refused (corrupt, not UTF-8, or
// an expression that does not parse), or decoded into a schedule that
// encodes back to exactly those bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "jobs/cron_schedules.h"

using namespace ombrel::jobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto schedule = decode_cron_schedule(bytes);
  if (!schedule) {
    const auto kind = schedule.error().kind();
    FUZZ_CHECK(kind == CronSchedulerError::Kind::Corrupt || kind == CronSchedulerError::Kind::BadExpressionEncoding ||
               kind == CronSchedulerError::Kind::Cron);
    return 0;
  }
  FUZZ_CHECK(!schedule->job.handler.empty() && schedule->job.max_attempts != 0);
  auto encoded = encode_cron_schedule(*schedule);
  FUZZ_CHECK(encoded && *encoded == bytes);
  return 0;
}
