#include "platform/foundation/DateFormatter.h"

#include <unicode/gregocal.h>
#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include <cmath>

#include "platform/foundation/Locale.h"

namespace foundation {

namespace {

constexpr double kReferenceDateMilliseconds = Date::kReferenceDateSince1970 * 1000.0;

// ICU counts milliseconds since 1970 and cuts a date down to its millisecond; Date counts seconds
// since 2001. The double of 0.999 s after 1970, counted from 2001, is a hair below it, so the
// instant is first rounded to the microsecond.
UDate toUDate(Date date) {
  const double seconds = date.timeIntervalSinceReferenceDate();
  if (!std::isfinite(seconds)) return seconds;
  const double microseconds = std::nearbyint(seconds * 1e6);
  return std::floor(microseconds / 1000.0) + kReferenceDateMilliseconds;
}

// One rounding only: ICU's milliseconds are whole, so the subtraction is exact.
Date fromUDate(UDate value) {
  return Date::fromTimeIntervalSinceReferenceDate((value - kReferenceDateMilliseconds) / 1000.0);
}

}  // namespace

struct DateFormatter::Impl {
  std::unique_ptr<icu::TimeZone> zone{icu::TimeZone::createDefault()};
  std::optional<Date> gregorianStart;
  // Built lazily from pattern, locale and zone, dropped whenever one of them changes.
  std::unique_ptr<icu::SimpleDateFormat> format;

  // The format for the current settings, or null when ICU refuses the pattern or locale.
  icu::SimpleDateFormat* formatFor(const std::string& pattern, const std::string& locale) {
    if (format) return format.get();
    UErrorCode status = U_ZERO_ERROR;
    auto made = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern),
                                                        icu::Locale::createCanonical(locale.c_str()), status);
    if (U_FAILURE(status)) return nullptr;
    if (gregorianStart) moveGregorianStart(*made);
    made->setTimeZone(*zone);
    made->setLenient(false);
    format = std::move(made);
    return format.get();
  }

  void moveGregorianStart(icu::SimpleDateFormat& made) const {
    std::unique_ptr<icu::Calendar> calendar(made.getCalendar()->clone());
    auto* gregorian = dynamic_cast<icu::GregorianCalendar*>(calendar.get());
    if (!gregorian) return;  // the locale's calendar has no Julian part
    UErrorCode status = U_ZERO_ERROR;
    gregorian->setGregorianChange(toUDate(*gregorianStart), status);
    if (U_SUCCESS(status)) made.adoptCalendar(calendar.release());
  }
};

DateFormatter::DateFormatter() : locale_(Locale::currentLocaleIdentifier()), impl_(std::make_unique<Impl>()) {}

DateFormatter::~DateFormatter() = default;

void DateFormatter::setDateFormat(std::string pattern) {
  pattern_ = std::move(pattern);
  impl_->format.reset();
}

void DateFormatter::setLocaleIdentifier(std::string identifier) {
  locale_ = std::move(identifier);
  impl_->format.reset();
}

void DateFormatter::setTimeZoneSecondsFromGMT(int seconds) {
  impl_->zone.reset(new icu::SimpleTimeZone(seconds * 1000, icu::UnicodeString::fromUTF8("GMT")));
  impl_->format.reset();
}

bool DateFormatter::setTimeZoneIdentifier(const std::string& identifier) {
  std::unique_ptr<icu::TimeZone> zone(icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(identifier)));
  // ICU answers unknown identifiers with the "Etc/Unknown" zone rather than failing.
  if (!zone || *zone == icu::TimeZone::getUnknown()) return false;
  impl_->zone = std::move(zone);
  impl_->format.reset();
  return true;
}

void DateFormatter::setGregorianStartDate(Date date) {
  impl_->gregorianStart = date;
  impl_->format.reset();
}

std::optional<Date> DateFormatter::dateFromString(const std::string& text) const {
  icu::SimpleDateFormat* format = impl_->formatFor(pattern_, locale_);
  if (!format) return std::nullopt;
  const icu::UnicodeString source = icu::UnicodeString::fromUTF8(text);
  icu::ParsePosition position(0);
  const UDate parsed = format->parse(source, position);
  // Trailing text means the pattern did not describe the whole string.
  if (position.getErrorIndex() >= 0 || position.getIndex() != source.length()) return std::nullopt;
  return fromUDate(parsed);
}

std::string DateFormatter::stringFromDate(Date date) const {
  icu::SimpleDateFormat* format = impl_->formatFor(pattern_, locale_);
  if (!format) return {};
  icu::UnicodeString written;
  format->format(toUDate(date), written);
  std::string text;
  written.toUTF8String(text);
  return text;
}

double DateFormatter::daylightSavingTimeOffset(Date date, const std::string& zoneIdentifier) {
  std::unique_ptr<icu::TimeZone> zone(zoneIdentifier.empty()
                                          ? icu::TimeZone::createDefault()
                                          : icu::TimeZone::createTimeZone(icu::UnicodeString::fromUTF8(zoneIdentifier)));
  std::int32_t rawOffset = 0;
  std::int32_t dstOffset = 0;
  UErrorCode status = U_ZERO_ERROR;
  zone->getOffset(toUDate(date), false, rawOffset, dstOffset, status);
  if (U_FAILURE(status)) return 0;
  return dstOffset / 1000.0;
}

}  // namespace foundation
