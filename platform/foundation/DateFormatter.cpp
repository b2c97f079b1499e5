#include "platform/foundation/DateFormatter.h"

#include <unicode/locid.h>
#include <unicode/simpletz.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>
#include <unicode/unistr.h>

#include "platform/foundation/Locale.h"

namespace foundation {

namespace {

// ICU counts milliseconds since 1970; Date counts seconds since 2001.
UDate toUDate(Date date) { return date.timeIntervalSince1970() * 1000.0; }
Date fromUDate(UDate value) { return Date::fromTimeIntervalSince1970(value / 1000.0); }

}  // namespace

struct DateFormatter::Impl {
  std::unique_ptr<icu::TimeZone> zone{icu::TimeZone::createDefault()};
  // Built lazily from pattern, locale and zone, dropped whenever one of them changes.
  std::unique_ptr<icu::SimpleDateFormat> format;

  // The format for the current settings, or null when ICU refuses the pattern or locale.
  icu::SimpleDateFormat* formatFor(const std::string& pattern, const std::string& locale) {
    if (format) return format.get();
    UErrorCode status = U_ZERO_ERROR;
    auto made = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString::fromUTF8(pattern),
                                                        icu::Locale::createCanonical(locale.c_str()), status);
    if (U_FAILURE(status)) return nullptr;
    made->setTimeZone(*zone);
    made->setLenient(false);
    format = std::move(made);
    return format.get();
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
