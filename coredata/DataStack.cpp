#include "coredata/DataStack.h"

#include <mutex>

#include "coredata/ContextCategories.h"
#include "coredata/DataStackLog.h"
#include "coredata/StackCategories.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/String.h"

namespace {

// The options as the class initialiser leaves them. Atomics, because a background save may read
// the logging mask while the main thread changes it.
std::atomic<bool> gAutoCreateModel{true};
std::atomic<bool> gAutoCreateCoordinator{false};
std::atomic<bool> gDeleteStoreOnMismatch{false};
std::atomic<unsigned> gLoggingLevel{1};

// Installs `coordinator` and the contexts over it, unless a stack is already set up. The slot is
// read directly: going through the auto-creating getter would build a default store first and
// skip the set-up that was asked for.
template <typename Build>
void setUpWith(Build build) {
  if (DSPersistentStoreCoordinator::DS_defaultStoreCoordinatorSlot()) return;
  DSCoordinatorPtr coordinator = build();
  DSPersistentStoreCoordinator::DS_setDefaultStoreCoordinator(coordinator);
  DSManagedObjectContext::DS_initializeDefaultContextWithCoordinator(coordinator);
}

std::string bundleName() {
  const foundation::Value name =
      foundation::Bundle::mainBundle()->objectForInfoDictionaryKey(foundation::kCFBundleNameKey);
  return name.isString() ? name.stringValue() : std::string();
}

}  // namespace

// --- Setup ---------------------------------------------------------------------------------------

void DataStack::setupCoreDataStack() { setupCoreDataStackWithStoreNamed(defaultStoreName()); }

void DataStack::setupAutoMigratingCoreDataStack() {
  setupCoreDataStackWithAutoMigratingSqliteStoreNamed(defaultStoreName());
}

void DataStack::setupCoreDataStackWithStoreNamed(const std::string& storeName) {
  setUpWith([&] { return DSPersistentStoreCoordinator::DS_coordinatorWithSqliteStoreNamed(storeName); });
}

void DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed(const std::string& storeName) {
  setUpWith([&] { return DSPersistentStoreCoordinator::DS_coordinatorWithAutoMigratingSqliteStoreNamed(storeName); });
}

void DataStack::setupCoreDataStackWithStoreAtURL(const StoreURL& storeURL) {
  setUpWith([&] { return DSPersistentStoreCoordinator::DS_coordinatorWithSqliteStoreAtURL(storeURL); });
}

void DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(const StoreURL& storeURL) {
  setUpWith([&] { return DSPersistentStoreCoordinator::DS_coordinatorWithAutoMigratingSqliteStoreAtURL(storeURL); });
}

void DataStack::setupCoreDataStackWithInMemoryStore() {
  setUpWith([] { return DSPersistentStoreCoordinator::DS_coordinatorWithInMemoryStore(); });
}

void DataStack::cleanUp() {
  cleanUpErrorHanding();
  cleanUpStack();
  foundation::NotificationCenter::defaultCenter().post(kDataStackCleanedUpNotification);
}

void DataStack::cleanUpStack() {
  DSManagedObjectContext::DS_cleanUp();
  DSManagedObjectModel::DS_setDefaultManagedObjectModel(nullptr);
  DSPersistentStoreCoordinator::DS_setDefaultStoreCoordinator(nullptr);
  DSPersistentStore::DS_setDefaultPersistentStore(nullptr);
}

std::string DataStack::currentStack() {
  const DSModelPtr model = DSManagedObjectModel::DS_defaultManagedObjectModel();
  const DSCoordinatorPtr coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinatorSlot();
  const DSStorePtr store = DSPersistentStore::DS_defaultPersistentStore();
  const DSContextPtr context = DSManagedObjectContext::DS_defaultContext();
  std::string text = "Current Default Core Data Stack: ---- \n";
  text += foundation::stringWithFormat("Model:           %@\n",
                                       model ? foundation::Value(model->entityVersionHashesByName()) : foundation::Value());
  text += foundation::stringWithFormat("Coordinator:     %@\n", coordinator);
  text += foundation::stringWithFormat("Store:           %@\n", store);
  text += foundation::stringWithFormat("Default Context: %@\n",
                                       context ? DSManagedObjectContext::DS_description(context) : std::string("(null)"));
  text += foundation::stringWithFormat("Context Chain:   \n%@\n",
                                       context ? DSManagedObjectContext::DS_parentChain(context) : std::string("(null)"));
  return text;
}

std::string DataStack::defaultStoreName() {
  std::string name = bundleName();
  if (name.empty()) name = "CoreDataStore.sqlite";
  if (!foundation::hasSuffix(name, "sqlite")) name += ".sqlite";
  return name;
}

void DataStack::setDefaultModelNamed(const std::string& modelName) {
  DSManagedObjectModel::DS_setDefaultManagedObjectModel(DSManagedObjectModel::DS_managedObjectModelNamed(modelName));
}

// --- Options -------------------------------------------------------------------------------------

bool DataStack::shouldAutoCreateManagedObjectModel() { return gAutoCreateModel; }
void DataStack::setShouldAutoCreateManagedObjectModel(bool value) { gAutoCreateModel = value; }
bool DataStack::shouldAutoCreateDefaultPersistentStoreCoordinator() { return gAutoCreateCoordinator; }
void DataStack::setShouldAutoCreateDefaultPersistentStoreCoordinator(bool value) { gAutoCreateCoordinator = value; }
bool DataStack::shouldDeleteStoreOnModelMismatch() { return gDeleteStoreOnMismatch; }
void DataStack::setShouldDeleteStoreOnModelMismatch(bool value) { gDeleteStoreOnMismatch = value; }
unsigned DataStack::loggingLevel() { return gLoggingLevel; }
void DataStack::setLoggingLevel(unsigned level) { gLoggingLevel = level; }

// --- ErrorHandling -------------------------------------------------------------------------------

namespace {

// The hook is read from saving threads while the main thread may set it: a lock keeps the
// function object whole.
std::mutex gHookMutex;
std::weak_ptr<void> gHookTarget;
DSErrorAction gHookAction;

}  // namespace

void DataStack::handleErrors(const foundation::Error* error) {
  if (error == nullptr) return;
  std::shared_ptr<void> target;
  DSErrorAction action;
  {
    std::lock_guard<std::mutex> lock(gHookMutex);
    target = gHookTarget.lock();
    action = gHookAction;
  }
  if (target && action) {
    action(target, *error);
    return;
  }
  defaultErrorHandler(*error);
}

void DataStack::setErrorHandlerTarget(const std::shared_ptr<void>& target, DSErrorAction action) {
  std::lock_guard<std::mutex> lock(gHookMutex);
  gHookTarget = target;
  gHookAction = std::move(action);
}

std::shared_ptr<void> DataStack::errorHandlerTarget() {
  std::lock_guard<std::mutex> lock(gHookMutex);
  return gHookTarget.lock();
}

DSErrorAction DataStack::errorHandlerAction() {
  std::lock_guard<std::mutex> lock(gHookMutex);
  return gHookAction;
}

void DataStack::cleanUpErrorHanding() {
  std::lock_guard<std::mutex> lock(gHookMutex);
  gHookTarget.reset();
  gHookAction = nullptr;
}

void DataStack::defaultErrorHandler(const foundation::Error& error) {
  for (const auto& [key, value] : error.userInfo()) {
    if (!value.isArray()) {
      dslog::log(dslog::kError, "Error: %@", value);
      continue;
    }
    for (const foundation::Value& element : value.arrayValue()) {
      if (auto detailed = element.objectAs<foundation::Error>()) {
        dslog::log(dslog::kError, "Error Details: %@", foundation::Value(detailed->userInfo()));
      } else {
        dslog::log(dslog::kError, "Error Details: %@", element);
      }
    }
  }
  dslog::log(dslog::kError, "Error Message: %@", error.localizedDescription());
  dslog::log(dslog::kError, "Error Domain: %@", error.domain());
  dslog::log(dslog::kError, "Recovery Suggestion: %@",
             error.userInfo().get(foundation::kLocalizedRecoverySuggestionErrorKey));
}
