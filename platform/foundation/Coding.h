#pragma once
// Coding is the protocol of objects that the keyed archiver writes and the keyed unarchiver
// reads back (the platform's keyed coding); CodingRegistry maps the class names written into
// archives to the factories that rebuild the objects. Each subsystem registers its own classes
// once, before it unarchives anything; a class that is not registered is neither written nor
// read.
//
// A registered class names its superclass (by its registered name) so that a decode asking for
// a class also accepts its subclasses, and says whether it supports secure coding: a secure
// decode rebuilds only such classes, and only where the caller asked for that class.
//
// Registration belongs in an explicit set-up function of the subsystem: a static registrar
// object in a static library is dropped by the linker when nothing else refers to its file.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <typeindex>
#include <vector>

#include "platform/foundation/Value.h"

namespace foundation {

class KeyedArchiver;
class KeyedUnarchiver;

// An object that can be archived. Subclasses implement encodeWithCoder and a constructor (or
// factory) taking the unarchiver, which reads back what encodeWithCoder wrote.
class Coding : public Object {
 public:
  // Writes the object's state into `coder` under its keys; a subclass first calls its base.
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

// Names of the built-in kinds in archives, for decodeObjectOfClass. Booleans, integers and
// doubles are all of the number class; nil has no class (it decodes as null whatever is asked).
struct ArchiveClass {
  static constexpr std::string_view String = "NSString";
  static constexpr std::string_view Number = "NSNumber";
  static constexpr std::string_view Data = "NSData";
  static constexpr std::string_view Date = "NSDate";
  static constexpr std::string_view Array = "NSArray";
  static constexpr std::string_view Set = "NSSet";
  static constexpr std::string_view Dictionary = "NSDictionary";

  // Whether `name` is one of the built-in kinds above.
  static bool isBuiltIn(std::string_view name);
};

class CodingRegistry {
 public:
  // Rebuilds one object from the unarchiver positioned on its record. Returns the object, or
  // null for "no object" (the decoded value is then null, as when an initialiser gives nil). It
  // may call coder.failWithError to fail the whole unarchiving.
  using Factory = std::function<std::shared_ptr<Coding>(KeyedUnarchiver& coder)>;

  struct Registration {
    std::string name;
    std::string superclassName;  // empty for a root class
    bool supportsSecureCoding = false;
    Factory factory;
  };

  // Registers the C++ class `type` under `registration.name`. Registering the same class under
  // the same name again replaces its details and answers true; answers false, changing nothing,
  // when the name or the class is already taken by another pairing, or the name is empty or a
  // built-in kind. Thread-safe.
  static bool registerClass(std::type_index type, Registration registration);

  // Registers T, rebuilt through its constructor T(KeyedUnarchiver&).
  template <class T>
  static bool registerClass(std::string name, std::string superclassName = {}, bool supportsSecureCoding = false) {
    static_assert(std::is_base_of_v<Coding, T>, "archived classes derive from Coding");
    return registerClass(std::type_index(typeid(T)),
                         Registration{std::move(name), std::move(superclassName), supportsSecureCoding,
                                      [](KeyedUnarchiver& coder) -> std::shared_ptr<Coding> {
                                        return std::make_shared<T>(coder);
                                      }});
  }

  // The registered name of the object's own class (its dynamic type), or nothing. Thread-safe.
  static std::optional<std::string> classNameOf(const Coding& object);
  // The registered name of T, or nothing. Thread-safe.
  template <class T>
  static std::optional<std::string> classNameOf() {
    return classNameOf(std::type_index(typeid(T)));
  }
  static std::optional<std::string> classNameOf(std::type_index type);

  // A copy of the registration under `name`, or nothing. Thread-safe.
  static std::optional<Registration> registrationFor(std::string_view name);
  // Whether `name` is `ancestor` or a registered subclass of it (built-in kinds only match
  // themselves). A superclass chain longer than 64 or with a loop counts as no match.
  static bool isKindOf(std::string_view name, std::string_view ancestor);

  // Forgets the class `name` (for tests that register throw-away classes). Thread-safe.
  static void unregisterClass(std::string_view name);
};

}  // namespace foundation
