#pragma once
// Shorthand methods: an opt-in facility that lets callers name the layer's operations without
// their "DS_" prefix, so that "findAll" sent to the managed-object class runs DS_findAll.
//
// How it maps: the platform does this with run-time method resolution, which C++ lacks. Instead the
// layer keeps its own dispatch by name: a method table per platform class ("NSManagedObject",
// "NSManagedObjectContext", "NSManagedObjectModel", "NSPersistentStore",
// "NSPersistentStoreCoordinator"), filled with the layer's DS_ operations, and sendClassMessage /
// sendInstanceMessage to call an entry by name with type-erased arguments (std::any). A name the
// table lacks goes to the class's own resolver first (setClassResolver / setInstanceResolver, the
// platform's resolveClassMethod: and resolveInstanceMethod:), then, once enableShorthandMethods
// has installed the layer's resolver on the class, to DS_resolveClassMethod /
// DS_resolveInstanceMethod, which copy the "DS_" entry under the short name. A name nobody
// resolves fails with DSUnrecognizedSelector, as an unknown message does on the platform.
//
// Arguments: an entity operation takes the entity name (std::string) first; an instance message
// takes its receiver first. A trailing context (DSContextPtr) is optional where the operation has
// a form without one. Results come back in a std::any (empty for none); a wrong argument type
// throws std::bad_any_cast.
//
// Threads: the tables are guarded by a lock, so messages may be sent from any thread; the
// operations themselves keep their own threading rules. Enabling is meant for start-up and lasts
// for the rest of the process.
#include <any>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using DSArguments = std::vector<std::any>;
using DSOperation = std::function<std::any(const DSArguments& arguments)>;
// A class's own resolver: an implementation for the name, or nothing.
using DSResolver = std::function<std::optional<DSOperation>(const std::string& selector)>;

// A message that no method and no resolver of the class answers.
class DSUnrecognizedSelector : public std::runtime_error {
 public:
  DSUnrecognizedSelector(const std::string& className, const std::string& selector, bool classMessage);
};

// The ShorthandMethods category of DataStack.
struct DataStackShorthand {
  // Installs the layer's resolvers on every class of classesToSwizzle; only the first call does anything.
  static void enableShorthandMethods();
  static bool isShorthandEnabled();
  // The five platform classes, in order.
  static std::vector<std::string> classesToSwizzle();
  // {"entityName"}; the resolvers test that suffix directly.
  static std::vector<std::string> methodNameBlacklist();
  // Puts the layer's class and instance resolvers behind the class's own ones (once per class).
  static void updateResolveMethodsForClass(const std::string& className);
  // The layer's resolvers: after the class's own resolver declines, add "DS_" + selector under
  // `selector` when the class has it. Class methods: never for names starting "DS_" or ending in
  // "entityName". Instance methods: never for names starting "DS_", "_" or "init" (private and
  // initialiser names stay unresolved).
  static bool DS_resolveClassMethod(const std::string& className, const std::string& selector);
  static bool DS_resolveInstanceMethod(const std::string& className, const std::string& selector);

  // --- The dispatch by name -------------------------------------------------------------------
  // Adds (or replaces) a method of the class.
  static void addClassMethod(const std::string& className, const std::string& selector, DSOperation operation);
  static void addInstanceMethod(const std::string& className, const std::string& selector, DSOperation operation);
  // Sets the class's own resolver (null removes it).
  static void setClassResolver(const std::string& className, DSResolver resolver);
  static void setInstanceResolver(const std::string& className, DSResolver resolver);
  // Whether the message would be answered (resolving it when needed).
  static bool respondsToClassSelector(const std::string& className, const std::string& selector);
  static bool respondsToInstanceSelector(const std::string& className, const std::string& selector);
  // Calls the method, resolving it first when needed; throws DSUnrecognizedSelector when none.
  static std::any sendClassMessage(const std::string& className, const std::string& selector,
                                   const DSArguments& arguments = {});
  static std::any sendInstanceMessage(const std::string& className, const std::string& selector,
                                      const DSArguments& arguments);
};
