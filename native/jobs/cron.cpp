#include "jobs/cron.h"

#include <array>
#include <bit>
#include <limits>
#include <optional>
#include <vector>

namespace ombrel::jobs {

namespace {

constexpr int64_t kMsPerMinute = 60'000;
constexpr int64_t kMinutesPerDay = 1'440;
// The last minute whose start is representable in milliseconds.
constexpr int64_t kLastMinute = std::numeric_limits<int64_t>::max() / kMsPerMinute;

int64_t floor_div(int64_t a, int64_t b) {
  int64_t q = a / b;
  if (a % b != 0 && a < 0) --q;
  return q;
}

int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

// The length of the whitespace character (Unicode White_Space) that starts at
// `text[i]`, or 0. Expressions are UTF-8 text, so a no-break or ideographic
// space separates fields just as an ASCII space does.
size_t space_at(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return k < text.size() ? static_cast<unsigned char>(text[k]) : 0; };
  const unsigned char c = byte(i);
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  if (c == 0xC2) return byte(i + 1) == 0x85 || byte(i + 1) == 0xA0 ? 2 : 0;  // U+0085, U+00A0
  if (c == 0xE1) return byte(i + 1) == 0x9A && byte(i + 2) == 0x80 ? 3 : 0;  // U+1680
  if (c == 0xE3) return byte(i + 1) == 0x80 && byte(i + 2) == 0x80 ? 3 : 0;  // U+3000
  if (c != 0xE2) return 0;
  const unsigned char b1 = byte(i + 1), b2 = byte(i + 2);
  // U+2000..U+200A, U+2028, U+2029, U+202F
  if (b1 == 0x80) return (b2 >= 0x80 && b2 <= 0x8A) || b2 == 0xA8 || b2 == 0xA9 || b2 == 0xAF ? 3 : 0;
  return b1 == 0x81 && b2 == 0x9F ? 3 : 0;  // U+205F
}

// A decimal number with at most one leading "+", no other sign, at most 255.
std::optional<int> parse_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 255) return std::nullopt;
  }
  return value;
}

std::expected<CronExpression::Field, CronError> parse_field(std::string_view text, uint8_t min, uint8_t max) {
  const auto invalid = [&] { return std::unexpected(CronError::of(CronError::Kind::InvalidField, text)); };
  CronExpression::Field field;
  field.min = min;
  field.max = max;
  field.wildcard = text == "*";

  const auto parse_value = [&](std::string_view value_text) -> std::optional<int> {
    auto value = parse_number(value_text);
    if (!value || *value < min || *value > max) return std::nullopt;
    return value;
  };

  size_t item_start = 0;
  while (true) {
    const size_t comma = text.find(',', item_start);
    const std::string_view item =
        text.substr(item_start, comma == std::string_view::npos ? std::string_view::npos : comma - item_start);

    std::string_view base = item;
    int step = 1;
    if (const size_t slash = item.find('/'); slash != std::string_view::npos) {
      base = item.substr(0, slash);
      auto parsed = parse_number(item.substr(slash + 1));
      if (!parsed || *parsed < 1) return invalid();
      step = *parsed;
    }

    int low = 0;
    int high = 0;
    if (base == "*") {
      low = min;
      high = max;
    } else if (const size_t dash = base.find('-'); dash != std::string_view::npos) {
      auto lo = parse_value(base.substr(0, dash));
      auto hi = parse_value(base.substr(dash + 1));
      if (!lo || !hi || *lo > *hi) return invalid();
      low = *lo;
      high = *hi;
    } else {
      auto value = parse_value(base);
      if (!value) return invalid();
      low = high = *value;
    }
    for (int v = low; v <= high; v += step) field.flags |= uint64_t{1} << (v - min);

    if (comma == std::string_view::npos) break;
    item_start = comma + 1;
  }
  if (field.flags == 0) return invalid();
  return field;
}

struct CivilDate {
  int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count relative to 1970-01-01, exact for
// every int64 minute's day (eras of 400 years, March-based years).
CivilDate civil_from_days(int64_t days) {
  const int64_t z = days + 719'468;
  const int64_t era = floor_div(z, 146'097);
  const int64_t doe = z - era * 146'097;
  const int64_t yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  return {yoe + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = floor_div(year, 400);
  const int64_t yoe = year - era * 400;
  const int64_t mp = month > 2 ? month - 3 : month + 9;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146'097 + doe - 719'468;
}

bool day_matches(const CronExpression& e, const CivilDate& date, int64_t days) {
  const bool by_month_day = e.day_of_month.allows(date.day);
  const bool by_week_day = e.day_of_week.allows(floor_mod(days + 4, 7));
  const bool any_month_day = e.day_of_month.wildcard;
  const bool any_week_day = e.day_of_week.wildcard;
  if (any_month_day && any_week_day) return true;
  if (any_month_day) return by_week_day;
  if (any_week_day) return by_month_day;
  return by_month_day || by_week_day;
}

// The smallest allowed value >= from in a field, if any.
std::optional<int64_t> next_allowed(const CronExpression::Field& field, int64_t from) {
  if (from > field.max) return std::nullopt;
  if (from < field.min) from = field.min;
  const uint64_t remaining = field.flags >> (from - field.min);
  if (remaining == 0) return std::nullopt;
  return from + std::countr_zero(remaining);
}

}  // namespace

std::expected<CronExpression, CronError> CronExpression::parse(std::string_view text) {
  std::vector<std::string_view> parts;
  size_t i = 0;
  while (i < text.size()) {
    if (const size_t space = space_at(text, i); space != 0) {
      i += space;
      continue;
    }
    const size_t start = i;
    while (i < text.size() && space_at(text, i) == 0) ++i;
    parts.push_back(text.substr(start, i - start));
  }
  if (parts.size() != 5) return std::unexpected(CronError::of(CronError::Kind::WrongFieldCount));

  CronExpression expression;
  static constexpr std::array<std::pair<uint8_t, uint8_t>, 5> kRanges{{{0, 59}, {0, 23}, {1, 31}, {1, 12}, {0, 6}}};
  const std::array<Field*, 5> targets{&expression.minute, &expression.hour, &expression.day_of_month, &expression.month,
                                      &expression.day_of_week};
  for (size_t f = 0; f < 5; ++f) {
    auto field = parse_field(parts[f], kRanges[f].first, kRanges[f].second);
    if (!field) return std::unexpected(std::move(field.error()));
    *targets[f] = *field;
  }
  return expression;
}

bool matches_utc_ms(const CronExpression& expression, int64_t timestamp_ms) {
  const int64_t minute_index = floor_div(timestamp_ms, kMsPerMinute);
  const int64_t days = floor_div(minute_index, kMinutesPerDay);
  const int64_t minute_of_day = minute_index - days * kMinutesPerDay;
  const CivilDate date = civil_from_days(days);
  if (date.year < 1970) return false;
  return expression.minute.allows(minute_of_day % 60) && expression.hour.allows(minute_of_day / 60) &&
         expression.month.allows(date.month) && day_matches(expression, date, days);
}

// Equivalent to testing each minute from the first candidate on, but jumps
// over whole months, days and hours that cannot match; a jump that lands past
// the horizon or past the last representable minute ends the search exactly
// as the minute-by-minute walk would have.
std::expected<int64_t, CronError> next_after_utc_ms(const CronExpression& expression, int64_t after_ms) {
  const int64_t first = floor_div(after_ms, kMsPerMinute) + 1;
  const int64_t last = first + (kCronSearchHorizonMinutes - 1);
  const auto exhausted = [&] {
    return std::unexpected(kLastMinute < last ? CronError::of(CronError::Kind::TimestampOverflow)
                                              : CronError::of(CronError::Kind::InvalidField, kCronNoMatchText));
  };

  // No minute before 1970 matches.
  int64_t m = first < 0 ? 0 : first;
  while (true) {
    if (m > last || m > kLastMinute) return exhausted();
    const int64_t days = floor_div(m, kMinutesPerDay);
    const int64_t minute_of_day = m - days * kMinutesPerDay;
    const CivilDate date = civil_from_days(days);

    if (!expression.month.allows(date.month)) {
      const int64_t next_month_days =
          date.month == 12 ? days_from_civil(date.year + 1, 1, 1) : days_from_civil(date.year, date.month + 1, 1);
      m = next_month_days * kMinutesPerDay;
      continue;
    }
    if (!day_matches(expression, date, days)) {
      m = (days + 1) * kMinutesPerDay;
      continue;
    }
    const int64_t hour = minute_of_day / 60;
    const auto allowed_hour = next_allowed(expression.hour, hour);
    if (!allowed_hour) {
      m = (days + 1) * kMinutesPerDay;
      continue;
    }
    if (*allowed_hour != hour) {
      m = days * kMinutesPerDay + *allowed_hour * 60;
      continue;
    }
    const auto allowed_minute = next_allowed(expression.minute, minute_of_day % 60);
    if (!allowed_minute) {
      m = days * kMinutesPerDay + (hour + 1) * 60;
      continue;
    }
    m = days * kMinutesPerDay + hour * 60 + *allowed_minute;
    if (m > last || m > kLastMinute) return exhausted();
    return m * kMsPerMinute;
  }
}

}  // namespace ombrel::jobs
