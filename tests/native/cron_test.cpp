// Cron expressions below the Python face: minute matching (times before 1970,
// the end of time, leap years) and the next-time search cross-checked against a
// plain minute-by-minute walk. Parsing and chosen search cases are tested through
// the Python face (tests/test_cron.py).
// Built with -DOMBREL_NATIVE_TESTS=ON (target native_tests).
#include "jobs/cron.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

#include "native_check.h"

using namespace ombrel::jobs;

namespace {

constexpr int64_t kMinute = 60'000;
constexpr int64_t kDay = 86'400'000;
constexpr int64_t kInt64Max = std::numeric_limits<int64_t>::max();
constexpr int64_t kInt64Min = std::numeric_limits<int64_t>::min();

CronExpression parsed(const char* text) {
  auto e = CronExpression::parse(text);
  if (!e) {
    std::fprintf(stderr, "unexpected parse failure for '%s': %s\n", text, e.error().message().c_str());
    ++native_check::failures;
    return required(CronExpression::parse("* * * * *"));
  }
  return *e;
}

void matching() {
  const auto every = parsed("* * * * *");
  CHECK(matches_utc_ms(every, 0));
  CHECK(matches_utc_ms(every, 59'999));
  CHECK(!matches_utc_ms(every, -1));
  CHECK(!matches_utc_ms(every, -kMinute));
  CHECK(!matches_utc_ms(every, kInt64Min));
  CHECK(matches_utc_ms(every, kInt64Max));
  // 1969-12-31T23:59 is a Wednesday; it matches nothing even when every field agrees.
  CHECK(!matches_utc_ms(parsed("59 23 31 12 3"), -1));
  CHECK(matches_utc_ms(parsed("0 0 1 1 4"), 0));  // 1970-01-01 was a Thursday

  // The minute containing the timestamp counts, not the nearest one.
  const auto quarter = parsed("*/15 * * * *");
  const int64_t ten_fifteen = 1'710'497'700'000;  // 2024-03-15T10:15Z
  CHECK(matches_utc_ms(quarter, ten_fifteen));
  CHECK(matches_utc_ms(quarter, ten_fifteen + kMinute - 1));
  CHECK(!matches_utc_ms(quarter, ten_fifteen + kMinute));
  CHECK(!matches_utc_ms(quarter, ten_fifteen - 1));

  // Leap days: 2000 and 2024 have a 29 February, 2100 does not.
  const auto leap = parsed("0 0 29 2 *");
  CHECK(matches_utc_ms(leap, 951'782'400'000));     // 2000-02-29
  CHECK(matches_utc_ms(leap, 1'709'164'800'000));   // 2024-02-29
  CHECK(!matches_utc_ms(leap, 4'107'542'400'000));  // 2100-03-01
}

// The plain walk the search must agree with: every minute from the first
// candidate on, at most the horizon, failing on overflow.
std::expected<int64_t, CronError> walk(const CronExpression& e, int64_t after) {
  int64_t minute = after / kMinute - ((after % kMinute != 0 && after < 0) ? 1 : 0) + 1;
  for (int64_t i = 0; i < kCronSearchHorizonMinutes; ++i, ++minute) {
    if (minute > kInt64Max / kMinute) return std::unexpected(CronError::of(CronError::Kind::TimestampOverflow));
    if (matches_utc_ms(e, minute * kMinute)) return minute * kMinute;
  }
  return std::unexpected(CronError::of(CronError::Kind::InvalidField, kCronNoMatchText));
}

void search_agrees_with_walk() {
  std::mt19937_64 rng(20240315);
  const char* fields[5][8] = {
      {"*", "*/7", "0", "59", "1-10/3", "30,45", "0-5,50-55", "*/30"},
      {"*", "0", "23", "*/5", "9-17", "3,15", "12", "*/12"},
      {"*", "1", "31", "29", "*/10", "13", "15-20", "*/2"},
      {"*", "2", "12", "2,8", "*/3", "1-6", "11", "6"},
      {"*", "0", "5", "1-5", "*/2", "6", "3", "*"},
  };
  const int64_t starts[] = {-kDay,
                            -1,
                            0,
                            951'782'400'000 - kMinute,
                            1'710'460'800'000 - 1,
                            4'102'444'800'000 - 7,
                            (kInt64Max / kMinute) * kMinute - 40 * kDay};
  for (int round = 0; round < 400; ++round) {
    std::string text;
    for (int f = 0; f < 5; ++f) {
      if (f) text += ' ';
      text += fields[f][rng() % 8];
    }
    const auto e = parsed(text.c_str());
    const int64_t after = starts[rng() % std::size(starts)] + static_cast<int64_t>(rng() % (30 * kDay));
    const auto fast = next_after_utc_ms(e, after);
    const auto slow = walk(e, after);
    const bool same = fast.has_value() == slow.has_value() &&
                      (fast ? *fast == *slow : fast.error().message() == slow.error().message());
    if (!same) {
      std::fprintf(stderr, "search differs from walk for '%s' after %lld\n", text.c_str(),
                   static_cast<long long>(after));
      ++native_check::failures;
    }
  }
}

}  // namespace

int main() {
  matching();
  search_agrees_with_walk();
  return native_check::finish("cron tests");
}
