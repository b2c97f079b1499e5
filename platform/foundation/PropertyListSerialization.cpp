#include "platform/foundation/PropertyListSerialization.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <plist/plist.h>
#include <unicode/utf8.h>

namespace foundation {

namespace {

// The library recurses once per nesting level when parsing and writing, and so does Value
// destruction; past this depth input is refused before it can exhaust a thread's stack.
constexpr int kMaximumDepth = 512;

constexpr const char* kCorruptDescription = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
constexpr const char* kUnknownVersionDescription =
    "The data couldn\u2019t be read because it has an unknown property list version.";
constexpr const char* kInvalidDescription = "The data couldn\u2019t be written because it isn\u2019t in the correct format.";

bool report(Error* error, long code, const char* description, const std::string& debugDescription) {
  if (error) {
    *error = Error(kCocoaErrorDomain, code,
                   Dictionary{{kLocalizedDescriptionKey, Value(description)},
                              {kDebugDescriptionErrorKey, Value(debugDescription)}});
  }
  return false;
}

struct PlistDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// ---- depth checks on the raw bytes, before the library sees them ----

std::uint64_t readBigEndian(const std::uint8_t* bytes, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < size; ++i) value = (value << 8) | bytes[i];
  return value;
}

// Looks over a binary property list before the library parses it, for what the library does
// not survive: nesting deeper than kMaximumDepth (walked iteratively; a cycle counts as too
// deep) and strings with a NUL character (its accessors abort on those). Other structural damage
// is left for the library to report.
class BinaryPreflight {
 public:
  BinaryPreflight(const std::uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  bool acceptable() {
    if (size_ < 8 + 32) return true;
    const std::uint8_t* trailer = bytes_ + size_ - 32;
    offsetSize_ = trailer[6];
    refSize_ = trailer[7];
    objectCount_ = readBigEndian(trailer + 8, 8);
    const std::uint64_t top = readBigEndian(trailer + 16, 8);
    tableOffset_ = readBigEndian(trailer + 24, 8);
    if (offsetSize_ == 0 || offsetSize_ > 8 || refSize_ == 0 || refSize_ > 8 || top >= objectCount_) return true;
    if (tableOffset_ >= size_ || objectCount_ > (size_ - tableOffset_) / offsetSize_) return true;
    for (std::uint64_t object = 0; object < objectCount_; ++object) {
      if (stringHasNul(object)) return false;
    }
    depths_.assign(static_cast<std::size_t>(objectCount_), 0);
    return depthOf(top) != kTooDeep;
  }

 private:
  static constexpr int kTooDeep = -1;
  static constexpr int kVisiting = -2;

  struct Header {
    int type = -1;
    std::uint64_t count = 0;
    std::uint64_t position = 0;  // of the object's contents
  };

  // The object's type nibble, element count and where its contents start; type -1 on damage.
  Header headerOf(std::uint64_t object) const {
    const std::uint64_t offset = readBigEndian(bytes_ + tableOffset_ + object * offsetSize_, offsetSize_);
    if (offset >= size_) return {};
    const std::uint8_t marker = bytes_[offset];
    Header header{marker >> 4, static_cast<std::uint64_t>(marker & 0x0F), offset + 1};
    if (header.count == 0x0F && header.type >= 0x4) {  // the count follows as an integer object
      const std::uint64_t at = header.position;
      if (at >= size_ || (bytes_[at] >> 4) != 0x1) return {};
      const std::size_t width = std::size_t{1} << (bytes_[at] & 0x0F);
      if (width > 8 || at + 1 + width > size_) return {};
      header.count = readBigEndian(bytes_ + at + 1, width);
      header.position = at + 1 + width;
    }
    return header;
  }

  bool stringHasNul(std::uint64_t object) const {
    const Header header = headerOf(object);
    if (header.type != 0x5 && header.type != 0x6) return false;
    const std::uint64_t unit = header.type == 0x6 ? 2 : 1;
    if (header.count > size_ || header.position + header.count * unit > size_) return false;
    for (std::uint64_t i = 0; i < header.count; ++i) {
      const std::uint8_t* at = bytes_ + header.position + i * unit;
      if (at[0] == 0 && (unit == 1 || at[1] == 0)) return true;
    }
    return false;
  }

  // The children of an array, set or dictionary object; empty for scalars or damage.
  std::vector<std::uint64_t> childrenOf(std::uint64_t object) const {
    const Header header = headerOf(object);
    const int type = header.type;
    if (type != 0xA && type != 0xC && type != 0xD) return {};
    const std::uint64_t count = header.count;
    const std::uint64_t position = header.position;
    const std::uint64_t refs = type == 0xD ? count * 2 : count;
    if (count > size_ || position + refs * refSize_ > size_) return {};
    std::vector<std::uint64_t> children;
    children.reserve(static_cast<std::size_t>(refs));
    for (std::uint64_t i = 0; i < refs; ++i) {
      const std::uint64_t child = readBigEndian(bytes_ + position + i * refSize_, refSize_);
      if (child < objectCount_) children.push_back(child);
    }
    return children;
  }

  // Longest path below `root`, memoised per object, with an explicit stack.
  int depthOf(std::uint64_t root) {
    struct Frame {
      std::uint64_t object;
      std::vector<std::uint64_t> children;
      std::size_t next = 0;
      int deepest = 0;
    };
    std::vector<Frame> stack;
    stack.push_back({root, childrenOf(root)});
    depths_[root] = kVisiting;
    while (!stack.empty()) {
      Frame& frame = stack.back();
      if (frame.next == frame.children.size()) {
        const int depth = frame.deepest + 1;
        depths_[frame.object] = depth;
        stack.pop_back();
        if (stack.empty()) return depth;
        stack.back().deepest = std::max(stack.back().deepest, depth);
        continue;
      }
      const std::uint64_t child = frame.children[frame.next++];
      const int known = depths_[child];
      if (known == kVisiting) return kTooDeep;
      if (known > 0) {
        frame.deepest = std::max(frame.deepest, known);
        if (frame.deepest >= kMaximumDepth) return kTooDeep;
        continue;
      }
      if (static_cast<int>(stack.size()) >= kMaximumDepth) return kTooDeep;
      depths_[child] = kVisiting;
      stack.push_back({child, childrenOf(child)});
    }
    return kTooDeep;
  }

  const std::uint8_t* bytes_;
  std::size_t size_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  std::uint64_t objectCount_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::vector<int> depths_;
};

bool startsWith(const char* text, std::size_t size, std::size_t at, const char* word) {
  const std::size_t length = std::strlen(word);
  return at + length <= size && std::memcmp(text + at, word, length) == 0;
}

// Counts open <array> and <dict> elements; anything that could only overestimate the depth
// (such tags inside comments) errs on the side of refusing.
bool xmlDepthAcceptable(const char* text, std::size_t size) {
  int depth = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (text[i] != '<') continue;
    const bool closing = i + 1 < size && text[i + 1] == '/';
    const std::size_t name = i + (closing ? 2 : 1);
    const bool container = startsWith(text, size, name, "array") || startsWith(text, size, name, "dict");
    if (!container) continue;
    const std::size_t end = std::string_view(text, size).find('>', name);
    if (end == std::string_view::npos) return true;  // malformed; the parser will say so
    if (closing) {
      --depth;
    } else if (text[end - 1] != '/' && ++depth > kMaximumDepth) {
      return false;
    }
    i = end;
  }
  return true;
}

// ---- library nodes to Values ----

bool toValue(plist_t node, int depth, Value& out, std::string& problem) {
  if (depth > kMaximumDepth) {
    problem = "Too many nested arrays or dictionaries.";
    return false;
  }
  switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
      std::uint8_t b = 0;
      plist_get_bool_val(node, &b);
      out = Value(b != 0);
      return true;
    }
    case PLIST_UINT: {
      std::uint64_t u = 0;
      plist_get_uint_val(node, &u);
      // The library hands out the integer's 64 bits without its sign; negative numbers are far
      // more common in property lists than ones beyond the signed range.
      out = Value(static_cast<long long>(u));
      return true;
    }
    case PLIST_REAL: {
      double d = 0;
      plist_get_real_val(node, &d);
      out = Value(d);
      return true;
    }
    case PLIST_STRING: {
      std::uint64_t length = 0;
      const char* s = plist_get_string_ptr(node, &length);
      out = Value(std::string(s ? s : "", s ? strnlen(s, length) : 0));
      return true;
    }
    case PLIST_DATA: {
      std::uint64_t length = 0;
      const char* bytes = plist_get_data_ptr(node, &length);
      const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
      out = Value(Data(begin, begin + (bytes ? length : 0)));
      return true;
    }
    case PLIST_DATE: {
      std::int32_t seconds = 0, microseconds = 0;
      plist_get_date_val(node, &seconds, &microseconds);
      // The library splits an instant into its integer part and the fraction's magnitude, so
      // before 2001 the fraction counts backwards. (Within the last second of 2000 the sign is
      // lost altogether; such a date reads as the same fraction after the reference date.)
      const double fraction = (seconds < 0 ? -1.0 : 1.0) * std::abs(microseconds) / 1e6;
      out = Value(Date::fromTimeIntervalSinceReferenceDate(seconds + fraction));
      return true;
    }
    case PLIST_UID: {
      std::uint64_t uid = 0;
      plist_get_uid_val(node, &uid);
      out = Value(Dictionary{{"CF$UID", Value(static_cast<unsigned long long>(uid))}});
      return true;
    }
    case PLIST_ARRAY: {
      Array array;
      const std::uint32_t count = plist_array_get_size(node);
      array.reserve(count);
      for (std::uint32_t i = 0; i < count; ++i) {
        Value element;
        if (!toValue(plist_array_get_item(node, i), depth + 1, element, problem)) return false;
        array.push_back(std::move(element));
      }
      out = Value(std::move(array));
      return true;
    }
    case PLIST_DICT: {
      Dictionary dictionary;
      plist_dict_iter iterator = nullptr;
      plist_dict_new_iter(node, &iterator);
      bool ok = true;
      for (;;) {
        char* key = nullptr;
        plist_t item = nullptr;
        plist_dict_next_item(node, iterator, &key, &item);
        if (!item) {
          std::free(key);
          break;
        }
        Value element;
        ok = toValue(item, depth + 1, element, problem);
        if (ok) dictionary.set(key ? key : "", std::move(element));
        std::free(key);
        if (!ok) break;
      }
      std::free(iterator);
      if (ok) out = Value(std::move(dictionary));
      return ok;
    }
    default:
      problem = "Unexpected element in property list.";
      return false;
  }
}

// ---- Values to library nodes ----

bool isValidUTF8(const std::string& s) {
  if (s.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto n = static_cast<int32_t>(s.size());
  int32_t i = 0;
  while (i < n) {
    UChar32 c;
    U8_NEXT(s.data(), i, n, c);
    if (c < 0) return false;
  }
  return true;
}

// XML 1.0 cannot carry control characters other than tab, line feed and carriage return; the
// library would drop them silently, so such strings are refused for XML instead.
bool hasXMLForbiddenCharacters(const std::string& s) {
  for (unsigned char c : s) {
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') return true;
  }
  return false;
}

bool validString(const std::string& s, PropertyListFormat format, std::string& problem) {
  if (!isValidUTF8(s)) {
    problem = "Property list invalid: string is not valid UTF-8.";
    return false;
  }
  if (format == PropertyListFormat::XML && hasXMLForbiddenCharacters(s)) {
    problem = "Property list invalid for format: XML cannot hold control characters.";
    return false;
  }
  return true;
}

// The date as whole seconds and non-negative microseconds, the form the library holds;
// nothing when the seconds do not fit its 32 bits.
std::optional<std::pair<std::int32_t, std::int32_t>> splitDate(const Date& date) {
  const double t = date.timeIntervalSinceReferenceDate();
  if (!std::isfinite(t)) return std::nullopt;
  double seconds = std::floor(t);
  double microseconds = std::round((t - seconds) * 1e6);
  if (microseconds >= 1e6) {
    seconds += 1;
    microseconds = 0;
  }
  if (seconds < std::numeric_limits<std::int32_t>::min() || seconds > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return std::make_pair(static_cast<std::int32_t>(seconds), static_cast<std::int32_t>(microseconds));
}

plist_t toNode(const Value& value, PropertyListFormat format, int depth, std::string& problem);

plist_t arrayNode(const Array& array, PropertyListFormat format, int depth, std::string& problem) {
  PlistPtr node(plist_new_array());
  for (const Value& element : array) {
    plist_t child = toNode(element, format, depth + 1, problem);
    if (!child) return nullptr;
    plist_array_append_item(node.get(), child);
  }
  return node.release();
}

// A dictionary of the single key "CF$UID" with a non-negative integer is how a UID reads; it is
// written back as one, so that keyed archives survive a round trip.
bool isUID(const Dictionary& dictionary) {
  if (dictionary.size() != 1) return false;
  const Value* index = dictionary.find("CF$UID");
  return index && index->isInteger() && (index->type() == Value::Type::UInt || index->intValue() >= 0);
}

plist_t dictionaryNode(const Dictionary& dictionary, PropertyListFormat format, int depth, std::string& problem) {
  if (isUID(dictionary)) return plist_new_uid(dictionary.get("CF$UID").uintValue());
  PlistPtr node(plist_new_dict());
  for (const auto& [key, element] : dictionary) {
    if (!validString(key, format, problem)) return nullptr;
    plist_t child = toNode(element, format, depth + 1, problem);
    if (!child) return nullptr;
    plist_dict_set_item(node.get(), key.c_str(), child);
  }
  return node.release();
}

plist_t toNode(const Value& value, PropertyListFormat format, int depth, std::string& problem) {
  if (depth > kMaximumDepth) {
    problem = "Property list invalid: too many nested arrays or dictionaries.";
    return nullptr;
  }
  switch (value.type()) {
    case Value::Type::Bool: return plist_new_bool(value.boolValue() ? 1 : 0);
    case Value::Type::Int: return plist_new_uint(static_cast<std::uint64_t>(value.intValue()));
    case Value::Type::UInt:
      // The library would write such a number as its signed twin (a huge count as -1).
      if (value.uintValue() > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        problem = "Property list invalid: unsigned integer beyond the signed 64-bit range.";
        return nullptr;
      }
      return plist_new_uint(value.uintValue());
    case Value::Type::Double: return plist_new_real(value.doubleValue());
    case Value::Type::String:
      if (!validString(value.stringValue(), format, problem)) return nullptr;
      return plist_new_string(value.stringValue().c_str());
    case Value::Type::Data: {
      const Data& data = value.dataValue();
      return plist_new_data(reinterpret_cast<const char*>(data.data()), data.size());
    }
    case Value::Type::Date: {
      auto parts = splitDate(value.dateValue());
      if (!parts) {
        problem = "Property list invalid: date out of the supported range (1933 to 2069).";
        return nullptr;
      }
      return plist_new_date(parts->first, parts->second);
    }
    case Value::Type::Array: return arrayNode(value.arrayValue(), format, depth, problem);
    case Value::Type::Dictionary: return dictionaryNode(value.dictionaryValue(), format, depth, problem);
    case Value::Type::Null:
      problem = "Property list invalid for format (property lists cannot contain null).";
      return nullptr;
    case Value::Type::Object:
      problem = "Property list invalid for format (property lists cannot contain objects).";
      return nullptr;
  }
  return nullptr;
}

// A string inside a node built from Values cannot hold a NUL byte (the library takes C strings),
// so strings with one are refused too.
bool hasEmbeddedNul(const Value& value, int depth) {
  if (depth > kMaximumDepth) return false;
  if (value.isString()) return value.stringValue().find('\0') != std::string::npos;
  if (value.isArray()) {
    for (const Value& element : value.arrayValue()) {
      if (hasEmbeddedNul(element, depth + 1)) return true;
    }
  }
  if (value.isDictionary()) {
    for (const auto& [key, element] : value.dictionaryValue()) {
      if (key.find('\0') != std::string::npos || hasEmbeddedNul(element, depth + 1)) return true;
    }
  }
  return false;
}

PlistPtr buildNode(const Value& value, PropertyListFormat format, std::string& problem) {
  if (format != PropertyListFormat::XML && format != PropertyListFormat::Binary) {
    problem = "Property list format not supported for writing.";
    return nullptr;
  }
  if (hasEmbeddedNul(value, 0)) {
    problem = "Property list invalid: string with a NUL character.";
    return nullptr;
  }
  return PlistPtr(toNode(value, format, 0, problem));
}

}  // namespace

std::optional<Value> PropertyListSerialization::propertyListWithData(const Data& data, unsigned, PropertyListFormat* format,
                                                                     Error* error) {
  const char* text = reinterpret_cast<const char*>(data.data());
  std::size_t size = data.size();
  if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
    text += 3;
    size -= 3;
  }
  if (size == 0) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription, "Cannot parse a NULL or zero-length data.");
    return std::nullopt;
  }
  if (size > std::numeric_limits<std::uint32_t>::max()) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription, "Property list too large.");
    return std::nullopt;
  }
  const bool binary = startsWith(text, size, 0, "bplist");
  if (binary && !startsWith(text, size, 0, "bplist00")) {
    report(error, kPropertyListReadUnknownVersionError, kUnknownVersionDescription,
           "Unsupported binary property list version.");
    return std::nullopt;
  }
  std::size_t firstNonSpace = 0;
  while (firstNonSpace < size && std::strchr(" \t\r\n", text[firstNonSpace])) ++firstNonSpace;
  if (!binary && (firstNonSpace == size || text[firstNonSpace] != '<')) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription,
           "Property list is neither XML nor binary (the OpenStep format is not read).");
    return std::nullopt;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
  const bool depthOK = binary ? BinaryPreflight(bytes, size).acceptable() : xmlDepthAcceptable(text, size);
  if (!depthOK) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription, "Too many nested arrays or dictionaries.");
    return std::nullopt;
  }
  plist_t raw = nullptr;
  plist_from_memory(text, static_cast<std::uint32_t>(size), &raw);
  PlistPtr root(raw);
  if (!root) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription,
           binary ? "Malformed binary property list." : "Malformed XML property list.");
    return std::nullopt;
  }
  Value value;
  std::string problem;
  if (!toValue(root.get(), 0, value, problem)) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription, problem);
    return std::nullopt;
  }
  if (format) *format = binary ? PropertyListFormat::Binary : PropertyListFormat::XML;
  return value;
}

std::optional<Data> PropertyListSerialization::dataWithPropertyList(const Value& value, PropertyListFormat format,
                                                                    unsigned, Error* error) {
  std::string problem;
  PlistPtr root = buildNode(value, format, problem);
  if (!root) {
    report(error, kPropertyListWriteStreamError, kInvalidDescription, problem);
    return std::nullopt;
  }
  char* bytes = nullptr;
  std::uint32_t length = 0;
  if (format == PropertyListFormat::XML) {
    plist_to_xml(root.get(), &bytes, &length);
  } else {
    plist_to_bin(root.get(), &bytes, &length);
  }
  if (!bytes) {
    report(error, kPropertyListWriteStreamError, kInvalidDescription, "The property list could not be written.");
    return std::nullopt;
  }
  Data data(reinterpret_cast<std::uint8_t*>(bytes), reinterpret_cast<std::uint8_t*>(bytes) + length);
  if (format == PropertyListFormat::XML) plist_to_xml_free(bytes); else plist_to_bin_free(bytes);
  return data;
}

bool PropertyListSerialization::propertyListIsValidForFormat(const Value& value, PropertyListFormat format) {
  std::string problem;
  return buildNode(value, format, problem) != nullptr;
}

}  // namespace foundation
