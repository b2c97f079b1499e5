// Fixed-format date parsing and writing with patterns, time zones and locales.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>

#include "platform/foundation/DateFormatter.h"

namespace {

using foundation::Date;
using foundation::DateFormatter;

TEST(DateFormatter, ParsesWholeTextInTheGivenZone) {
  struct Case {
    const char* pattern;
    const char* text;
    std::optional<double> since1970;
  };
  const Case cases[] = {
      {"yyyy-MM-dd'T'HH:mm:ssz", "2024-01-15T10:30:00GMT", 1705314600},
      {"yyyy-MM-dd'T'HH:mm:ssz", "2024-01-15T10:30:00GMT+02:00", 1705307400},
      // Without a zone in the text the formatter's own zone (GMT here) applies.
      {"yyyy-MM-dd HH:mm", "2024-01-15 10:30", 1705314600},
      {"dd/MM/yyyy", "15/01/2024", 1705276800},
      {"yyyy-MM-dd'T'HH:mm:ssZ", "2024-01-15T10:30:00+0100", 1705311000},
      // Text that does not match the pattern, or only partly, is refused.
      {"yyyy-MM-dd'T'HH:mm:ssz", "2024-01-15", std::nullopt},
      {"dd/MM/yyyy", "15/01/2024 trailing", std::nullopt},
      {"dd/MM/yyyy", "31/02/2024", std::nullopt},
      {"dd/MM/yyyy", "", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.pattern) + " / " + c.text);
    DateFormatter formatter;
    formatter.setLocaleIdentifier("en_US_POSIX");
    formatter.setTimeZoneSecondsFromGMT(0);
    formatter.setDateFormat(c.pattern);
    const auto date = formatter.dateFromString(c.text);
    ASSERT_EQ(date.has_value(), c.since1970.has_value());
    if (date) {
      EXPECT_DOUBLE_EQ(date->timeIntervalSince1970(), *c.since1970);
    }
  }
}

TEST(DateFormatter, ZoneAndFormatChangesTakeEffect) {
  DateFormatter formatter;
  formatter.setLocaleIdentifier("en_US_POSIX");
  formatter.setDateFormat("yyyy-MM-dd HH:mm");
  formatter.setTimeZoneSecondsFromGMT(3600);
  EXPECT_DOUBLE_EQ(formatter.dateFromString("2024-01-15 10:30")->timeIntervalSince1970(), 1705311000);
  ASSERT_TRUE(formatter.setTimeZoneIdentifier("America/New_York"));
  EXPECT_DOUBLE_EQ(formatter.dateFromString("2024-01-15 10:30")->timeIntervalSince1970(), 1705332600);
  EXPECT_FALSE(formatter.setTimeZoneIdentifier("Nowhere/Atlantis"));
  EXPECT_EQ(formatter.stringFromDate(Date::fromTimeIntervalSince1970(1705332600)), "2024-01-15 10:30");
  formatter.setDateFormat("HH:mm");
  EXPECT_EQ(formatter.stringFromDate(Date::fromTimeIntervalSince1970(1705332600)), "10:30");
}

TEST(DateFormatter, DaylightSavingOffsetOfAZone) {
  const Date summer = Date::fromTimeIntervalSince1970(1720000000);  // July 2024
  const Date winter = Date::fromTimeIntervalSince1970(1705314600);  // January 2024
  EXPECT_DOUBLE_EQ(DateFormatter::daylightSavingTimeOffset(summer, "Europe/Berlin"), 3600);
  EXPECT_DOUBLE_EQ(DateFormatter::daylightSavingTimeOffset(winter, "Europe/Berlin"), 0);
  EXPECT_DOUBLE_EQ(DateFormatter::daylightSavingTimeOffset(summer, "GMT"), 0);
  EXPECT_DOUBLE_EQ(DateFormatter::daylightSavingTimeOffset(summer, "Nowhere/Atlantis"), 0);
}

}  // namespace

namespace {

DateFormatter& isoFormatter(DateFormatter& formatter) {
  formatter.setLocaleIdentifier("en_US_POSIX");
  formatter.setTimeZoneSecondsFromGMT(0);
  formatter.setDateFormat("yyyy-MM-dd'T'HH:mm:ss.SSS");
  return formatter;
}

TEST(DateFormatter, GregorianStartDateDecidesTheCalendarBefore1582) {
  // Seconds since 1970 of each text in the proleptic Gregorian calendar, as Python's datetime
  // reads it; the platform's default calendar is Julian before 1582-10-15, five days apart in
  // the year 1000 and ten in 1582.
  const struct {
    const char* text;
    double proleptic;
    double julianDays;
  } cases[] = {
      {"1000-01-01T00:00:00.000", -30610224000.0, 5},
      {"1582-10-04T12:00:00.000", -12220200000.0, 10},
      {"0001-01-01T00:00:00.000", -62135596800.0, -2},
      {"1582-10-15T00:00:00.000", -12219292800.0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DateFormatter platform;
    DateFormatter proleptic;
    isoFormatter(platform);
    isoFormatter(proleptic).setGregorianStartDate(Date::distantPast());
    const auto julian = platform.dateFromString(c.text);
    const auto gregorian = proleptic.dateFromString(c.text);
    ASSERT_TRUE(julian && gregorian);
    EXPECT_DOUBLE_EQ(gregorian->timeIntervalSince1970(), c.proleptic);
    EXPECT_DOUBLE_EQ(julian->timeIntervalSince1970(), c.proleptic + c.julianDays * 86400);
    EXPECT_EQ(proleptic.stringFromDate(*gregorian), c.text);
    EXPECT_EQ(platform.stringFromDate(*julian), c.text);
  }
}

TEST(DateFormatter, EveryWholeMillisecondIsWrittenAsItWasRead) {
  DateFormatter formatter;
  isoFormatter(formatter);
  for (const char* second : {"1970-01-01T00:00:00", "1969-12-31T23:59:59", "2019-01-31T13:45:07", "2100-06-30T08:00:01"}) {
    for (int millisecond = 0; millisecond < 1000; ++millisecond) {
      char text[40];
      std::snprintf(text, sizeof text, "%s.%03d", second, millisecond);
      const auto date = formatter.dateFromString(text);
      ASSERT_TRUE(date) << text;
      ASSERT_EQ(formatter.stringFromDate(*date), text);
    }
  }
  // Digits past the millisecond are still cut, not rounded.
  EXPECT_EQ(formatter.stringFromDate(Date::fromTimeIntervalSince1970(0.9996)), "1970-01-01T00:00:00.999");
  EXPECT_EQ(formatter.stringFromDate(Date::fromTimeIntervalSince1970(0.999)), "1970-01-01T00:00:00.999");
}

}  // namespace
