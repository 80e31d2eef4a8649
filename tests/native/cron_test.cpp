// Cron expressions below the Python face: field parsing and its errors,
// matching (day rule, times before 1970, leap years) and the next-time search,
// cross-checked against a plain minute-by-minute walk.
// Built with -DOMBREL_NATIVE_TESTS=ON (target native_tests).
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "jobs/cron.h"

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

std::string parse_error(const char* text) {
  auto e = CronExpression::parse(text);
  return e ? std::string("<parsed>") : e.error().message();
}

std::string search_error(const CronExpression& e, int64_t after) {
  auto next = next_after_utc_ms(e, after);
  return next ? std::string("<found>") : next.error().message();
}

std::vector<int> allowed(const CronExpression::Field& f) {
  std::vector<int> out;
  for (int v = f.min; v <= f.max; ++v)
    if (f.allows(v)) out.push_back(v);
  return out;
}

void parse_errors() {
  struct Case {
    const char* expression;
    const char* message;
  };
  const Case cases[] = {
      {"60 * * * *", "invalid cron field: 60"},
      {"* * * * 7", "invalid cron field: 7"},
      {"*/0 * * * *", "invalid cron field: */0"},
      {"5-1 * * * *", "invalid cron field: 5-1"},
      {"1-70 * * * *", "invalid cron field: 1-70"},
      {"5,99 * * * *", "invalid cron field: 5,99"},
      {"1,,2 * * * *", "invalid cron field: 1,,2"},
      {"1, * * * *", "invalid cron field: 1,"},
      {",1 * * * *", "invalid cron field: ,1"},
      {"* 24 * * *", "invalid cron field: 24"},
      {"* * 0 * *", "invalid cron field: 0"},
      {"* * 32 * *", "invalid cron field: 32"},
      {"* * * 0 *", "invalid cron field: 0"},
      {"* * * 13 *", "invalid cron field: 13"},
      {"-5 * * * *", "invalid cron field: -5"},
      {"+ * * * *", "invalid cron field: +"},
      {"- * * * *", "invalid cron field: -"},
      {"++5 * * * *", "invalid cron field: ++5"},
      {"*/ * * * *", "invalid cron field: */"},
      {"*/+ * * * *", "invalid cron field: */+"},
      {"*/- * * * *", "invalid cron field: */-"},
      {"*/-1 * * * *", "invalid cron field: */-1"},
      {"*/256 * * * *", "invalid cron field: */256"},
      {"*/99999999999999999999 * * * *", "invalid cron field: */99999999999999999999"},
      {"99999999999999999999 * * * *", "invalid cron field: 99999999999999999999"},
      {"1-10/3/2 * * * *", "invalid cron field: 1-10/3/2"},
      {"1- * * * *", "invalid cron field: 1-"},
      {"a * * * *", "invalid cron field: a"},
      {"*-5 * * * *", "invalid cron field: *-5"},
      {"** * * * *", "invalid cron field: **"},
      {"* * * JAN *", "invalid cron field: JAN"},
      {"* * * * MON", "invalid cron field: MON"},
      {"5x * * * *", "invalid cron field: 5x"},
      // The first failing field decides.
      {"99 99 * * *", "invalid cron field: 99"},
      {"1 2 3 4 9", "invalid cron field: 9"},
      {"* * * *", "cron expression must contain exactly five fields"},
      {"* * * * * *", "cron expression must contain exactly five fields"},
      {"", "cron expression must contain exactly five fields"},
      {"   \t ", "cron expression must contain exactly five fields"},
      // Five fields are counted before any field is looked at.
      {"99 * * *", "cron expression must contain exactly five fields"},
  };
  for (const auto& c : cases) {
    const std::string got = parse_error(c.expression);
    if (got != c.message) {
      std::fprintf(stderr, "parse '%s': got '%s', expected '%s'\n", c.expression, got.c_str(), c.message);
      ++native_check::failures;
    }
  }
}

void parse_fields() {
  CHECK((allowed(parsed("*/15 * * * *").minute) == std::vector<int>{0, 15, 30, 45}));
  CHECK((allowed(parsed("1-10/3 * * * *").minute) == std::vector<int>{1, 4, 7, 10}));
  CHECK((allowed(parsed("5/10 * * * *").minute) == std::vector<int>{5}));
  CHECK((allowed(parsed("+5 * * * *").minute) == std::vector<int>{5}));
  CHECK((allowed(parsed("*/+20 * * * *").minute) == std::vector<int>{0, 20, 40}));
  CHECK((allowed(parsed("58-59/255 * * * *").minute) == std::vector<int>{58}));
  CHECK((allowed(parsed("3,1,3,59 * * * *").minute) == std::vector<int>{1, 3, 59}));
  CHECK((allowed(parsed("* * */10 * *").day_of_month) == std::vector<int>{1, 11, 21, 31}));
  CHECK((allowed(parsed("* * * */5 *").month) == std::vector<int>{1, 6, 11}));
  CHECK((allowed(parsed("* * * * 0,6").day_of_week) == std::vector<int>{0, 6}));
  CHECK((allowed(parsed("* * * * *").day_of_week) == std::vector<int>{0, 1, 2, 3, 4, 5, 6}));
  CHECK(allowed(parsed("* * * * *").minute).size() == 60);
  CHECK(allowed(parsed("* 007 * * *").hour) == std::vector<int>{7});

  const auto e = parsed("* */1 *,1 1-12 *");
  CHECK(!e.hour.wildcard);
  CHECK(!e.day_of_month.wildcard);
  CHECK(!e.month.wildcard);
  CHECK(e.minute.wildcard);
  CHECK(e.day_of_week.wildcard);

  // Runs of spaces, tabs and line breaks separate fields.
  const auto spaced = parsed("  0\t\t12 \n 1   1 \r*  ");
  CHECK(allowed(spaced.minute) == std::vector<int>{0});
  CHECK(allowed(spaced.hour) == std::vector<int>{12});
}

// 2024-03-15 is a Friday; 2024-03-13 a Wednesday.
void day_rule() {
  const int64_t fri_15 = 1'710'460'800'000;  // 2024-03-15T00:00Z
  const int64_t wed_13 = fri_15 - 2 * kDay;
  const int64_t thu_14 = fri_15 - kDay;
  const int64_t sat_16 = fri_15 + kDay;
  struct Case {
    const char* expression;
    bool wed_13, thu_14, fri_15, sat_16;
  };
  const Case cases[] = {
      {"0 0 13 * 5", true, false, true, false},   {"0 0 * * 5", false, false, true, false},
      {"0 0 13 * *", true, false, false, false},  {"0 0 * * *", true, true, true, true},
      {"0 0 */2 * 5", true, false, true, false},  {"0 0 */2 * *", true, false, true, false},
      {"0 0 14 * */2", false, true, false, true}, {"0 0 * * */2", false, true, false, true},
      {"0 0 16 * 3", true, false, false, true},
  };
  for (const auto& c : cases) {
    const auto e = parsed(c.expression);
    if (matches_utc_ms(e, wed_13) != c.wed_13 || matches_utc_ms(e, thu_14) != c.thu_14 ||
        matches_utc_ms(e, fri_15) != c.fri_15 || matches_utc_ms(e, sat_16) != c.sat_16) {
      std::fprintf(stderr, "day rule wrong for '%s'\n", c.expression);
      ++native_check::failures;
    }
  }
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
  CHECK(matches_utc_ms(leap, 951'782'400'000));    // 2000-02-29
  CHECK(matches_utc_ms(leap, 1'709'164'800'000));  // 2024-02-29
  CHECK(!matches_utc_ms(leap, 4'107'542'400'000)); // 2100-03-01
}

void next_times() {
  const auto quarter = parsed("*/15 * * * *");
  const int64_t ten = 1'710'496'800'000;  // 2024-03-15T10:00Z
  auto n = next_after_utc_ms(quarter, ten + 7 * kMinute + 30'000);
  CHECK(n && *n == ten + 15 * kMinute);
  // Strictly after: a boundary that matches is not its own successor.
  n = next_after_utc_ms(quarter, ten + 15 * kMinute);
  CHECK(n && *n == ten + 30 * kMinute);
  n = next_after_utc_ms(quarter, ten + 15 * kMinute - 1);
  CHECK(n && *n == ten + 15 * kMinute);
  n = next_after_utc_ms(parsed("* * * * *"), ten);
  CHECK(n && *n == ten + kMinute);

  // A search that starts before 1970 ends in 1970 or later.
  n = next_after_utc_ms(parsed("* * * * *"), -1);
  CHECK(n && *n == 0);
  n = next_after_utc_ms(parsed("* * * * *"), -kMinute - 1);
  CHECK(n && *n == 0);
  n = next_after_utc_ms(parsed("30 12 * * *"), -5 * kDay);
  CHECK(n && *n == 12 * 3'600'000 + 30 * kMinute);
  // Within reach of the horizon from 1969, out of it from further back.
  n = next_after_utc_ms(parsed("0 0 1 1 *"), -kDay);
  CHECK(n && *n == 0);
  CHECK(search_error(parsed("* * * * *"), -2929 * kDay) ==
        "invalid cron field: no matching time within search horizon");
  CHECK(search_error(parsed("* * * * *"), kInt64Min) == "invalid cron field: no matching time within search horizon");

  // The last minute of the horizon is still searched; the one after it is not.
  const auto every = parsed("* * * * *");
  const int64_t horizon_ms = kCronSearchHorizonMinutes * kMinute;
  n = next_after_utc_ms(every, -horizon_ms);  // first candidate -horizon+1 minutes, last candidate 0
  CHECK(n && *n == 0);
  CHECK(search_error(every, -horizon_ms - 1) == "invalid cron field: no matching time within search horizon");

  // 29 February 2100 does not exist: the next one is 2104's, 2922 days on.
  n = next_after_utc_ms(parsed("0 0 29 2 *"), 4'007'836'800'000);  // 2097-01-01
  CHECK(n && *n == 4'233'686'400'000);
  n = next_after_utc_ms(parsed("0 0 29 2 *"), 4'107'542'400'000 - kDay);  // 2100-02-28
  CHECK(n && *n == 4'233'686'400'000);

  CHECK(search_error(parsed("0 0 31 2 *"), 0) == "invalid cron field: no matching time within search horizon");
  CHECK(search_error(parsed("0 0 30 2 *"), ten) == "invalid cron field: no matching time within search horizon");

  // Near the end of time: no wrap-around, an overflow error instead.
  CHECK(search_error(every, kInt64Max) == "cron timestamp overflow");
  const int64_t last_minute_start = (kInt64Max / kMinute) * kMinute;
  n = next_after_utc_ms(every, last_minute_start - 1);
  CHECK(n && *n == last_minute_start);
  CHECK(search_error(every, last_minute_start) == "cron timestamp overflow");
  // Never matching, close enough to the end that the walk runs out of time first.
  CHECK(search_error(parsed("0 0 31 2 *"), last_minute_start - 10 * kDay) == "cron timestamp overflow");
  // Far enough from the end that the horizon comes first.
  CHECK(search_error(parsed("0 0 31 2 *"), last_minute_start - horizon_ms - kDay) ==
        "invalid cron field: no matching time within search horizon");
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
  const int64_t starts[] = {-kDay, -1, 0, 951'782'400'000 - kMinute, 1'710'460'800'000 - 1, 4'102'444'800'000 - 7,
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
  parse_errors();
  parse_fields();
  day_rule();
  matching();
  next_times();
  search_agrees_with_walk();
  return native_check::finish("cron tests");
}
