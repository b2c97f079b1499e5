#pragma once
// Conversions between days since 1970-01-01 and dates of the proleptic Gregorian calendar (the
// calendar of ISO 8601, carried back before 1582), in any year. Internal to the foundation; pure
// functions, safe from any thread.
#include <cstdint>

namespace foundation::detail {

struct CivilDate {
  std::int64_t year = 1970;
  unsigned month = 1;  // 1 to 12
  unsigned day = 1;    // 1 to 31
};

constexpr bool isLeapYear(std::int64_t year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

// 28 to 31 for months 1 to 12; 0 for any other month.
constexpr unsigned daysInMonth(std::int64_t year, unsigned month) {
  constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to `date`, which must be a valid date; negative before 1970. The eras of
// 400 years keep the arithmetic exact for years before 0 too.
constexpr std::int64_t daysFromCivil(const CivilDate& date) {
  const std::int64_t year = date.year - (date.month <= 2 ? 1 : 0);
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yearOfEra = year - era * 400;
  const std::int64_t monthFromMarch = (date.month + 9) % 12;
  const std::int64_t dayOfYear = (153 * monthFromMarch + 2) / 5 + date.day - 1;
  const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The date `days` after 1970-01-01 (before it when negative).
constexpr CivilDate civilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
  const auto day = static_cast<unsigned>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
  const auto month = static_cast<unsigned>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
  return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

static_assert(daysFromCivil({2001, 1, 1}) == 11323);
static_assert(civilFromDays(-719528).year == 0);  // 0000-01-01
static_assert(daysFromCivil(civilFromDays(-1)) == -1);

}  // namespace foundation::detail
