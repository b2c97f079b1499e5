#include "platform/foundation/detail/BinaryPropertyListWriter.h"

#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include "platform/foundation/detail/PropertyListRules.h"

namespace foundation::detail {

namespace {

void appendBigEndian(std::string& out, std::uint64_t value, std::size_t width) {
  for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The width of an unsigned number as the format stores lengths, references and offsets.
std::size_t widthFor(std::uint64_t value) {
  if (value < (std::uint64_t{1} << 8)) return 1;
  if (value < (std::uint64_t{1} << 16)) return 2;
  if (value < (std::uint64_t{1} << 32)) return 4;
  return 8;
}

unsigned log2Width(std::size_t width) { return width == 1 ? 0 : width == 2 ? 1 : width == 4 ? 2 : 3; }

// A marker with its count: in the low nibble when below 15, else 0xF and an integer object.
void appendMarker(std::string& out, unsigned type, std::uint64_t count) {
  if (count < 15) {
    out.push_back(static_cast<char>(type << 4 | count));
    return;
  }
  out.push_back(static_cast<char>(type << 4 | 0xF));
  const std::size_t width = widthFor(count);
  out.push_back(static_cast<char>(0x10 | log2Width(width)));
  appendBigEndian(out, count, width);
}

void appendDouble(std::string& out, unsigned marker, double value) {
  std::uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  out.push_back(static_cast<char>(marker));
  appendBigEndian(out, bits, 8);
}

// Non-negative numbers take the fewest of 1, 2, 4 or 8 bytes; negative ones 8 (the only signed
// width); numbers above the signed range 16, as a 128-bit number.
void appendInteger(std::string& out, const Value& value) {
  if (value.type() == Value::Type::UInt && value.uintValue() > static_cast<std::uint64_t>(INT64_MAX)) {
    out.push_back(static_cast<char>(0x14));
    appendBigEndian(out, 0, 8);
    appendBigEndian(out, value.uintValue(), 8);
    return;
  }
  const std::int64_t number = value.intValue();
  const std::size_t width = number < 0 ? 8 : widthFor(static_cast<std::uint64_t>(number));
  out.push_back(static_cast<char>(0x10 | log2Width(width)));
  appendBigEndian(out, static_cast<std::uint64_t>(number), width);
}

void appendString(std::string& out, const std::string& text) {
  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  if (ascii) {
    appendMarker(out, 0x5, text.size());
    out += text;
    return;
  }
  std::u16string units;
  units.reserve(text.size());
  const auto size = static_cast<std::int32_t>(text.size());
  for (std::int32_t i = 0; i < size;) {
    UChar32 c;
    U8_NEXT(text.data(), i, size, c);
    if (U_IS_BMP(c)) {
      units.push_back(static_cast<char16_t>(c));
    } else {
      units.push_back(static_cast<char16_t>(U16_LEAD(c)));
      units.push_back(static_cast<char16_t>(U16_TRAIL(c)));
    }
  }
  appendMarker(out, 0x6, units.size());
  for (char16_t unit : units) appendBigEndian(out, unit, 2);
}

void appendUID(std::string& out, std::uint64_t uid) {
  const std::size_t width = widthFor(uid);
  out.push_back(static_cast<char>(0x80 | (width - 1)));
  appendBigEndian(out, uid, width);
}

class Writer {
 public:
  explicit Writer(std::string& problem) : problem_(problem) {}

  std::optional<Data> write(const Value& root) {
    if (!flatten(root, 0)) return std::nullopt;
    return serialize();
  }

 private:
  // One object of the table: a scalar's whole encoding, or a container's type and children.
  struct Object {
    std::string encoded;
    unsigned containerType = 0;  // 0xA or 0xD for containers
    std::uint64_t count = 0;
    std::vector<std::uint64_t> children{};  // dictionaries: the keys, then the values
  };

  bool fail(const char* reason) {
    problem_ = reason;
    return false;
  }

  // Whether `value` is a scalar a binary property list holds; encodes it into `out` if so.
  bool encodeScalar(const Value& value, std::string& out) {
    switch (value.type()) {
      case Value::Type::Bool: out.push_back(static_cast<char>(value.boolValue() ? 0x09 : 0x08)); return true;
      case Value::Type::Int:
      case Value::Type::UInt: appendInteger(out, value); return true;
      case Value::Type::Double: appendDouble(out, 0x23, value.doubleValue()); return true;
      case Value::Type::Date: {
        const double seconds = value.dateValue().timeIntervalSinceReferenceDate();
        if (!std::isfinite(seconds)) return fail("Property list invalid: a date is not a finite number of seconds.");
        appendDouble(out, 0x33, seconds);
        return true;
      }
      case Value::Type::Data: {
        const Data& data = value.dataValue();
        appendMarker(out, 0x4, data.size());
        out.append(reinterpret_cast<const char*>(data.data()), data.size());
        return true;
      }
      case Value::Type::String: return encodeString(value.stringValue(), out);
      case Value::Type::Null: return fail("Property list invalid for format (property lists cannot contain null).");
      case Value::Type::Object: return fail("Property list invalid for format (property lists cannot contain objects).");
      default: return fail("Property list invalid for format.");
    }
  }

  bool encodeString(const std::string& text, std::string& out) {
    if (!isValidUTF8(text)) return fail("Property list invalid: string is not valid UTF-8.");
    appendString(out, text);
    return true;
  }

  // Adds a scalar's encoding to the table, or finds the equal one already there.
  std::uint64_t intern(std::string encoded) {
    if (const auto found = shared_.find(encoded); found != shared_.end()) return found->second;
    const std::uint64_t index = objects_.size();
    objects_.push_back(Object{std::move(encoded)});
    shared_.emplace(objects_.back().encoded, index);
    return index;
  }

  // Numbers every object in the order the platform's writer does: a container before its
  // children, a dictionary's keys before its values.
  bool flatten(const Value& value, int depth) {
    if (value.isArray() || (value.isDictionary() && !isUID(value.dictionaryValue()))) {
      return flattenContainer(value, depth);
    }
    std::string encoded;
    if (value.isDictionary()) {
      appendUID(encoded, value.dictionaryValue().get(kUIDKey).uintValue());
    } else if (!encodeScalar(value, encoded)) {
      return false;
    }
    lastIndex_ = intern(std::move(encoded));
    return true;
  }

  bool flattenContainer(const Value& value, int depth) {
    if (depth >= BinaryPropertyListWriter::kMaximumDepth) {
      return fail("Property list invalid: too many nested arrays or dictionaries.");
    }
    const std::uint64_t index = objects_.size();
    objects_.push_back(Object{});
    std::vector<std::uint64_t> children;
    if (value.isArray()) {
      children.reserve(value.arrayValue().size());
      for (const Value& element : value.arrayValue()) {
        if (!flatten(element, depth + 1)) return false;
        children.push_back(lastIndex_);
      }
      objects_[index].containerType = 0xA;
      objects_[index].count = children.size();
    } else {
      const Dictionary& dictionary = value.dictionaryValue();
      children.reserve(2 * dictionary.size());
      for (const auto& [key, element] : dictionary) {
        std::string encoded;
        if (!encodeString(key, encoded)) return false;
        children.push_back(intern(std::move(encoded)));
      }
      for (const auto& [key, element] : dictionary) {
        if (!flatten(element, depth + 1)) return false;
        children.push_back(lastIndex_);
      }
      objects_[index].containerType = 0xD;
      objects_[index].count = dictionary.size();
    }
    objects_[index].children = std::move(children);
    lastIndex_ = index;
    return true;
  }

  Data serialize() {
    shared_.clear();  // its views die with the encodings released below
    const std::size_t refSize = widthFor(objects_.size());
    std::string out = "bplist00";
    std::vector<std::uint64_t> offsets;
    offsets.reserve(objects_.size());
    for (Object& object : objects_) {
      offsets.push_back(out.size());
      if (object.containerType == 0) {
        out += object.encoded;
        std::string().swap(object.encoded);
        continue;
      }
      appendMarker(out, object.containerType, object.count);
      for (std::uint64_t child : object.children) appendBigEndian(out, child, refSize);
    }
    const std::uint64_t tableOffset = out.size();
    const std::size_t offsetSize = widthFor(tableOffset);
    for (std::uint64_t offset : offsets) appendBigEndian(out, offset, offsetSize);
    out.append(6, '\0');
    out.push_back(static_cast<char>(offsetSize));
    out.push_back(static_cast<char>(refSize));
    appendBigEndian(out, objects_.size(), 8);
    appendBigEndian(out, 0, 8);  // the top object is the first
    appendBigEndian(out, tableOffset, 8);
    return Data(out.begin(), out.end());
  }

  std::string& problem_;
  std::deque<Object> objects_;  // a deque, so that the views in shared_ stay valid
  std::unordered_map<std::string_view, std::uint64_t> shared_;
  std::uint64_t lastIndex_ = 0;
};

}  // namespace

std::optional<Data> BinaryPropertyListWriter::write(const Value& value, std::string& problem) {
  return Writer(problem).write(value);
}

}  // namespace foundation::detail
