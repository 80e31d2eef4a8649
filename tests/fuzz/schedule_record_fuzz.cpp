// Any bytes as an interval schedule record value: refused as corrupt, or
// decoded into a schedule whose encoding decodes to the same schedule and is
// a fixed point. (The embedded template is a whole job record whose id,
// state, attempts and lease the schedule does not keep, so only a record
// written by the store itself comes back byte for byte.)
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_check.h"
#include "jobs/schedules.h"

using namespace ombrel::jobs;

namespace {

bool same(const DurableSchedule& a, const DurableSchedule& b) {
  return a.id == b.id && a.every_ms == b.every_ms && a.next_run_ms == b.next_run_ms && a.enabled == b.enabled &&
         a.job.handler == b.job.handler && a.job.payload == b.job.payload &&
         a.job.idempotency_key == b.job.idempotency_key && a.job.deadline_ms == b.job.deadline_ms &&
         a.job.available_at_ms == b.job.available_at_ms && a.job.retry_backoff_ms == b.job.retry_backoff_ms &&
         a.job.priority == b.job.priority && a.job.max_attempts == b.job.max_attempts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto schedule = decode_schedule(bytes);
  if (!schedule) {
    FUZZ_CHECK(schedule.error().kind() == JobError::Kind::Corrupt);
    return 0;
  }
  FUZZ_CHECK(!schedule->every_ms || *schedule->every_ms != 0);
  auto encoded = encode_schedule(*schedule);
  FUZZ_CHECK(encoded.has_value());
  auto again = decode_schedule(*encoded);
  FUZZ_CHECK(again && same(*again, *schedule));
  auto twice = encode_schedule(*again);
  FUZZ_CHECK(twice && *twice == *encoded);
  return 0;
}
