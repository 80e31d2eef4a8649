// Any text as a cron expression: refused, or parsed into fields whose next
// matching minute after a time taken from the input is a whole minute,
// strictly later, matching, within the search horizon, and such that no
// earlier minute in between matches (checked over the first stretch).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "fuzz_check.h"
#include "jobs/cron.h"

using namespace ombrel::jobs;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first eight bytes, when there are that many, are the search start.
  int64_t after_ms = 1'700'000'000'000;
  if (size >= 8) {
    std::memcpy(&after_ms, data, 8);
    data += 8;
    size -= 8;
  }
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto expression = CronExpression::parse(text);
  if (!expression) return 0;
  for (const auto* field : {&expression->minute, &expression->hour, &expression->day_of_month, &expression->month,
                            &expression->day_of_week}) {
    FUZZ_CHECK(field->flags != 0 && field->max >= field->min);
    FUZZ_CHECK((field->flags >> (field->max - field->min + 1)) == 0);
  }
  auto next = next_after_utc_ms(*expression, after_ms);
  if (!next) {
    FUZZ_CHECK(next.error().kind() != CronError::Kind::WrongFieldCount);
    return 0;
  }
  constexpr int64_t kMinute = 60'000;
  FUZZ_CHECK(*next > after_ms && *next % kMinute == 0 && *next >= 0);
  FUZZ_CHECK(matches_utc_ms(*expression, *next));
  // The start of the first candidate minute, computed without overflow.
  const int64_t first = (after_ms / kMinute - (after_ms % kMinute < 0 ? 1 : 0) + 1) * kMinute;
  FUZZ_CHECK((*next - first) / kMinute < kCronSearchHorizonMinutes);
  for (int64_t i = 0; i < 2000 && first + i * kMinute < *next; ++i) {
    FUZZ_CHECK(!matches_utc_ms(*expression, first + i * kMinute));
  }
  return 0;
}
