#include "platform/foundation/Date.h"

#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <charconv>
#include <cstdint>

#include "platform/foundation/detail/CivilCalendar.h"

namespace foundation {

Date Date::now() {
  using namespace std::chrono;
  double since1970 = duration<double>(system_clock::now().time_since_epoch()).count();
  return fromTimeIntervalSince1970(since1970);
}

std::string Date::iso8601() const {
  double since1970 = timeIntervalSince1970();
  double whole = std::floor(since1970);
  int millis = static_cast<int>(std::lround((since1970 - whole) * 1000.0));
  if (millis == 1000) {
    whole += 1;
    millis = 0;
  }
  std::time_t seconds = static_cast<std::time_t>(whole);
  std::tm parts{};
  gmtime_r(&seconds, &parts);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, millis);
  return buffer;
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The number written by `count` digits at `at`, or -1 when they are not all digits.
int digitsAt(const std::string& text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return -1;
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (!isDigit(text[i])) return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// The zone offset at `at` in seconds ("Z", "+hh:mm" or "+hhmm", hours below 24), or nothing.
std::optional<int> offsetAt(const std::string& text, std::size_t at) {
  const std::size_t left = text.size() - at;
  if (left == 1 && text[at] == 'Z') return 0;
  if (left != 5 && left != 6) return std::nullopt;
  if (text[at] != '+' && text[at] != '-') return std::nullopt;
  const bool colon = left == 6;
  if (colon && text[at + 3] != ':') return std::nullopt;
  const int hours = digitsAt(text, at + 1, 2);
  const int minutes = digitsAt(text, at + (colon ? 4 : 3), 2);
  if (hours < 0 || hours > 23 || minutes < 0 || minutes > 59) return std::nullopt;
  return (text[at] == '-' ? -1 : 1) * (hours * 3600 + minutes * 60);
}

}  // namespace

std::optional<Date> Date::fromISO8601(const std::string& text) {
  if (text.size() < 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':') {
    return std::nullopt;
  }
  const int year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
  const int hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
  if (year < 0 || month < 1 || month > 12 || day < 1 ||
      static_cast<unsigned>(day) > detail::daysInMonth(year, static_cast<unsigned>(month)) || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59) {
    return std::nullopt;
  }
  std::size_t i = 19;
  double fraction = 0;
  if (text[i] == '.' || text[i] == ',') {
    const std::size_t first = ++i;
    while (i < text.size() && isDigit(text[i])) ++i;
    if (i == first) return std::nullopt;
    const std::string digits = "0." + text.substr(first, i - first);
    std::from_chars(digits.data(), digits.data() + digits.size(), fraction);
  }
  const auto offset = offsetAt(text, i);
  if (!offset) return std::nullopt;
  const detail::CivilDate date{year, static_cast<unsigned>(month), static_cast<unsigned>(day)};
  const std::int64_t since1970 = detail::daysFromCivil(date) * 86400 + hour * 3600 + minute * 60 + second - *offset;
  // Counted from 2001 before the fraction is added, so that only one rounding happens.
  const auto sinceReference = static_cast<double>(since1970 - static_cast<std::int64_t>(kReferenceDateSince1970));
  return fromTimeIntervalSinceReferenceDate(sinceReference + fraction);
}

}  // namespace foundation
