#include "platform/foundation/Date.h"

#include <chrono>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>

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

std::optional<Date> Date::fromISO8601(const std::string& text) {
  int year, month, day, hour, minute, second;
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second,
                  &consumed) != 6 || consumed != 19)
    return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
    return std::nullopt;
  std::size_t i = 19;
  double fraction = 0;
  if (i < text.size() && (text[i] == '.' || text[i] == ',')) {
    double scale = 0.1;
    ++i;
    if (i >= text.size() || !std::isdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) {
      fraction += (text[i] - '0') * scale;
      scale /= 10;
      ++i;
    }
  }
  int offsetSeconds = 0;
  if (i < text.size() && text[i] == 'Z') {
    ++i;
  } else if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    int sign = text[i] == '-' ? -1 : 1;
    int oh = 0, om = 0, n = 0;
    std::string rest = text.substr(i + 1);
    if (std::sscanf(rest.c_str(), "%2d:%2d%n", &oh, &om, &n) == 2 && n == 5) {
      i += 6;
    } else if (rest.size() >= 4 && std::sscanf(rest.c_str(), "%2d%2d%n", &oh, &om, &n) == 2 && n == 4) {
      i += 5;
    } else {
      return std::nullopt;
    }
    offsetSeconds = sign * (oh * 3600 + om * 60);
  } else {
    return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  std::tm parts{};
  parts.tm_year = year - 1900;
  parts.tm_mon = month - 1;
  parts.tm_mday = day;
  parts.tm_hour = hour;
  parts.tm_min = minute;
  parts.tm_sec = second;
  double since1970 = static_cast<double>(timegm(&parts)) - offsetSeconds + fraction;
  return fromTimeIntervalSince1970(since1970);
}

}  // namespace foundation
