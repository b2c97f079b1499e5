#pragma once
// DateFormatter stands in for the platform's date formatter for fixed-format text: it parses and
// writes dates with the platform's date-format patterns ("yyyy-MM-dd'T'HH:mm:ssz" and the like)
// in a chosen time zone and locale. Patterns follow Unicode TR35, as on the platform.
//
// Dates are written from the instant rounded to the microsecond, the most a date's double holds
// reliably today, so that a date read from "…00.999" is written back as such and not a
// millisecond early. As on the platform, the calendar is Julian before 1582-10-15 unless the
// Gregorian start date is moved.
//
// Left out: relative and styled (short, medium, long) formats, calendars other than the locale's,
// and lenient parsing (text must match the whole pattern).
// A formatter is not safe to use from two threads at once; make one per thread or guard it.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"

namespace foundation {

class DateFormatter {
 public:
  // A formatter with an empty pattern, the current locale (Locale::currentLocaleIdentifier) and
  // the system's time zone.
  DateFormatter();
  ~DateFormatter();
  DateFormatter(const DateFormatter&) = delete;
  DateFormatter& operator=(const DateFormatter&) = delete;

  const std::string& dateFormat() const { return pattern_; }
  void setDateFormat(std::string pattern);
  // A locale identifier such as "en_US_POSIX" or "de_DE".
  void setLocaleIdentifier(std::string identifier);
  // A time zone of that many seconds east of GMT, with no daylight saving.
  void setTimeZoneSecondsFromGMT(int seconds);
  // A time zone by identifier ("Europe/Berlin", "GMT"); false, changing nothing, when unknown.
  bool setTimeZoneIdentifier(const std::string& identifier);
  // The first instant of the Gregorian calendar; earlier dates use the Julian one. Date::distantPast()
  // gives the proleptic Gregorian calendar of ISO 8601 for every year from 1 on.
  void setGregorianStartDate(Date date);

  // The date the whole of `text` denotes under the pattern, or nothing when it does not match.
  std::optional<Date> dateFromString(const std::string& text) const;
  // `date` written with the pattern; empty when the pattern cannot be used.
  std::string stringFromDate(Date date) const;

  // The daylight-saving offset, in seconds, at `date` of the zone `zoneIdentifier` (the system's
  // zone when empty): 0 outside daylight saving, where the zone has none, and for unknown zones.
  // Thread-safe.
  static double daylightSavingTimeOffset(Date date, const std::string& zoneIdentifier = {});

 private:
  struct Impl;
  std::string pattern_;
  std::string locale_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace foundation
