#include "platform/foundation/detail/XMLPropertyListReader.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include <locale.h>

#include "platform/foundation/XMLParser.h"
#include "platform/foundation/detail/Base64.h"
#include "platform/foundation/detail/CivilCalendar.h"
#include "platform/foundation/detail/ExpansionBudget.h"

namespace foundation::detail {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kReferenceDateSince1970 = 978307200;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  return text;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c) {
  if (isDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal or "0x" hexadecimal, with an optional sign. Numbers in [-2^63, 2^63) read as signed,
// those in [2^63, 2^64) as unsigned, as the platform reads them; anything wider is refused
// rather than wrapped.
std::optional<Value> integerFrom(std::string_view text, std::string& problem) {
  text = trimmed(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  unsigned base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) {
    problem = "An integer element holds no number.";
    return std::nullopt;
  }
  std::uint64_t magnitude = 0;
  for (char c : text) {
    const int digit = base == 16 ? hexDigit(c) : (isDigit(c) ? c - '0' : -1);
    if (digit < 0) {
      problem = "An integer element holds something other than digits.";
      return std::nullopt;
    }
    if (magnitude > (UINT64_MAX - static_cast<unsigned>(digit)) / base) {
      problem = "An integer lies outside the 64-bit range.";
      return std::nullopt;
    }
    magnitude = magnitude * base + static_cast<unsigned>(digit);
  }
  if (!negative) return Value(static_cast<unsigned long long>(magnitude));
  constexpr std::uint64_t kLowestMagnitude = std::uint64_t{1} << 63;
  if (magnitude > kLowestMagnitude) {
    problem = "An integer lies outside the 64-bit range.";
    return std::nullopt;
  }
  return Value(static_cast<long long>(magnitude == kLowestMagnitude ? INT64_MIN : -static_cast<std::int64_t>(magnitude)));
}

// Real numbers are read in the C locale whatever the process's locale, so that "0.5" never
// depends on the user's decimal separator.
std::optional<Value> realFrom(std::string_view text, std::string& problem) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
  const std::string number(trimmed(text));
  char* end = nullptr;
  const double value = number.empty() || !cLocale ? 0 : strtod_l(number.c_str(), &end, cLocale);
  if (number.empty() || end != number.c_str() + number.size()) {
    problem = "A real element does not hold a number.";
    return std::nullopt;
  }
  return Value(value);
}

// Two digits at `at` as a number, or -1.
int twoDigits(std::string_view text, std::size_t at) {
  if (!isDigit(text[at]) || !isDigit(text[at + 1])) return -1;
  return (text[at] - '0') * 10 + (text[at + 1] - '0');
}

// "yyyy-MM-ddTHH:mm:ssZ", a real date of the proleptic Gregorian calendar.
std::optional<Value> dateFrom(std::string_view text, std::string& problem) {
  text = trimmed(text);
  problem = "A date element does not hold a date of the form 2001-01-01T00:00:00Z.";
  if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
      text[16] != ':' || text[19] != 'Z') {
    return std::nullopt;
  }
  const int century = twoDigits(text, 0), yearOfCentury = twoDigits(text, 2);
  const int month = twoDigits(text, 5), day = twoDigits(text, 8);
  const int hour = twoDigits(text, 11), minute = twoDigits(text, 14), second = twoDigits(text, 17);
  if (century < 0 || yearOfCentury < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0) {
    return std::nullopt;
  }
  const CivilDate date{century * 100 + yearOfCentury, static_cast<unsigned>(month), static_cast<unsigned>(day)};
  if (day < 1 || static_cast<unsigned>(day) > daysInMonth(date.year, date.month) || hour > 23 || minute > 59 ||
      second > 59) {
    problem = "A date element holds a date that does not exist.";
    return std::nullopt;
  }
  const std::int64_t since1970 = daysFromCivil(date) * kSecondsPerDay + hour * 3600 + minute * 60 + second;
  return Value(Date::fromTimeIntervalSinceReferenceDate(static_cast<double>(since1970 - kReferenceDateSince1970)));
}

class Builder : public XMLParserDelegate {
 public:
  explicit Builder(std::size_t inputSize) : budget_(inputSize) {}

  // The value read, once the parse succeeded.
  std::optional<Value> result() {
    if (!problem_.empty()) return std::nullopt;
    if (!root_) {
      problem_ = "The property list holds no value.";
      return std::nullopt;
    }
    return std::move(root_);
  }
  const std::string& problem() const { return problem_; }

  void didStartElement(XMLParser& parser, const std::string& name, const std::optional<std::string>&,
                       const std::optional<std::string>&, const Dictionary&) override {
    if (!problem_.empty()) return;
    if (scalar_) return fail(parser, "An element appears inside <" + scalar_->name + ">.");
    if (name == "plist") {
      if (!frames_.empty() || root_) return fail(parser, "A <plist> element appears inside the property list.");
      frames_.push_back(Frame{Frame::Plist});
      return;
    }
    if (name == "key") {
      if (frames_.empty() || frames_.back().kind != Frame::Dictionary) {
        return fail(parser, "A <key> appears outside a dictionary.");
      }
      if (frames_.back().key) return fail(parser, "A dictionary key has no value.");
      scalar_ = Scalar{name};
      return;
    }
    if (!valueMayStart(parser)) return;
    if (name == "array" || name == "dict") {
      const bool wrapped = !frames_.empty() && frames_.front().kind == Frame::Plist;
      if (frames_.size() - (wrapped ? 1 : 0) >= static_cast<std::size_t>(XMLPropertyListReader::kMaximumDepth)) {
        return fail(parser, "Too many nested arrays or dictionaries.");
      }
      frames_.push_back(Frame{name == "array" ? Frame::Array : Frame::Dictionary});
      return;
    }
    static const char* const kScalars[] = {"string", "integer", "real", "true", "false", "date", "data"};
    for (const char* scalar : kScalars) {
      if (name == scalar) {
        scalar_ = Scalar{name};
        return;
      }
    }
    fail(parser, "The element <" + name + "> has no meaning in a property list.");
  }

  void didEndElement(XMLParser& parser, const std::string&, const std::optional<std::string>&,
                     const std::optional<std::string>&) override {
    if (!problem_.empty()) return;
    if (scalar_) return endScalar(parser);
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    if (frame.kind == Frame::Plist) {
      if (!frame.holdsValue) fail(parser, "The <plist> element holds no value.");
      return;
    }
    if (frame.key) return fail(parser, "A dictionary key has no value.");
    deliver(parser, frame.kind == Frame::Array ? Value(std::move(frame.array)) : Value(std::move(frame.dictionary)));
  }

  void foundCharacters(XMLParser& parser, const std::string& text) override { addText(parser, text); }

  void foundCDATA(XMLParser& parser, const Data& block) override {
    addText(parser, std::string(block.begin(), block.end()));
  }

  void parseErrorOccurred(XMLParser&, const Error& error) override {
    if (!problem_.empty()) return;
    const std::string detail = error.userInfo().get(kDebugDescriptionErrorKey).stringValue();
    problem_ = "Malformed XML property list" + (detail.empty() ? std::string(".") : ": " + detail + ".");
  }

 private:
  struct Frame {
    enum Kind { Plist, Array, Dictionary } kind;
    foundation::Array array{};
    foundation::Dictionary dictionary{};
    std::optional<std::string> key{};  // a dictionary's key awaiting its value
    bool holdsValue = false;           // a plist element's one value has been read
  };
  struct Scalar {
    std::string name;
    std::string text{};
  };

  void fail(XMLParser& parser, const std::string& reason) {
    if (problem_.empty()) problem_ = reason;
    parser.abortParsing();
  }

  // Whether a value element may begin where the parse is.
  bool valueMayStart(XMLParser& parser) {
    if (frames_.empty()) {
      if (root_) fail(parser, "The property list holds more than one value.");
      return !root_;
    }
    const Frame& parent = frames_.back();
    if (parent.kind == Frame::Plist && parent.holdsValue) {
      fail(parser, "The <plist> element holds more than one value.");
      return false;
    }
    if (parent.kind == Frame::Dictionary && !parent.key) {
      fail(parser, "A value in a dictionary has no key.");
      return false;
    }
    return true;
  }

  void addText(XMLParser& parser, const std::string& text) {
    if (!problem_.empty()) return;
    if (scalar_) {
      scalar_->text += text;
      return;
    }
    if (!trimmed(text).empty()) fail(parser, "Text appears between the elements of the property list.");
  }

  void endScalar(XMLParser& parser) {
    Scalar scalar = std::move(*scalar_);
    scalar_.reset();
    if (scalar.name == "key") {
      if (!budget_.spendBytes(ExpansionBudget::kKeyCost + scalar.text.size())) return tooLarge(parser);
      frames_.back().key = std::move(scalar.text);
      return;
    }
    std::string reason;
    std::optional<Value> value = scalarValue(scalar, reason);
    if (!value) return fail(parser, reason);
    deliver(parser, std::move(*value));
  }

  std::optional<Value> scalarValue(Scalar& scalar, std::string& reason) {
    const std::string& name = scalar.name;
    if (name == "string") return Value(std::move(scalar.text));
    if (name == "integer") return integerFrom(scalar.text, reason);
    if (name == "real") return realFrom(scalar.text, reason);
    if (name == "date") return dateFrom(scalar.text, reason);
    if (name == "data") {
      auto bytes = base64Decode(scalar.text);
      if (!bytes) reason = "A data element does not hold Base64 text.";
      return bytes ? std::optional<Value>(Value(std::move(*bytes))) : std::nullopt;
    }
    if (!trimmed(scalar.text).empty()) {
      reason = "A <" + name + "> element holds text.";
      return std::nullopt;
    }
    return Value(name == "true");
  }

  void tooLarge(XMLParser& parser) {
    fail(parser, "The XML property list expands to far more than its own size (through entities).");
  }

  void deliver(XMLParser& parser, Value value) {
    std::size_t bytes = 0;
    if (value.isString()) bytes = value.stringValue().size();
    if (value.isData()) bytes = value.dataValue().size();
    if (value.isArray() || value.isDictionary()) bytes = ExpansionBudget::kContainerCost;
    if (!budget_.spendValues(1) || !budget_.spendBytes(bytes)) return tooLarge(parser);
    if (frames_.empty()) {
      root_ = std::move(value);
      return;
    }
    Frame& parent = frames_.back();
    switch (parent.kind) {
      case Frame::Plist:
        parent.holdsValue = true;
        root_ = std::move(value);
        return;
      case Frame::Array: parent.array.push_back(std::move(value)); return;
      case Frame::Dictionary:
        parent.dictionary.set(*parent.key, std::move(value));
        parent.key.reset();
        return;
    }
  }

  ExpansionBudget budget_;
  std::vector<Frame> frames_;
  std::optional<Scalar> scalar_;
  std::optional<Value> root_;
  std::string problem_;
};

}  // namespace

std::optional<Value> XMLPropertyListReader::read(Data data, std::string& problem) {
  auto builder = std::make_shared<Builder>(data.size());
  XMLParser parser(std::move(data));
  parser.setDelegate(builder);
  const bool parsed = parser.parse();
  std::optional<Value> value = builder->result();
  if (!parsed && builder->problem().empty()) {
    problem = "Malformed XML property list.";
    return std::nullopt;
  }
  if (!value) problem = builder->problem();
  return value;
}

}  // namespace foundation::detail
