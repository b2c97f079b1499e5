#include "coredata/ShorthandMethods.h"

#include <atomic>
#include <map>
#include <mutex>

#include "coredata/DataImport.h"
#include "coredata/ObjectCategories.h"

using foundation::Value;

namespace {

struct ClassTable {
  std::map<std::string, DSOperation> classMethods;
  std::map<std::string, DSOperation> instanceMethods;
  DSResolver ownClassResolver;
  DSResolver ownInstanceResolver;
  bool layerResolvers = false;
};

std::mutex gMutex;
std::map<std::string, ClassTable> gTables;
std::atomic<bool> gEnabled{false};

const std::string& text(const DSArguments& arguments, std::size_t index) {
  return std::any_cast<const std::string&>(arguments.at(index));
}

// The trailing context of operations that have a form without one.
DSInContext contextAt(const DSArguments& arguments, std::size_t index) {
  if (arguments.size() <= index) return {};
  return DSInContext(std::any_cast<DSContextPtr>(arguments[index]));
}

DSContextPtr receiver(const DSArguments& arguments) { return std::any_cast<DSContextPtr>(arguments.at(0)); }

void fillObjectMethods(std::map<std::string, DSOperation>& methods) {
  methods["DS_findAll"] = [](const DSArguments& a) -> std::any {
    return DSManagedObject::DS_findAll(text(a, 0), contextAt(a, 1));
  };
  methods["DS_findFirst"] = [](const DSArguments& a) -> std::any {
    return DSManagedObject::DS_findFirst(text(a, 0), contextAt(a, 1));
  };
  methods["DS_findByAttribute"] = [](const DSArguments& a) -> std::any {
    return DSManagedObject::DS_findByAttribute(text(a, 0), text(a, 1), std::any_cast<Value>(a.at(2)), contextAt(a, 3));
  };
  methods["DS_findFirstByAttribute"] = [](const DSArguments& a) -> std::any {
    return DSManagedObject::DS_findFirstByAttribute(text(a, 0), text(a, 1), std::any_cast<Value>(a.at(2)),
                                                    contextAt(a, 3));
  };
  methods["DS_countOfEntities"] = [](const DSArguments& a) -> std::any {
    return DSManagedObject::DS_countOfEntities(text(a, 0), contextAt(a, 1));
  };
  methods["DS_createEntity"] = [](const DSArguments& a) -> std::any {
    return DSManagedObject::DS_createEntity(text(a, 0), contextAt(a, 1));
  };
  methods["DS_truncateAll"] = [](const DSArguments& a) -> std::any {
    return DSManagedObject::DS_truncateAll(text(a, 0), contextAt(a, 1));
  };
  methods["DS_importFromObject"] = [](const DSArguments& a) -> std::any {
    return DSManagedObjectImport::DS_importFromObject(text(a, 0), std::any_cast<Value>(a.at(1)), contextAt(a, 2));
  };
  methods["DS_importFromArray"] = [](const DSArguments& a) -> std::any {
    return DSManagedObjectImport::DS_importFromArray(text(a, 0), std::any_cast<foundation::Array>(a.at(1)),
                                                     contextAt(a, 2));
  };
}

void fillContextMethods(ClassTable& table) {
  table.classMethods["DS_defaultContext"] = [](const DSArguments&) -> std::any {
    return DSManagedObjectContext::DS_defaultContext();
  };
  table.classMethods["DS_rootSavingContext"] = [](const DSArguments&) -> std::any {
    return DSManagedObjectContext::DS_rootSavingContext();
  };
  table.classMethods["DS_contextForCurrentThread"] = [](const DSArguments&) -> std::any {
    return DSManagedObjectContext::DS_contextForCurrentThread();
  };
  table.classMethods["DS_context"] = [](const DSArguments&) -> std::any { return DSManagedObjectContext::DS_context(); };
  table.instanceMethods["DS_workingName"] = [](const DSArguments& a) -> std::any {
    return DSManagedObjectContext::DS_workingName(receiver(a));
  };
  table.instanceMethods["DS_setWorkingName"] = [](const DSArguments& a) -> std::any {
    DSManagedObjectContext::DS_setWorkingName(receiver(a), text(a, 1));
    return {};
  };
  table.instanceMethods["DS_saveToPersistentStoreAndWait"] = [](const DSArguments& a) -> std::any {
    DSManagedObjectContext::DS_saveToPersistentStoreAndWait(receiver(a));
    return {};
  };
  table.instanceMethods["DS_parentChain"] = [](const DSArguments& a) -> std::any {
    return DSManagedObjectContext::DS_parentChain(receiver(a));
  };
}

// The layer's operations, entered once on first use.
std::map<std::string, ClassTable>& tables() {
  static std::once_flag filled;
  std::call_once(filled, [] {
    fillObjectMethods(gTables["NSManagedObject"].classMethods);
    fillContextMethods(gTables["NSManagedObjectContext"]);
    gTables["NSManagedObjectModel"].classMethods["DS_defaultManagedObjectModel"] = [](const DSArguments&) -> std::any {
      return DSManagedObjectModel::DS_defaultManagedObjectModel();
    };
    gTables["NSPersistentStore"].classMethods["DS_defaultPersistentStore"] = [](const DSArguments&) -> std::any {
      return DSPersistentStore::DS_defaultPersistentStore();
    };
    gTables["NSPersistentStoreCoordinator"].classMethods["DS_defaultStoreCoordinator"] =
        [](const DSArguments&) -> std::any { return DSPersistentStoreCoordinator::DS_defaultStoreCoordinator(); };
  });
  return gTables;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }
bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Copies "DS_" + selector under `selector` in the chosen table; false when there is none.
bool addPrefixedCopy(const std::string& className, const std::string& selector, bool classMethod) {
  std::lock_guard<std::mutex> lock(gMutex);
  ClassTable& table = tables()[className];
  auto& methods = classMethod ? table.classMethods : table.instanceMethods;
  const auto found = methods.find("DS_" + selector);
  if (found == methods.end()) return false;
  methods[selector] = found->second;
  return true;
}

// The class's own resolver, then the layer's once installed; the method to call, if any.
std::optional<DSOperation> lookUp(const std::string& className, const std::string& selector, bool classMethod) {
  DSResolver own;
  bool layer = false;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    ClassTable& table = tables()[className];
    auto& methods = classMethod ? table.classMethods : table.instanceMethods;
    if (auto found = methods.find(selector); found != methods.end()) return found->second;
    own = classMethod ? table.ownClassResolver : table.ownInstanceResolver;
    layer = table.layerResolvers;
  }
  if (!layer) {
    if (!own) return std::nullopt;
    auto resolved = own(selector);
    if (resolved) {
      std::lock_guard<std::mutex> lock(gMutex);
      auto& table = tables()[className];
      (classMethod ? table.classMethods : table.instanceMethods)[selector] = *resolved;
    }
    return resolved;
  }
  const bool added = classMethod ? DataStackShorthand::DS_resolveClassMethod(className, selector)
                                 : DataStackShorthand::DS_resolveInstanceMethod(className, selector);
  if (!added) return std::nullopt;
  std::lock_guard<std::mutex> lock(gMutex);
  ClassTable& table = tables()[className];
  auto& methods = classMethod ? table.classMethods : table.instanceMethods;
  return methods.at(selector);
}

// The class's previous resolver, as the layer's resolver calls it first; adds what it answers.
bool previousResolver(const std::string& className, const std::string& selector, bool classMethod) {
  DSResolver own;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    ClassTable& table = tables()[className];
    own = classMethod ? table.ownClassResolver : table.ownInstanceResolver;
  }
  if (!own) return false;
  auto resolved = own(selector);
  if (!resolved) return false;
  std::lock_guard<std::mutex> lock(gMutex);
  ClassTable& table = tables()[className];
  (classMethod ? table.classMethods : table.instanceMethods)[selector] = *resolved;
  return true;
}

}  // namespace

DSUnrecognizedSelector::DSUnrecognizedSelector(const std::string& className, const std::string& selector,
                                               bool classMessage)
    : std::runtime_error(std::string(classMessage ? "+[" : "-[") + className + " " + selector +
                         "]: unrecognized selector sent to " + (classMessage ? "class" : "instance")) {}

void DataStackShorthand::enableShorthandMethods() {
  if (gEnabled.load()) return;
  for (const std::string& className : classesToSwizzle()) updateResolveMethodsForClass(className);
  gEnabled.store(true);
}

bool DataStackShorthand::isShorthandEnabled() { return gEnabled.load(); }

std::vector<std::string> DataStackShorthand::classesToSwizzle() {
  return {"NSManagedObject", "NSManagedObjectContext", "NSManagedObjectModel", "NSPersistentStore",
          "NSPersistentStoreCoordinator"};
}

std::vector<std::string> DataStackShorthand::methodNameBlacklist() { return {"entityName"}; }

void DataStackShorthand::updateResolveMethodsForClass(const std::string& className) {
  std::lock_guard<std::mutex> lock(gMutex);
  // Installing twice would make the layer's resolver its own predecessor; the flag is the
  // platform's "the layer's name was already added".
  tables()[className].layerResolvers = true;
}

bool DataStackShorthand::DS_resolveClassMethod(const std::string& className, const std::string& selector) {
  if (previousResolver(className, selector, true)) return true;
  if (startsWith(selector, "DS_") || endsWith(selector, "entityName")) return false;
  return addPrefixedCopy(className, selector, true);
}

bool DataStackShorthand::DS_resolveInstanceMethod(const std::string& className, const std::string& selector) {
  if (previousResolver(className, selector, false)) return true;
  if (startsWith(selector, "DS_") || startsWith(selector, "_") || startsWith(selector, "init")) return false;
  return addPrefixedCopy(className, selector, false);
}

void DataStackShorthand::addClassMethod(const std::string& className, const std::string& selector,
                                        DSOperation operation) {
  std::lock_guard<std::mutex> lock(gMutex);
  tables()[className].classMethods[selector] = std::move(operation);
}

void DataStackShorthand::addInstanceMethod(const std::string& className, const std::string& selector,
                                           DSOperation operation) {
  std::lock_guard<std::mutex> lock(gMutex);
  tables()[className].instanceMethods[selector] = std::move(operation);
}

void DataStackShorthand::setClassResolver(const std::string& className, DSResolver resolver) {
  std::lock_guard<std::mutex> lock(gMutex);
  tables()[className].ownClassResolver = std::move(resolver);
}

void DataStackShorthand::setInstanceResolver(const std::string& className, DSResolver resolver) {
  std::lock_guard<std::mutex> lock(gMutex);
  tables()[className].ownInstanceResolver = std::move(resolver);
}

bool DataStackShorthand::respondsToClassSelector(const std::string& className, const std::string& selector) {
  return lookUp(className, selector, true).has_value();
}

bool DataStackShorthand::respondsToInstanceSelector(const std::string& className, const std::string& selector) {
  return lookUp(className, selector, false).has_value();
}

std::any DataStackShorthand::sendClassMessage(const std::string& className, const std::string& selector,
                                              const DSArguments& arguments) {
  auto operation = lookUp(className, selector, true);
  if (!operation) throw DSUnrecognizedSelector(className, selector, true);
  return (*operation)(arguments);
}

std::any DataStackShorthand::sendInstanceMessage(const std::string& className, const std::string& selector,
                                                 const DSArguments& arguments) {
  auto operation = lookUp(className, selector, false);
  if (!operation) throw DSUnrecognizedSelector(className, selector, false);
  return (*operation)(arguments);
}
