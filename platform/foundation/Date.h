#pragma once
// Date stands in for the platform's date: an instant as seconds (with fraction) since the
// reference date 2001-01-01 00:00:00 UTC. It carries no time zone or calendar.
#include <optional>
#include <string>

namespace foundation {

class Date {
 public:
  // Seconds between 1970-01-01 and 2001-01-01 (UTC).
  static constexpr double kReferenceDateSince1970 = 978307200.0;

  Date() = default;  // the reference date itself
  static Date now();
  static Date fromTimeIntervalSinceReferenceDate(double seconds) { return Date(seconds); }
  static Date fromTimeIntervalSince1970(double seconds) { return Date(seconds - kReferenceDateSince1970); }
  static Date distantFuture() { return Date(63113904000.0); }
  static Date distantPast() { return Date(-63114076800.0); }

  double timeIntervalSinceReferenceDate() const { return seconds_; }
  double timeIntervalSince1970() const { return seconds_ + kReferenceDateSince1970; }
  double timeIntervalSince(const Date& other) const { return seconds_ - other.seconds_; }
  double timeIntervalSinceNow() const { return seconds_ - now().seconds_; }
  Date addingTimeInterval(double seconds) const { return Date(seconds_ + seconds); }

  // "2026-12-09T22:10:01.123Z": ISO 8601 in UTC with milliseconds.
  std::string iso8601() const;
  // Parses "yyyy-MM-ddTHH:mm:ss" (ISO 8601, proleptic Gregorian), with or without a fraction,
  // then "Z" or a "+hh:mm"/"+hhmm" offset; nothing on malformed text and on dates and times that
  // do not exist ("2021-02-29", "24:00:00", a leap second "23:59:60").
  static std::optional<Date> fromISO8601(const std::string& text);

  auto operator<=>(const Date&) const = default;

 private:
  explicit Date(double seconds) : seconds_(seconds) {}
  double seconds_ = 0;
};

}  // namespace foundation
