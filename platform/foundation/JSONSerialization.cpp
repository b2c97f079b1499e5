#include "platform/foundation/JSONSerialization.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <unicode/utf8.h>

namespace foundation {

namespace {

constexpr const char* kCorruptDescription = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
constexpr const char* kInvalidDescription = "The data couldn\u2019t be written because it isn\u2019t in the correct format.";

Error makeError(long code, const char* description, const std::string& debugDescription) {
  Dictionary info{{kLocalizedDescriptionKey, Value(description)},
                  {kDebugDescriptionErrorKey, Value(debugDescription)}};
  return Error(kCocoaErrorDomain, code, std::move(info));
}

void report(Error* error, long code, const char* description, const std::string& debugDescription) {
  if (error) *error = makeError(code, description, debugDescription);
}

// Builds Values straight from the parser's events, so that no intermediate document exists and
// nesting can be capped before it can exhaust the stack (Value destruction is recursive).
class ValueBuilder {
 public:
  using json = nlohmann::json;

  bool null() { return add(Value()); }
  bool boolean(bool b) { return add(Value(b)); }
  bool number_integer(json::number_integer_t i) { return add(Value(static_cast<long long>(i))); }
  bool number_unsigned(json::number_unsigned_t u) { return add(Value(static_cast<unsigned long long>(u))); }
  bool number_float(json::number_float_t d, const std::string&) {
    if (!std::isfinite(d)) return fail("Number wider than a double.");
    return add(Value(d));
  }
  bool string(json::string_t& s) { return add(Value(std::move(s))); }
  bool binary(json::binary_t&) { return fail("Unexpected binary value."); }
  bool start_object(std::size_t) { return open(Value(Dictionary())); }
  bool key(json::string_t& k) {
    keys_.back() = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Value(Array())); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) {
    if (message_.empty()) message_ = std::string(ex.what()) + " (byte " + std::to_string(position) + ")";
    return false;
  }

  std::optional<Value> result() { return done_ ? std::optional<Value>(std::move(root_)) : std::nullopt; }
  const std::string& message() const { return message_; }

 private:
  bool fail(const std::string& message) {
    if (message_.empty()) message_ = message;
    return false;
  }
  bool open(Value container) {
    if (static_cast<int>(stack_.size()) >= JSONSerialization::kMaximumDepth) {
      return fail("Too many nested arrays or dictionaries.");
    }
    stack_.push_back(std::move(container));
    keys_.emplace_back();
    return true;
  }
  bool close() {
    Value finished = std::move(stack_.back());
    stack_.pop_back();
    keys_.pop_back();
    return add(std::move(finished));
  }
  bool add(Value value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      done_ = true;
      return true;
    }
    Value& parent = stack_.back();
    if (parent.isArray()) {
      parent.mutableArray().push_back(std::move(value));
    } else {
      parent.mutableDictionary().set(keys_.back(), std::move(value));
    }
    return true;
  }

  std::vector<Value> stack_;
  std::vector<std::string> keys_;
  Value root_;
  bool done_ = false;
  std::string message_;
};

bool isContainer(const Value& value) { return value.isArray() || value.isDictionary(); }

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

// Why `value` cannot be written, or empty when it can.
std::string invalidReason(const Value& value, int depth) {
  if (depth > JSONSerialization::kMaximumDepth) return "Too many nested arrays or dictionaries.";
  switch (value.type()) {
    case Value::Type::Null:
    case Value::Type::Bool:
    case Value::Type::Int:
    case Value::Type::UInt:
      return {};
    case Value::Type::Double:
      return std::isfinite(value.doubleValue()) ? std::string() : "Invalid number value (NaN or infinity) in JSON write.";
    case Value::Type::String:
      return isValidUTF8(value.stringValue()) ? std::string() : "Invalid UTF-8 in string in JSON write.";
    case Value::Type::Array:
      for (const Value& element : value.arrayValue()) {
        std::string reason = invalidReason(element, depth + 1);
        if (!reason.empty()) return reason;
      }
      return {};
    case Value::Type::Dictionary:
      for (const auto& [key, element] : value.dictionaryValue()) {
        if (!isValidUTF8(key)) return "Invalid UTF-8 in key in JSON write.";
        std::string reason = invalidReason(element, depth + 1);
        if (!reason.empty()) return reason;
      }
      return {};
    case Value::Type::Data: return "Invalid type in JSON write (data).";
    case Value::Type::Date: return "Invalid type in JSON write (date).";
    case Value::Type::Object: return "Invalid type in JSON write (object).";
  }
  return "Invalid type in JSON write.";
}

class Writer {
 public:
  explicit Writer(unsigned options)
      : pretty_(options & JSONWritingPrettyPrinted),
        sorted_(options & JSONWritingSortedKeys),
        escapeSlashes_(!(options & JSONWritingWithoutEscapingSlashes)) {}

  std::string write(const Value& value) {
    emit(value, 0);
    return std::move(out_);
  }

 private:
  void newline(int level) {
    if (!pretty_) return;
    out_ += '\n';
    out_.append(static_cast<std::size_t>(level) * 2, ' ');
  }

  void emitString(const std::string& s) {
    out_ += '"';
    for (char c : s) {
      switch (c) {
        case '"': out_ += "\\\""; break;
        case '\\': out_ += "\\\\"; break;
        case '/': out_ += escapeSlashes_ ? "\\/" : "/"; break;
        case '\n': out_ += "\\n"; break;
        case '\r': out_ += "\\r"; break;
        case '\t': out_ += "\\t"; break;
        case '\b': out_ += "\\b"; break;
        case '\f': out_ += "\\f"; break;
        default:
          if (static_cast<unsigned char>(c) < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            out_ += buffer;
          } else {
            out_ += c;
          }
      }
    }
    out_ += '"';
  }

  void emitDouble(double d) {
    char buffer[64];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, d);
    out_.append(buffer, ec == std::errc() ? end : buffer);
  }

  void emitArray(const Array& array, int level) {
    out_ += '[';
    if (array.empty()) { out_ += ']'; return; }
    bool first = true;
    for (const Value& element : array) {
      if (!first) out_ += ',';
      first = false;
      newline(level + 1);
      emit(element, level + 1);
    }
    newline(level);
    out_ += ']';
  }

  void emitDictionary(const Dictionary& dictionary, int level) {
    out_ += '{';
    if (dictionary.empty()) { out_ += '}'; return; }
    std::vector<const Dictionary::Entry*> entries;
    for (const auto& entry : dictionary.entries()) entries.push_back(&entry);
    if (sorted_) {
      std::stable_sort(entries.begin(), entries.end(),
                       [](const auto* a, const auto* b) { return a->first < b->first; });
    }
    bool first = true;
    for (const auto* entry : entries) {
      if (!first) out_ += ',';
      first = false;
      newline(level + 1);
      emitString(entry->first);
      out_ += pretty_ ? " : " : ":";
      emit(entry->second, level + 1);
    }
    newline(level);
    out_ += '}';
  }

  void emit(const Value& value, int level) {
    switch (value.type()) {
      case Value::Type::Null: out_ += "null"; break;
      case Value::Type::Bool: out_ += value.boolValue() ? "true" : "false"; break;
      case Value::Type::Int: out_ += std::to_string(value.intValue()); break;
      case Value::Type::UInt: out_ += std::to_string(value.uintValue()); break;
      case Value::Type::Double: emitDouble(value.doubleValue()); break;
      case Value::Type::String: emitString(value.stringValue()); break;
      case Value::Type::Array: emitArray(value.arrayValue(), level); break;
      case Value::Type::Dictionary: emitDictionary(value.dictionaryValue(), level); break;
      default: break;  // excluded by invalidReason
    }
  }

  bool pretty_;
  bool sorted_;
  bool escapeSlashes_;
  std::string out_;
};

}  // namespace

std::optional<Value> JSONSerialization::JSONObjectWithData(const Data& data, unsigned options, Error* error) {
  auto begin = data.begin();
  if (data.size() >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) begin += 3;
  if (begin == data.end()) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription, "Unable to parse empty data.");
    return std::nullopt;
  }
  ValueBuilder builder;
  bool parsed = false;
  try {
    parsed = nlohmann::json::sax_parse(begin, data.end(), &builder);
  } catch (const std::exception& ex) {  // the parser reports through the builder; this is a backstop
    report(error, kPropertyListReadCorruptError, kCorruptDescription, ex.what());
    return std::nullopt;
  }
  std::optional<Value> result = builder.result();
  if (!parsed || !result) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription,
           builder.message().empty() ? "Invalid JSON text." : builder.message());
    return std::nullopt;
  }
  if (!(options & JSONReadingAllowFragments) && !isContainer(*result)) {
    report(error, kPropertyListReadCorruptError, kCorruptDescription,
           "JSON text did not start with array or object and option to allow fragments not set.");
    return std::nullopt;
  }
  return result;
}

std::optional<Data> JSONSerialization::dataWithJSONObject(const Value& value, unsigned options, Error* error) {
  if (!(options & JSONWritingFragmentsAllowed) && !isContainer(value)) {
    report(error, kPropertyListWriteInvalidError, kInvalidDescription, "Invalid top-level type in JSON write.");
    return std::nullopt;
  }
  std::string reason = invalidReason(value, 0);
  if (!reason.empty()) {
    report(error, kPropertyListWriteInvalidError, kInvalidDescription, reason);
    return std::nullopt;
  }
  std::string text = Writer(options).write(value);
  return Data(text.begin(), text.end());
}

bool JSONSerialization::isValidJSONObject(const Value& value) {
  return isContainer(value) && invalidReason(value, 0).empty();
}

}  // namespace foundation
