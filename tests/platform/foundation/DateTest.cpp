#include "platform/foundation/Date.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

using foundation::Date;

// Seconds since 2001 as Python 3.11's datetime.fromisoformat reads each text (with "Z" as
// "+00:00"); nothing where it refuses the text as a date that does not exist.
TEST(DateTest, ISO8601TextReadsAsAnIndependentReaderReadsIt) {
  const struct {
    const char* text;
    std::optional<double> sinceReferenceDate;
  } cases[] = {
      {"2020-02-29T12:00:00Z", 604670400.0},
      {"2000-02-29T00:00:00Z", -26524800.0},
      {"2020-02-30T00:00:00Z", std::nullopt},
      {"2021-02-29T00:00:00Z", std::nullopt},
      {"1900-02-29T00:00:00Z", std::nullopt},
      {"2021-04-31T00:00:00Z", std::nullopt},
      {"2016-12-31T23:59:60Z", std::nullopt},
      {"2021-12-31T24:00:00Z", std::nullopt},
      {"2021-06-15T12:60:00Z", std::nullopt},
      {"2021-06-15T12:00:00+24:00", std::nullopt},
      {"2004-11-29T23:33:09.125+02:00", 123456789.125},
      {"2004-11-29T21:33:09.125+0000", 123456789.125},
      {"1969-12-31T23:59:59.999999Z", -978307200.000001},
      {"0001-01-01T00:00:00Z", -63113904000.0},
      {"1500-03-01T00:00:00-05:30", -15804959400.0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<Date> date = Date::fromISO8601(c.text);
    ASSERT_EQ(date.has_value(), c.sinceReferenceDate.has_value());
    if (date) {
      EXPECT_DOUBLE_EQ(date->timeIntervalSinceReferenceDate(), *c.sinceReferenceDate);
    }
  }
}

TEST(DateTest, ISO8601TextOfAnotherShapeIsRefused) {
  for (const char* text : {"", "yesterday", "2004-13-29T23:33:09Z", " 2004-11-29T23:33:09Z", "+004-11-29T23:33:09Z",
                           "2004-11-29 23:33:09Z", "2004-11-29T23:33:09", "2004-11-29T23:33:09.Z",
                           "2004-11-29T23:33:09Zjunk", "2004-11-29T23:33:09+2:00", "2004-1-29T23:33:09Z"}) {
    EXPECT_FALSE(Date::fromISO8601(text)) << text;
  }
}

}  // namespace
