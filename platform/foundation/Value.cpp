#include "platform/foundation/Value.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace foundation {

namespace {

const std::string kEmptyString;
const Data kEmptyData;
const Array kEmptyArray;
const Dictionary kEmptyDictionary;

// The platform's descriptions quote strings unless they are plain words.
bool needsQuotes(const std::string& s) {
  if (s.empty()) return true;
  for (unsigned char c : s) {
    if (!(std::isalnum(c) || c == '_' || c == '.' || c == '/' || c == '$' || c == ':' || c >= 0x80)) return true;
  }
  return false;
}

// A string as descriptions show it: bare when plain, else quoted with escapes.
void appendString(std::string& out, const std::string& s) {
  if (!needsQuotes(s)) {
    out += s;
    return;
  }
  out += '"';
  for (char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  out += '"';
}

// "{length = 3, bytes = 0x616263}", as the platform prints data: at most 24 bytes shown.
void appendData(std::string& out, const Data& d) {
  static const char* digits = "0123456789abcdef";
  out += "{length = ";
  out += std::to_string(d.size());
  out += ", bytes = 0x";
  for (std::size_t i = 0; i < d.size() && i < 24; ++i) {
    out += digits[d[i] >> 4];
    out += digits[d[i] & 15];
  }
  if (d.size() > 24) out += " ... ";
  out += "}";
}

std::string formatDouble(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  // Shortest text that reads back to the same double.
  char buffer[40];
  for (int precision = 1; precision <= 17; ++precision) {
    std::snprintf(buffer, sizeof buffer, "%.*g", precision, d);
    if (std::strtod(buffer, nullptr) == d) break;
  }
  return buffer;
}

void appendIndent(std::string& out, int level) { out.append(static_cast<std::size_t>(level) * 4, ' '); }

}  // namespace

std::string Object::description() const {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "<Object: %p>", static_cast<const void*>(this));
  return buffer;
}

// ---- Dictionary ----

Dictionary::Dictionary() = default;
Dictionary::Dictionary(std::initializer_list<Entry> entries) {
  for (const auto& entry : entries) set(entry.first, entry.second);
}
Dictionary::Dictionary(const Dictionary&) = default;
Dictionary::Dictionary(Dictionary&&) noexcept = default;
Dictionary& Dictionary::operator=(const Dictionary&) = default;
Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
Dictionary::~Dictionary() = default;

std::size_t Dictionary::size() const { return entries_.size(); }
bool Dictionary::empty() const { return entries_.empty(); }
bool Dictionary::contains(const std::string& key) const { return find(key) != nullptr; }

const Dictionary::Entry* Dictionary::lookup(const std::string& key) const {
  if (entries_.size() < kIndexThreshold) {
    for (const auto& entry : entries_) {
      if (entry.first == key) return &entry;
    }
    return nullptr;
  }
  auto it = index_.find(key);
  return it == index_.end() ? nullptr : &entries_[it->second];
}

void Dictionary::rebuildIndex() {
  index_.clear();
  if (entries_.size() < kIndexThreshold) return;
  index_.reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(entries_[i].first, i);
}

const Value* Dictionary::find(const std::string& key) const {
  const Entry* entry = lookup(key);
  return entry ? &entry->second : nullptr;
}

Value* Dictionary::find(const std::string& key) {
  const Entry* entry = lookup(key);
  return entry ? const_cast<Value*>(&entry->second) : nullptr;
}

const Value& Dictionary::get(const std::string& key) const {
  const Value* found = find(key);
  return found ? *found : nullValue();
}

void Dictionary::set(const std::string& key, Value value) {
  if (Value* existing = find(key)) {
    *existing = std::move(value);
    return;
  }
  entries_.emplace_back(key, std::move(value));
  if (entries_.size() == kIndexThreshold)
    rebuildIndex();
  else if (entries_.size() > kIndexThreshold)
    index_.emplace(key, entries_.size() - 1);
}

bool Dictionary::remove(const std::string& key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->first == key) {
      entries_.erase(it);
      // The erase shifted every later position.
      rebuildIndex();
      return true;
    }
  }
  return false;
}

void Dictionary::clear() {
  entries_.clear();
  index_.clear();
}

std::vector<std::string> Dictionary::keys() const {
  std::vector<std::string> result;
  result.reserve(entries_.size());
  for (const auto& entry : entries_) result.push_back(entry.first);
  return result;
}

const std::vector<Dictionary::Entry>& Dictionary::entries() const { return entries_; }
std::vector<Dictionary::Entry>::const_iterator Dictionary::begin() const { return entries_.begin(); }
std::vector<Dictionary::Entry>::const_iterator Dictionary::end() const { return entries_.end(); }

bool Dictionary::operator==(const Dictionary& other) const {
  if (size() != other.size()) return false;
  for (const auto& entry : entries_) {
    const Value* theirs = other.find(entry.first);
    if (!theirs || *theirs != entry.second) return false;
  }
  return true;
}

// ---- Value ----

Value::Value(unsigned long u) {
  if (u <= static_cast<unsigned long>(std::numeric_limits<std::int64_t>::max()))
    storage_ = static_cast<std::int64_t>(u);
  else
    storage_ = static_cast<std::uint64_t>(u);
}

Value::Value(unsigned long long u) {
  if (u <= static_cast<unsigned long long>(std::numeric_limits<std::int64_t>::max()))
    storage_ = static_cast<std::int64_t>(u);
  else
    storage_ = static_cast<std::uint64_t>(u);
}

Value::Value(foundation::Data d) : storage_(std::make_shared<const foundation::Data>(std::move(d))) {}
Value::Value(std::shared_ptr<const foundation::Data> bytes) {
  if (bytes) storage_ = std::move(bytes);
}

Value::Value(foundation::Array a) : storage_(std::make_unique<foundation::Array>(std::move(a))) {}
Value::Value(foundation::Dictionary d) : storage_(std::make_unique<foundation::Dictionary>(std::move(d))) {}
Value::Value(std::shared_ptr<Object> o) {
  if (o) storage_ = std::move(o);
}

Value::Value(const Value& other) { *this = other; }
Value::Value(Value&&) noexcept = default;
Value& Value::operator=(Value&&) noexcept = default;
Value::~Value() = default;

Value& Value::operator=(const Value& other) {
  if (this == &other) return *this;
  switch (other.type()) {
    case Type::Array:
      storage_ = std::make_unique<foundation::Array>(other.arrayValue());
      break;
    case Type::Dictionary:
      storage_ = std::make_unique<foundation::Dictionary>(other.dictionaryValue());
      break;
    default:
      std::visit(
          [this](const auto& held) {
            using T = std::decay_t<decltype(held)>;
            if constexpr (!std::is_same_v<T, std::unique_ptr<foundation::Array>> &&
                          !std::is_same_v<T, std::unique_ptr<foundation::Dictionary>>) {
              storage_ = held;
            }
          },
          other.storage_);
  }
  return *this;
}

Value::Type Value::type() const { return static_cast<Type>(storage_.index()); }

bool Value::isNumber() const {
  Type t = type();
  return t == Type::Bool || t == Type::Int || t == Type::UInt || t == Type::Double;
}

bool Value::boolValue() const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(storage_);
    case Type::Int: return std::get<std::int64_t>(storage_) != 0;
    case Type::UInt: return std::get<std::uint64_t>(storage_) != 0;
    case Type::Double: return std::get<double>(storage_) != 0.0;
    case Type::String: {
      // The platform's reading of text as a Boolean: leading "Y", "y", "T", "t" or a non-zero digit.
      const std::string& s = std::get<std::string>(storage_);
      std::size_t i = s.find_first_not_of(" \t\n\r");
      if (i == std::string::npos) return false;
      if (s[i] == '+' || s[i] == '-') ++i;
      while (i < s.size() && s[i] == '0') ++i;
      if (i >= s.size()) return false;
      char c = s[i];
      return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    default: return false;
  }
}

std::int64_t Value::intValue() const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(storage_) ? 1 : 0;
    case Type::Int: return std::get<std::int64_t>(storage_);
    case Type::UInt: return static_cast<std::int64_t>(std::get<std::uint64_t>(storage_));
    case Type::Double: {
      double d = std::get<double>(storage_);
      if (std::isnan(d)) return 0;
      if (d >= 9.2233720368547758e18) return std::numeric_limits<std::int64_t>::max();
      if (d <= -9.2233720368547758e18) return std::numeric_limits<std::int64_t>::min();
      return static_cast<std::int64_t>(d);
    }
    case Type::String: return std::strtoll(std::get<std::string>(storage_).c_str(), nullptr, 10);
    default: return 0;
  }
}

std::uint64_t Value::uintValue() const {
  switch (type()) {
    case Type::UInt: return std::get<std::uint64_t>(storage_);
    case Type::Double: {
      double d = std::get<double>(storage_);
      if (!(d > 0)) return 0;
      if (d >= 1.8446744073709552e19) return std::numeric_limits<std::uint64_t>::max();
      return static_cast<std::uint64_t>(d);
    }
    case Type::String: return std::strtoull(std::get<std::string>(storage_).c_str(), nullptr, 10);
    default: return static_cast<std::uint64_t>(intValue());
  }
}

double Value::doubleValue() const {
  switch (type()) {
    case Type::Bool: return std::get<bool>(storage_) ? 1.0 : 0.0;
    case Type::Int: return static_cast<double>(std::get<std::int64_t>(storage_));
    case Type::UInt: return static_cast<double>(std::get<std::uint64_t>(storage_));
    case Type::Double: return std::get<double>(storage_);
    case Type::String: return std::strtod(std::get<std::string>(storage_).c_str(), nullptr);
    case Type::Date: return std::get<foundation::Date>(storage_).timeIntervalSinceReferenceDate();
    default: return 0.0;
  }
}

const std::string& Value::stringValue() const {
  if (const auto* s = std::get_if<std::string>(&storage_)) return *s;
  return kEmptyString;
}

const Data& Value::dataValue() const {
  if (const auto* d = std::get_if<std::shared_ptr<const foundation::Data>>(&storage_)) return **d;
  return kEmptyData;
}

std::shared_ptr<const Data> Value::sharedData() const {
  if (const auto* d = std::get_if<std::shared_ptr<const foundation::Data>>(&storage_)) return *d;
  return nullptr;
}

Date Value::dateValue() const {
  if (const auto* d = std::get_if<foundation::Date>(&storage_)) return *d;
  return Date();
}

const Array& Value::arrayValue() const {
  if (const auto* a = std::get_if<std::unique_ptr<foundation::Array>>(&storage_)) return **a;
  return kEmptyArray;
}

const Dictionary& Value::dictionaryValue() const {
  if (const auto* d = std::get_if<std::unique_ptr<foundation::Dictionary>>(&storage_)) return **d;
  return kEmptyDictionary;
}

std::shared_ptr<Object> Value::objectValue() const {
  if (const auto* o = std::get_if<std::shared_ptr<Object>>(&storage_)) return *o;
  return nullptr;
}

Array& Value::mutableArray() {
  if (isNull()) storage_ = std::make_unique<foundation::Array>();
  return *std::get<std::unique_ptr<foundation::Array>>(storage_);
}

Dictionary& Value::mutableDictionary() {
  if (isNull()) storage_ = std::make_unique<foundation::Dictionary>();
  return *std::get<std::unique_ptr<foundation::Dictionary>>(storage_);
}

const Value& Value::operator[](const std::string& key) const { return dictionaryValue().get(key); }

const Value& Value::operator[](std::size_t index) const {
  const Array& a = arrayValue();
  return index < a.size() ? a[index] : nullValue();
}

std::string Value::description() const {
  std::string out;
  describe(out, 0);
  return out;
}

// Each level appends to the one buffer, so the work is linear in the text written however deep
// the nesting.
void Value::describe(std::string& out, int indent) const {
  switch (type()) {
    case Type::Null: out += "<null>"; return;
    case Type::Bool: out += std::get<bool>(storage_) ? "1" : "0"; return;
    case Type::Int: out += std::to_string(std::get<std::int64_t>(storage_)); return;
    case Type::UInt: out += std::to_string(std::get<std::uint64_t>(storage_)); return;
    case Type::Double: out += formatDouble(std::get<double>(storage_)); return;
    case Type::String: appendString(out, std::get<std::string>(storage_)); return;
    case Type::Data: appendData(out, dataValue()); return;
    case Type::Date: {
      // "2001-01-01 00:00:00 +0000"
      const std::string iso = std::get<foundation::Date>(storage_).iso8601();
      out.append(iso, 0, 10).append(" ").append(iso, 11, 8).append(" +0000");
      return;
    }
    case Type::Array: {
      const Array& a = arrayValue();
      out += "(\n";
      for (std::size_t i = 0; i < a.size(); ++i) {
        appendIndent(out, indent + 1);
        a[i].describe(out, indent + 1);
        out += i + 1 < a.size() ? ",\n" : "\n";
      }
      appendIndent(out, indent);
      out += ")";
      return;
    }
    case Type::Dictionary: {
      out += "{\n";
      for (const auto& [key, value] : dictionaryValue()) {
        appendIndent(out, indent + 1);
        appendString(out, key);
        out += " = ";
        value.describe(out, indent + 1);
        out += ";\n";
      }
      appendIndent(out, indent);
      out += "}";
      return;
    }
    case Type::Object: out += std::get<std::shared_ptr<Object>>(storage_)->description(); return;
  }
}

bool Value::operator==(const Value& other) const {
  if (isNumber() && other.isNumber()) {
    if (isDouble() || other.isDouble()) return doubleValue() == other.doubleValue();
    if (type() == Type::UInt || other.type() == Type::UInt) {
      if ((type() == Type::Int && intValue() < 0) || (other.type() == Type::Int && other.intValue() < 0))
        return false;
      return uintValue() == other.uintValue();
    }
    return intValue() == other.intValue();
  }
  if (type() != other.type()) return false;
  switch (type()) {
    case Type::Null: return true;
    case Type::String: return stringValue() == other.stringValue();
    case Type::Data: return &dataValue() == &other.dataValue() || dataValue() == other.dataValue();
    case Type::Date: return dateValue() == other.dateValue();
    case Type::Array: return arrayValue() == other.arrayValue();
    case Type::Dictionary: return dictionaryValue() == other.dictionaryValue();
    case Type::Object: return objectValue()->isEqual(*other.objectValue());
    default: return false;
  }
}

const Value& nullValue() {
  static const Value null;
  return null;
}

}  // namespace foundation
