#include "platform/foundation/KeyedArchiver.h"

#include <unicode/utf8.h>

#include <climits>
#include <exception>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/foundation/KeyedArchiveFormat.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Set.h"

namespace foundation {

using namespace keyed_archive;

namespace {

// Short strings repeat (keys, types, names) and are stored once; long ones are not shared, so
// that a reader never multiplies a long string through many references to it.
constexpr std::size_t kSharedStringLimit = 64;

// Whether a property list can hold `text` as a string: valid UTF-8 without NUL characters.
bool isPlainString(const std::string& text) {
  if (text.size() > static_cast<std::size_t>(INT32_MAX)) return false;
  const auto length = static_cast<int32_t>(text.size());
  int32_t i = 0;
  while (i < length) {
    UChar32 c;
    U8_NEXT(text.data(), i, length, c);
    if (c <= 0) return false;
  }
  return true;
}

Error invalidValue(const std::string& reason) {
  return Error(kCocoaErrorDomain, kCoderInvalidValueError,
               Dictionary{{kLocalizedDescriptionKey, Value("The data couldn\u2019t be written because it isn\u2019t in the correct format.")},
                          {kDebugDescriptionErrorKey, Value(reason)}});
}

}  // namespace

struct KeyedArchiver::State {
  struct Frame {
    Dictionary record;
    std::size_t unkeyedCount = 0;
  };

  Array table{Value(std::string(kNullMarker))};
  std::unordered_map<std::string, std::uint64_t> classes;
  std::unordered_map<std::string, std::uint64_t> strings;
  std::unordered_map<const Object*, std::uint64_t> objects;
  std::unordered_set<const Object*> inProgress;
  std::vector<Frame> frames;
  int depth = 0;
  std::optional<Error> error;

  void fail(const std::string& reason) {
    if (!error) error = invalidValue(reason);
  }

  std::uint64_t append(Value entry) {
    table.push_back(std::move(entry));
    return table.size() - 1;
  }
  std::uint64_t reserve() { return append(Value()); }

  std::uint64_t classReference(const std::string& name) {
    if (const auto found = classes.find(name); found != classes.end()) return found->second;
    const std::uint64_t index = append(Value(Dictionary{{std::string(kClassNameKey), Value(name)}}));
    classes.emplace(name, index);
    return index;
  }

  Dictionary record(const std::string& className) {
    return Dictionary{{std::string(kClassKey), uid(classReference(className))}};
  }

  std::uint64_t string(const std::string& text) {
    if (!isPlainString(text)) {
      Dictionary bytes = record(std::string(ArchiveClass::String));
      bytes.set(std::string(kBytesField), Value(Data(text.begin(), text.end())));
      return append(Value(std::move(bytes)));
    }
    if (text.size() > kSharedStringLimit) return append(Value(text));
    if (const auto found = strings.find(text); found != strings.end()) return found->second;
    const std::uint64_t index = append(Value(text));
    strings.emplace(text, index);
    return index;
  }

  std::uint64_t unsignedInteger(std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return append(Value(static_cast<long long>(value)));
    }
    Dictionary number = record(std::string(ArchiveClass::Number));
    number.set(std::string(kUnsignedField), Value(static_cast<long long>(value)));  // the same 64 bits
    return append(Value(std::move(number)));
  }

  Value references(const Array& elements, KeyedArchiver& archiver) {
    Array out;
    out.reserve(elements.size());
    for (const Value& element : elements) out.push_back(uid(reference(element, archiver)));
    return Value(std::move(out));
  }

  std::uint64_t container(const Value& value, KeyedArchiver& archiver) {
    if (value.isArray()) {
      Dictionary array = record(std::string(ArchiveClass::Array));
      array.set(std::string(kObjectsField), references(value.arrayValue(), archiver));
      return append(Value(std::move(array)));
    }
    Array keys, values;
    for (const auto& [key, element] : value.dictionaryValue()) {
      keys.push_back(uid(string(key)));
      values.push_back(uid(reference(element, archiver)));
    }
    Dictionary dictionary = record(std::string(ArchiveClass::Dictionary));
    dictionary.set(std::string(kKeysField), Value(std::move(keys)));
    dictionary.set(std::string(kObjectsField), Value(std::move(values)));
    return append(Value(std::move(dictionary)));
  }

  std::uint64_t object(const std::shared_ptr<Object>& object, KeyedArchiver& archiver) {
    if (const auto found = objects.find(object.get()); found != objects.end()) {
      if (inProgress.count(object.get())) fail("An object contains itself; such a graph is not archived.");
      return found->second;
    }
    const auto* set = dynamic_cast<const Set*>(object.get());
    const auto* coding = dynamic_cast<const Coding*>(object.get());
    std::optional<std::string> className;
    if (coding) className = CodingRegistry::classNameOf(*coding);
    if (!set && !className) {
      const Object& held = *object;  // typeid of a plain reference evaluates nothing
      fail("An object of an unregistered class (" + std::string(typeid(held).name()) + ") cannot be archived.");
      return 0;
    }
    const std::uint64_t index = reserve();
    objects.emplace(object.get(), index);
    inProgress.insert(object.get());
    Dictionary entry;
    if (set) {
      entry = record(std::string(ArchiveClass::Set));
      entry.set(std::string(kObjectsField), references(set->allObjects(), archiver));
    } else {
      frames.push_back(Frame{record(*className)});
      try {
        coding->encodeWithCoder(archiver);
      } catch (const std::exception& exception) {
        fail(std::string("Encoding an object raised: ") + exception.what());
      }
      entry = std::move(frames.back().record);
      frames.pop_back();
    }
    inProgress.erase(object.get());
    table[index] = Value(std::move(entry));
    return index;
  }

  std::uint64_t reference(const Value& value, KeyedArchiver& archiver) {
    if (error) return 0;
    if (depth >= kMaximumDepth) {
      fail("Objects are nested too deeply to be archived.");
      return 0;
    }
    ++depth;
    const std::uint64_t index = referenceAtDepth(value, archiver);
    --depth;
    return index;
  }

  std::uint64_t referenceAtDepth(const Value& value, KeyedArchiver& archiver) {
    switch (value.type()) {
      case Value::Type::Null: return 0;
      case Value::Type::Bool: return append(Value(value.boolValue()));
      case Value::Type::Int: return append(Value(static_cast<long long>(value.intValue())));
      case Value::Type::UInt: return unsignedInteger(value.uintValue());
      case Value::Type::Double: return append(Value(value.doubleValue()));
      case Value::Type::String: return string(value.stringValue());
      case Value::Type::Data: return append(value);
      case Value::Type::Date: {
        Dictionary date = record(std::string(ArchiveClass::Date));
        date.set(std::string(kTimeField), Value(value.dateValue().timeIntervalSinceReferenceDate()));
        return append(Value(std::move(date)));
      }
      case Value::Type::Array:
      case Value::Type::Dictionary: return container(value, archiver);
      case Value::Type::Object: return object(value.objectValue(), archiver);
    }
    return 0;
  }

  void setField(const std::string& storedKey, Value field) {
    if (frames.empty()) {
      fail("A value was encoded outside of an object's encodeWithCoder.");
      return;
    }
    frames.back().record.set(storedKey, std::move(field));
  }
};

KeyedArchiver::KeyedArchiver() : state_(std::make_unique<State>()) {}
KeyedArchiver::~KeyedArchiver() = default;

void KeyedArchiver::encodeObject(const Value& object, const std::string& key) {
  const std::uint64_t index = state_->reference(object, *this);
  state_->setField(escapedKey(key), uid(index));
}

void KeyedArchiver::encodeObject(const Value& object) {
  if (state_->frames.empty()) return state_->fail("A value was encoded outside of an object's encodeWithCoder.");
  const std::size_t position = state_->frames.back().unkeyedCount++;
  const std::uint64_t index = state_->reference(object, *this);
  state_->setField(unkeyedKey(position), uid(index));
}

void KeyedArchiver::encodeBool(bool value, const std::string& key) { state_->setField(escapedKey(key), Value(value)); }

void KeyedArchiver::encodeInt64(std::int64_t value, const std::string& key) {
  state_->setField(escapedKey(key), Value(static_cast<long long>(value)));
}

void KeyedArchiver::encodeDouble(double value, const std::string& key) { state_->setField(escapedKey(key), Value(value)); }

std::optional<Data> KeyedArchiver::archivedDataWithRootObject(const Value& rootObject, Error* error) {
  KeyedArchiver archiver;
  State& state = *archiver.state_;
  const std::uint64_t root = state.reference(rootObject, archiver);
  if (state.error) {
    if (error) *error = *state.error;
    return std::nullopt;
  }
  const Value archive(Dictionary{
      {std::string(kArchiverKey), Value(std::string(kArchiverName))},
      {std::string(kVersionKey), Value(static_cast<long long>(kVersion))},
      {std::string(kTopKey), Value(Dictionary{{std::string(kRootKey), uid(root)}})},
      {std::string(kObjectsKey), Value(std::move(state.table))},
  });
  Error writeError;
  auto data = PropertyListSerialization::dataWithPropertyList(archive, PropertyListFormat::Binary, 0, &writeError);
  if (!data) {
    if (error) *error = invalidValue(writeError.userInfo().get(kDebugDescriptionErrorKey).stringValue());
    return std::nullopt;
  }
  return data;
}

}  // namespace foundation
