#include "platform/foundation/detail/XMLPropertyListWriter.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include <unicode/utf8.h>

#include "platform/foundation/detail/Base64.h"
#include "platform/foundation/detail/CivilCalendar.h"
#include "platform/foundation/detail/PropertyListRules.h"

namespace foundation::detail {

namespace {

constexpr const char* kPrologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kReferenceDateSince1970 = 978307200;
// Seconds since 2001 of 0000-01-01 and of 10000-01-01, the ends of four-digit years.
constexpr double kEarliestDate = static_cast<double>(daysFromCivil({0, 1, 1}) * kSecondsPerDay - kReferenceDateSince1970);
constexpr double kLatestDate = static_cast<double>(daysFromCivil({10000, 1, 1}) * kSecondsPerDay - kReferenceDateSince1970);

// What XML 1.0 cannot carry: control characters but tab, line feed and carriage return, and the
// two non-characters U+FFFE and U+FFFF. `text` is valid UTF-8.
bool holdsNonXMLCharacters(const std::string& text) {
  const auto size = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < size;) {
    UChar32 c;
    U8_NEXT(text.data(), i, size, c);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF) return true;
  }
  return false;
}

void appendEscaped(std::string& out, const std::string& text) {
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '\r': out += "&#13;"; break;
      default: out.push_back(c);
    }
  }
}

// The shortest text that reads back as the same double; zeros keep their sign.
std::string realText(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-infinity" : "+infinity";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// "yyyy-MM-ddTHH:mm:ssZ" of the whole second at or before `seconds` (since 2001).
std::string dateText(double seconds) {
  const auto since1970 = static_cast<std::int64_t>(std::floor(seconds)) + kReferenceDateSince1970;
  std::int64_t days = since1970 / kSecondsPerDay;
  std::int64_t secondOfDay = since1970 % kSecondsPerDay;
  if (secondOfDay < 0) {
    secondOfDay += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civilFromDays(days);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", static_cast<long long>(date.year),
                date.month, date.day, static_cast<long long>(secondOfDay / 3600),
                static_cast<long long>(secondOfDay / 60 % 60), static_cast<long long>(secondOfDay % 60));
  return buffer;
}

class Writer {
 public:
  explicit Writer(std::string& problem) : problem_(problem) {}

  std::optional<Data> write(const Value& root) {
    out_ = kPrologue;
    if (!writeValue(root, 0)) return std::nullopt;
    out_ += "</plist>\n";
    return Data(out_.begin(), out_.end());
  }

 private:
  bool fail(const char* reason) {
    problem_ = reason;
    return false;
  }

  void indent(int depth) { out_.append(static_cast<std::size_t>(depth), '\t'); }

  void element(int depth, const char* name, const std::string& text) {
    indent(depth);
    out_ += '<';
    out_ += name;
    out_ += '>';
    out_ += text;
    out_ += "</";
    out_ += name;
    out_ += ">\n";
  }

  bool checkText(const std::string& text) {
    if (!isValidUTF8(text)) return fail("Property list invalid: string is not valid UTF-8.");
    if (holdsNonXMLCharacters(text)) {
      return fail("Property list invalid for format: XML cannot hold control characters, NUL, U+FFFE or U+FFFF.");
    }
    return true;
  }

  bool writeText(int depth, const char* name, const std::string& text) {
    if (!checkText(text)) return false;
    std::string escaped;
    escaped.reserve(text.size());
    appendEscaped(escaped, text);
    element(depth, name, escaped);
    return true;
  }

  bool writeValue(const Value& value, int depth) {
    switch (value.type()) {
      case Value::Type::Bool:
        indent(depth);
        out_ += value.boolValue() ? "<true/>\n" : "<false/>\n";
        return true;
      case Value::Type::Int: element(depth, "integer", std::to_string(value.intValue())); return true;
      case Value::Type::UInt: element(depth, "integer", std::to_string(value.uintValue())); return true;
      case Value::Type::Double: element(depth, "real", realText(value.doubleValue())); return true;
      case Value::Type::String: return writeText(depth, "string", value.stringValue());
      case Value::Type::Data: element(depth, "data", base64Encode(value.dataValue())); return true;
      case Value::Type::Date: return writeDate(value.dateValue(), depth);
      case Value::Type::Array: return writeArray(value.arrayValue(), depth);
      case Value::Type::Dictionary: return writeDictionary(value.dictionaryValue(), depth);
      case Value::Type::Null: return fail("Property list invalid for format (property lists cannot contain null).");
      case Value::Type::Object: return fail("Property list invalid for format (property lists cannot contain objects).");
    }
    return fail("Property list invalid for format.");
  }

  bool writeDate(const Date& date, int depth) {
    const double seconds = date.timeIntervalSinceReferenceDate();
    if (!std::isfinite(seconds)) return fail("Property list invalid: a date is not a finite number of seconds.");
    if (seconds < kEarliestDate || seconds >= kLatestDate) {
      return fail("Property list invalid for format: XML dates must lie in the years 0000 to 9999.");
    }
    element(depth, "date", dateText(seconds));
    return true;
  }

  bool openContainer(int depth) {
    if (depth >= XMLPropertyListWriter::kMaximumDepth) {
      return fail("Property list invalid for format: too many nested arrays or dictionaries for XML.");
    }
    return true;
  }

  bool writeArray(const Array& array, int depth) {
    if (!openContainer(depth)) return false;
    indent(depth);
    if (array.empty()) {
      out_ += "<array/>\n";
      return true;
    }
    out_ += "<array>\n";
    for (const Value& element : array) {
      if (!writeValue(element, depth + 1)) return false;
    }
    indent(depth);
    out_ += "</array>\n";
    return true;
  }

  bool writeDictionary(const Dictionary& dictionary, int depth) {
    if (!openContainer(depth)) return false;
    indent(depth);
    if (dictionary.empty()) {
      out_ += "<dict/>\n";
      return true;
    }
    out_ += "<dict>\n";
    for (const auto& [key, element] : dictionary) {
      if (!writeText(depth + 1, "key", key) || !writeValue(element, depth + 1)) return false;
    }
    indent(depth);
    out_ += "</dict>\n";
    return true;
  }

  std::string& problem_;
  std::string out_;
};

}  // namespace

std::optional<Data> XMLPropertyListWriter::write(const Value& value, std::string& problem) {
  return Writer(problem).write(value);
}

}  // namespace foundation::detail
