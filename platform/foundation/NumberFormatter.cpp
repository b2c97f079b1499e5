#include "platform/foundation/NumberFormatter.h"

#include <unicode/uloc.h>
#include <unicode/unum.h>

#include <string>

#include "platform/foundation/String.h"

namespace foundation {

namespace {

// ICU locale IDs use underscores; language tags with hyphens are converted first.
std::string icuLocale(std::string_view identifier) {
  const std::string id(identifier);
  if (id.find('-') == std::string::npos) return id;
  char buffer[ULOC_FULLNAME_CAPACITY] = {};
  UErrorCode status = U_ZERO_ERROR;
  uloc_forLanguageTag(id.c_str(), buffer, sizeof buffer, nullptr, &status);
  return U_SUCCESS(status) ? std::string(buffer) : id;
}

}  // namespace

std::string spellOut(long value, std::string_view localeIdentifier) {
  const std::string locale = icuLocale(localeIdentifier);
  UErrorCode status = U_ZERO_ERROR;
  UNumberFormat* format = unum_open(UNUM_SPELLOUT, nullptr, 0, locale.c_str(), nullptr, &status);
  if (U_FAILURE(status) || format == nullptr) {
    if (format != nullptr) unum_close(format);
    return std::to_string(value);
  }
  std::u16string out(64, u'\0');
  int32_t n = unum_formatInt64(format, value, out.data(), static_cast<int32_t>(out.size()),
                               nullptr, &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    status = U_ZERO_ERROR;
    out.assign(static_cast<std::size_t>(n), u'\0');
    n = unum_formatInt64(format, value, out.data(), static_cast<int32_t>(out.size()), nullptr,
                         &status);
  }
  unum_close(format);
  if (U_FAILURE(status)) return std::to_string(value);
  out.resize(static_cast<std::size_t>(n));
  return utf8(out);
}

}  // namespace foundation
