#include "platform/foundation/KeyedUnarchiver.h"

#include <climits>
#include <cmath>
#include <exception>
#include <unordered_map>
#include <unordered_set>

#include "platform/foundation/KeyedArchiveFormat.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Set.h"
#include "platform/foundation/detail/ExpansionBudget.h"

namespace foundation {

using namespace keyed_archive;

namespace {

Error corrupt(const std::string& reason) {
  return Error(kCocoaErrorDomain, kCoderReadCorruptError,
               Dictionary{{kLocalizedDescriptionKey, Value("The data couldn\u2019t be read because it isn\u2019t in the correct format.")},
                          {kDebugDescriptionErrorKey, Value(reason)}});
}

// The table index a reference holds, or nothing when `value` is not a reference.
std::optional<std::uint64_t> referenceIndex(const Value& value) {
  if (!value.isDictionary() || value.dictionaryValue().size() != 1) return std::nullopt;
  const Value* index = value.dictionaryValue().find(std::string(kUIDKey));
  if (!index || !index->isInteger()) return std::nullopt;
  if (index->type() == Value::Type::Int && index->intValue() < 0) return std::nullopt;
  return index->uintValue();
}

bool isPrimitiveNumber(const Value& value) { return value.isBool() || value.isInteger() || value.isDouble(); }

}  // namespace

struct KeyedUnarchiver::State {
  struct Frame {
    const Dictionary* record;
    std::size_t unkeyedCount = 0;
  };

  KeyedUnarchiver* owner = nullptr;  // handed to factories
  Value archive;                     // the parsed property list; the table below points into it
  const Array* table = nullptr;
  bool secure = false;
  std::vector<std::string> topClasses;
  ClassList topClassViews;
  std::unordered_map<std::uint64_t, Value> shared;  // objects and sets already rebuilt
  std::unordered_set<std::uint64_t> inProgress;
  std::vector<Frame> frames;
  int depth = 0;
  // References let a small archive name one big string, or one long array, many times.
  detail::ExpansionBudget budget{0};
  std::optional<Error> error;

  void fail(const std::string& reason) {
    if (!error) error = corrupt(reason);
  }

  Value refuse(const std::string& reason) {
    fail(reason);
    return Value();
  }

  // Every value decoded is charged, nil and shared ones too, and so are the bytes of strings
  // and data: what the result may cost is bounded whatever the references repeat.
  bool spendValue() { return budget.spendValues(1) || tooLarge(); }
  bool spendBytes(std::size_t amount) { return budget.spendBytes(amount) || tooLarge(); }
  bool tooLarge() {
    fail("The archive expands to far more than its own size.");
    return false;
  }

  const Value* entry(std::uint64_t index) {
    if (index >= table->size()) {
      fail("A reference points outside the object table.");
      return nullptr;
    }
    return &(*table)[static_cast<std::size_t>(index)];
  }

  // The class name of the entry at `index` (a built-in kind or a registered class's name).
  std::optional<std::string_view> classOf(const Value& entry) {
    if (entry.isString()) return ArchiveClass::String;
    if (entry.isData()) return ArchiveClass::Data;
    if (isPrimitiveNumber(entry)) return ArchiveClass::Number;
    if (entry.isDictionary()) {
      const auto classIndex = referenceIndex(entry.dictionaryValue().get(std::string(kClassKey)));
      if (!classIndex) {
        fail("An object record has no class.");
        return std::nullopt;
      }
      const Value* classEntry = this->entry(*classIndex);
      if (!classEntry) return std::nullopt;
      const Value& name = (*classEntry)[std::string(kClassNameKey)];
      if (!name.isString() || name.stringValue().empty()) {
        fail("A class record has no name.");
        return std::nullopt;
      }
      return std::string_view(name.stringValue());
    }
    fail("The object table holds an entry of an unexpected kind.");
    return std::nullopt;
  }

  static bool matchesAny(std::string_view name, const ClassList& classes) {
    for (std::string_view wanted : classes) {
      if (CodingRegistry::isKindOf(name, wanted)) return true;
    }
    return false;
  }

  // `classes`: what the caller asked for (null: anything). `keyed`: the kind of the value itself
  // must match; otherwise only objects of registered classes are checked, and only when secure.
  Value decode(std::uint64_t index, const ClassList* classes, bool keyed) {
    if (error || !spendValue() || index == 0) return Value();
    if (depth >= kMaximumDepth) {
      fail("Objects are nested too deeply.");
      return Value();
    }
    ++depth;
    Value value = decodeAtDepth(index, classes, keyed);
    --depth;
    return error ? Value() : value;
  }

  Value decodeAtDepth(std::uint64_t index, const ClassList* classes, bool keyed) {
    const Value* found = entry(index);
    if (!found) return Value();
    const Value& entry = *found;
    const auto className = classOf(entry);
    if (!className) return Value();
    if (keyed && classes && !classes->empty() && !matchesAny(*className, *classes)) {
      fail("A value of class " + std::string(*className) + " was found where another class was asked for.");
      return Value();
    }
    if (!ArchiveClass::isBuiltIn(*className)) return object(index, entry, *className, classes);
    if (!entry.isDictionary()) {
      if (entry.isString() && !spendBytes(entry.stringValue().size())) return Value();
      if (entry.isData() && !spendBytes(entry.dataValue().size())) return Value();
      return entry;
    }
    return builtInRecord(index, entry.dictionaryValue(), *className, classes);
  }

  Value builtInRecord(std::uint64_t index, const Dictionary& record, std::string_view className,
                      const ClassList* classes) {
    if (className == ArchiveClass::String) {
      const Value& bytes = record.get(std::string(kBytesField));
      if (!bytes.isData()) return refuse("A string record has no bytes.");
      if (!spendBytes(bytes.dataValue().size())) return Value();
      return Value(std::string(bytes.dataValue().begin(), bytes.dataValue().end()));
    }
    if (className == ArchiveClass::Number) {
      const Value& bits = record.get(std::string(kUnsignedField));
      if (bits.type() != Value::Type::Int) return refuse("A number record has no value.");
      return Value(static_cast<unsigned long long>(bits.intValue()));
    }
    if (className == ArchiveClass::Date) {
      const Value& time = record.get(std::string(kTimeField));
      if (!time.isDouble() && !time.isInteger()) return refuse("A date record has no time.");
      return Value(Date::fromTimeIntervalSinceReferenceDate(time.doubleValue()));
    }
    if (className == ArchiveClass::Data) return refuse("A data record is not expected.");
    if (className == ArchiveClass::Set) {
      if (const auto known = shared.find(index); known != shared.end()) return known->second;
      Array elements = elementsOf(record, kObjectsField, classes);
      if (error) return Value();
      Value set = setValue(elements);
      shared.emplace(index, set);
      return set;
    }
    if (className == ArchiveClass::Array) return Value(elementsOf(record, kObjectsField, classes));
    return dictionary(record, classes);
  }

  Array elementsOf(const Dictionary& record, std::string_view field, const ClassList* classes) {
    const Value& references = record.get(std::string(field));
    if (!references.isArray()) {
      fail("A container record has no elements.");
      return {};
    }
    Array elements;
    elements.reserve(references.arrayValue().size());
    for (const Value& reference : references.arrayValue()) {
      const auto index = referenceIndex(reference);
      if (!index) {
        fail("A container element is not a reference.");
        return {};
      }
      elements.push_back(decode(*index, classes, false));
      if (error) return {};
    }
    return elements;
  }

  Value dictionary(const Dictionary& record, const ClassList* classes) {
    const Array keys = elementsOf(record, kKeysField, nullptr);
    if (error) return Value();
    Array values = elementsOf(record, kObjectsField, classes);
    if (error) return Value();
    if (keys.size() != values.size()) return refuse("A dictionary record has unequal keys and values.");
    Dictionary out;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (!keys[i].isString()) return refuse("A dictionary key is not a string.");
      out.set(keys[i].stringValue(), std::move(values[i]));
    }
    return Value(std::move(out));
  }

  Value object(std::uint64_t index, const Value& entry, std::string_view className, const ClassList* classes);

  // The stored field of the record being rebuilt, or null (also outside any record and after a
  // failure).
  const Value* field(const std::string& storedKey) const {
    if (error || frames.empty()) return nullptr;
    return frames.back().record->find(storedKey);
  }

  // The object stored under `storedKey`: with no classes, any class (in a secure decode, the
  // classes the top-level call asked for, built-in kinds always allowed); else one of them.
  Value decodeField(const std::string& storedKey, const ClassList& classes) {
    const Value* stored = field(storedKey);
    if (!stored) return Value();
    const bool anyClass = classes.empty();
    if (const auto index = referenceIndex(*stored)) {
      if (anyClass) return decode(*index, secure ? &topClassViews : nullptr, false);
      return decode(*index, &classes, true);
    }
    // Numbers written with encodeBool, encodeInt64 or encodeDouble read as number objects.
    if (isPrimitiveNumber(*stored) && (anyClass || matchesAny(ArchiveClass::Number, classes))) {
      return spendValue() ? *stored : Value();
    }
    fail("A field does not hold an object of the class asked for.");
    return Value();
  }

  // The number stored under `storedKey`, inline or as a number object; nothing when absent or
  // nil. Anything else fails the decode.
  std::optional<Value> number(const std::string& storedKey) {
    const Value* stored = field(storedKey);
    if (!stored) return std::nullopt;
    if (isPrimitiveNumber(*stored)) return spendValue() ? std::optional<Value>(*stored) : std::nullopt;
    if (const auto index = referenceIndex(*stored)) {
      if (*index == 0) return std::nullopt;
      Value value = decode(*index, nullptr, false);
      if (error) return std::nullopt;
      if (value.isNumber()) return value;
    }
    fail("A field read as a number does not hold one.");
    return std::nullopt;
  }
};

Value KeyedUnarchiver::State::object(std::uint64_t index, const Value& entry, std::string_view className,
                                     const ClassList* classes) {
  const auto registration = CodingRegistry::registrationFor(className);
  if (!registration) {
    fail("The class " + std::string(className) + " is not known here.");
    return Value();
  }
  if (secure) {
    const ClassList& allowed = classes ? *classes : topClassViews;
    if (!registration->supportsSecureCoding) {
      fail("The class " + std::string(className) + " does not support secure coding.");
      return Value();
    }
    if (!matchesAny(className, allowed)) {
      fail("An object of class " + std::string(className) + " was found where it was not asked for.");
      return Value();
    }
  }
  if (const auto known = shared.find(index); known != shared.end()) return known->second;
  if (!inProgress.insert(index).second) {
    fail("An object refers to itself while it is being decoded.");
    return Value();
  }
  frames.push_back(Frame{&entry.dictionaryValue()});
  std::shared_ptr<Coding> made;
  try {
    made = registration->factory(*owner);
  } catch (const std::exception& exception) {
    fail(std::string("Decoding an object of class ") + std::string(className) + " raised: " + exception.what());
  } catch (...) {
    fail("Decoding an object of class " + std::string(className) + " raised.");
  }
  frames.pop_back();
  inProgress.erase(index);
  if (error) return Value();
  Value value = made ? Value(std::shared_ptr<Object>(std::move(made))) : Value();
  shared.emplace(index, value);
  return value;
}

KeyedUnarchiver::KeyedUnarchiver() : state_(std::make_unique<State>()) { state_->owner = this; }
KeyedUnarchiver::~KeyedUnarchiver() = default;

Error KeyedUnarchiver::unregisteredRequest() {
  return corrupt("A class that is not registered for archiving was asked for.");
}

std::optional<Value> KeyedUnarchiver::unarchive(const Data& data, const ClassList* classes, Error* error) {
  KeyedUnarchiver unarchiver;
  State& state = *unarchiver.state_;
  state.budget = detail::ExpansionBudget(data.size());
  auto answer = [&](std::optional<Value> value) -> std::optional<Value> {
    if (state.error) {
      if (error) *error = *state.error;
      return std::nullopt;
    }
    return value;
  };
  Error readError;
  auto archive = PropertyListSerialization::propertyListWithData(data, 0, nullptr, &readError);
  if (!archive) {
    state.fail("Not a keyed archive: " + readError.userInfo().get(kDebugDescriptionErrorKey).stringValue());
    return answer(std::nullopt);
  }
  state.archive = std::move(*archive);
  const Value& top = state.archive[std::string(kTopKey)][std::string(kRootKey)];
  const Value& objects = state.archive[std::string(kObjectsKey)];
  const auto root = referenceIndex(top);
  if (state.archive[std::string(kArchiverKey)].stringValue() != kArchiverName ||
      state.archive[std::string(kVersionKey)] != Value(static_cast<long long>(kVersion)) || !objects.isArray() || !root) {
    state.fail("Not a keyed archive of this program.");
    return answer(std::nullopt);
  }
  state.table = &objects.arrayValue();
  if (classes) {
    state.secure = true;
    for (std::string_view name : *classes) state.topClasses.emplace_back(name);
    for (const std::string& name : state.topClasses) state.topClassViews.push_back(name);
  }
  Value value = state.decode(*root, classes ? &state.topClassViews : nullptr, classes != nullptr);
  return answer(std::move(value));
}

std::optional<Value> KeyedUnarchiver::unarchiveObjectWithData(const Data& data, Error* error) {
  return unarchive(data, nullptr, error);
}

std::optional<Value> KeyedUnarchiver::unarchivedObjectOfClasses(const ClassList& classes, const Data& data,
                                                                Error* error) {
  return unarchive(data, &classes, error);
}

bool KeyedUnarchiver::containsValueForKey(const std::string& key) const {
  return state_->field(escapedKey(key)) != nullptr;
}

Value KeyedUnarchiver::decodeObjectOfClasses(const ClassList& classes, const std::string& key) {
  return state_->decodeField(escapedKey(key), classes);
}

Value KeyedUnarchiver::decodeObjectForKey(const std::string& key) { return decodeObjectOfClasses({}, key); }

Value KeyedUnarchiver::decodeObjectOfClass(std::string_view className, const std::string& key) {
  return decodeObjectOfClasses({className}, key);
}

std::optional<std::string> KeyedUnarchiver::decodeStringForKey(const std::string& key) {
  const Value value = decodeObjectOfClass(ArchiveClass::String, key);
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

Value KeyedUnarchiver::decodeObject() {
  State& state = *state_;
  if (state.error || state.frames.empty()) return Value();
  return state.decodeField(unkeyedKey(state.frames.back().unkeyedCount++), {});
}

Value KeyedUnarchiver::decodeObjectOfClasses(const ClassList& classes) {
  State& state = *state_;
  if (state.error || state.frames.empty()) return Value();
  return state.decodeField(unkeyedKey(state.frames.back().unkeyedCount++), classes);
}

bool KeyedUnarchiver::decodeBoolForKey(const std::string& key) {
  const auto number = state_->number(escapedKey(key));
  return number && number->boolValue();
}

std::int64_t KeyedUnarchiver::decodeInt64ForKey(const std::string& key) {
  const auto number = state_->number(escapedKey(key));
  if (!number) return 0;
  if (number->isDouble()) {
    const double d = number->doubleValue();
    // Doubles within [-2^63, 2^63) convert, truncated toward zero; others have no 64-bit form.
    if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) {
      state_->fail("The number under \"" + key + "\" does not fit in 64 bits.");
      return 0;
    }
    return static_cast<std::int64_t>(d);
  }
  if (number->type() == Value::Type::UInt && number->uintValue() > static_cast<std::uint64_t>(INT64_MAX)) {
    state_->fail("The number under \"" + key + "\" does not fit in 64 bits.");
    return 0;
  }
  return number->intValue();
}

double KeyedUnarchiver::decodeDoubleForKey(const std::string& key) {
  const auto number = state_->number(escapedKey(key));
  return number ? number->doubleValue() : 0.0;
}

bool KeyedUnarchiver::requiresSecureCoding() const { return state_->secure; }

void KeyedUnarchiver::failWithError(const Error& error) {
  if (!state_->error) state_->error = error;
}

std::optional<Error> KeyedUnarchiver::error() const { return state_->error; }

}  // namespace foundation
