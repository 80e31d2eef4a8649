// Five-field cron expressions (minute, hour, day of month, month, day of
// week), evaluated in UTC at minute resolution on signed 64-bit millisecond
// timestamps. Pure: no state, no clock, no storage, no dependency on the
// process time zone.
//
// Contract:
//   CronExpression::parse(text)        the five fields, or the first field's
//                                      error (whole field text carried).
//   matches_utc_ms(expr, t)            whether the minute containing t matches;
//                                      times before 1970 never match.
//   next_after_utc_ms(expr, after_ms)  start of the first matching minute
//                                      strictly after after_ms, searching at
//                                      most kCronSearchHorizonMinutes minutes
//                                      (the first candidate included).
//
// Fields are separated by runs of whitespace (Unicode White_Space: the text is
// UTF-8). Field syntax: comma-separated items; an item is "*", a value v, or a
// range lo-hi, optionally followed by "/step" (1..255). Numbers are decimal
// with an optional leading "+". A step after a single value selects that
// value only.
// Day rule: when exactly one of day-of-month / day-of-week is the literal "*",
// the other decides; when neither is, either one suffices. "*/n" is not "*".
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "engine/domain_error.h"

namespace ombrel::jobs {

// 2928 days (eight spans of 366 days): long enough to reach the next
// 29 February across a century year without one (2096 to 2104).
inline constexpr int64_t kCronSearchHorizonMinutes = 4216320;

// Carried by the invalid-field variant when a next-time search finds nothing.
inline constexpr std::string_view kCronNoMatchText = "no matching time within search horizon";

struct CronErrorTexts {
  enum class Kind : uint8_t { InvalidField, WrongFieldCount, TimestampOverflow };
  static constexpr auto kTexts = std::to_array<engine::ErrorText<Kind>>({
      {Kind::InvalidField, "invalid cron field: {}"},
      {Kind::WrongFieldCount, "cron expression must contain exactly five fields"},
      {Kind::TimestampOverflow, "cron timestamp overflow"},
  });
};
using CronError = engine::DomainError<CronErrorTexts>;

class CronExpression {
 public:
  // One flag per value from `min` to `max` (bit v - min), at most 60 values.
  struct Field {
    uint64_t flags = 0;
    bool wildcard = false;  // the field's text was exactly "*"
    uint8_t min = 0;
    uint8_t max = 0;

    bool allows(int64_t value) const { return value >= min && value <= max && ((flags >> (value - min)) & 1u) != 0; }
  };

  static std::expected<CronExpression, CronError> parse(std::string_view text);

  Field minute;
  Field hour;
  Field day_of_month;
  Field month;
  Field day_of_week;
};

bool matches_utc_ms(const CronExpression& expression, int64_t timestamp_ms);

std::expected<int64_t, CronError> next_after_utc_ms(const CronExpression& expression, int64_t after_ms);

}  // namespace ombrel::jobs
