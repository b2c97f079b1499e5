#include "coredata/StackCategories.h"

#include <mutex>

#include "coredata/DataStack.h"
#include "coredata/DataStackLog.h"
#include "platform/coredata/CoreDataErrors.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/SystemPaths.h"
#include "platform/foundation/Timer.h"

using foundation::Dictionary;
using foundation::Error;
using foundation::Value;

namespace {

// The stack's slots. Set-up and clean-up write them on the main thread; saves and fetches read
// them from any thread, so a lock keeps each shared pointer whole.
std::mutex gSlotMutex;
DSModelPtr gDefaultModel;
DSStorePtr gDefaultStore;
DSCoordinatorPtr gDefaultCoordinator;

// The delay before the one retry of a store that could not be added.
constexpr double kStoreRetryDelaySeconds = 0.5;

StoreURL locationOf(const DSStoreNameOrURL& storeName) {
  if (const auto* url = std::get_if<StoreURL>(&storeName)) return *url;
  return DSPersistentStore::DS_urlForStoreName(std::get<std::string>(storeName));
}

bool isModelMismatch(const Error& error) {
  if (error.domain() != foundation::kCocoaErrorDomain) return false;
  const long code = error.code();
  return code == coredata::kPersistentStoreIncompatibleVersionHashError || code == coredata::kMigrationError ||
         code == coredata::kMigrationMissingSourceModelError;
}

void post(const char* name, Dictionary userInfo = {}) {
  foundation::NotificationCenter::defaultCenter().post(name, nullptr, std::move(userInfo));
}

Value errorValue(const Error& error) { return Value(std::shared_ptr<foundation::Object>(std::make_shared<Error>(error))); }

// Removes the incompatible store file and its companions, then adds the store anew, posting the
// mismatch notifications in their order. Returns the new store, or null with `*error` set.
DSStorePtr recreateStore(const DSCoordinatorPtr& coordinator, const StoreURL& url, const Dictionary& options,
                         Error* error) {
  post(kDataStackPSCMismatchWillDeleteStore);
  auto& files = foundation::FileManager::defaultManager();
  Error removeError;
  const bool removed = files.removeItemAtPath(url.path(), &removeError);
  files.removeItemAtPath(url.appendingToPath("-shm").path());
  files.removeItemAtPath(url.appendingToPath("-wal").path());
  dslog::log(dslog::kWarning, "Removed incompatible model version: %@", url.lastPathComponent());
  if (removed) {
    post(kDataStackPSCMismatchDidDeleteStore);
  } else {
    post(kDataStackPSCMismatchCouldNotDeleteStore, Dictionary{{"Error", errorValue(removeError)}});
  }
  post(kDataStackPSCMismatchWillRecreateStore);
  DSStorePtr store = coordinator->addPersistentStore(coredata::kSQLiteStoreType, "", url.path(), options, error);
  if (store) {
    post(kDataStackPSCMismatchDidRecreateStore);
    return store;
  }
  post(kDataStackPSCMismatchCouldNotRecreateStore, Dictionary{{"Error", errorValue(*error)}});
  return nullptr;
}

// A coordinator over the default model, or null (reported) when there is no model to use.
DSCoordinatorPtr newCoordinator() {
  DSModelPtr model = DSManagedObjectModel::DS_defaultManagedObjectModel();
  if (!model) {
    DataStack::handleErrors(coredata::coreDataError(coredata::kCoreDataError,
                                                    "There is no managed object model to build the stack on"));
    return nullptr;
  }
  return coredata::PersistentStoreCoordinator::create(std::move(model));
}

// The auto-migrating add, tried once more after a delay when the coordinator is left without a
// store. The timer holds the coordinator until it fires.
DSCoordinatorPtr autoMigratingCoordinator(const DSStoreNameOrURL& storeName) {
  DSCoordinatorPtr coordinator = newCoordinator();
  if (!coordinator) return nullptr;
  const DSStorePtr store = DSPersistentStoreCoordinator::DS_addSqliteStoreNamed(
      coordinator, storeName, DSPersistentStoreCoordinator::DS_autoMigrationOptions());
  if (store) return coordinator;
  foundation::Timer::scheduledTimer(kStoreRetryDelaySeconds, false, [coordinator, storeName](foundation::Timer&) {
    DSPersistentStoreCoordinator::DS_addSqliteStoreNamed(coordinator, storeName,
                                                         DSPersistentStoreCoordinator::DS_autoMigrationOptions());
  });
  return coordinator;
}

}  // namespace

// --- Model ---------------------------------------------------------------------------------------

DSModelPtr DSManagedObjectModel::DS_defaultManagedObjectModel() {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  if (!gDefaultModel && DataStack::shouldAutoCreateManagedObjectModel()) {
    gDefaultModel = coredata::ManagedObjectModel::mergedModelFromBundles();
  }
  return gDefaultModel;
}

void DSManagedObjectModel::DS_setDefaultManagedObjectModel(DSModelPtr model) {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  gDefaultModel = std::move(model);
}

DSModelPtr DSManagedObjectModel::DS_mergedObjectModelFromMainBundle() {
  return coredata::ManagedObjectModel::mergedModelFromBundles();
}

DSModelPtr DSManagedObjectModel::DS_newManagedObjectModelNamed(const std::string& modelFileName) {
  return coredata::ManagedObjectModel::modelNamed(modelFileName);
}

DSModelPtr DSManagedObjectModel::DS_managedObjectModelNamed(const std::string& modelFileName) {
  return DS_newManagedObjectModelNamed(modelFileName);
}

// --- Store ---------------------------------------------------------------------------------------

DSStorePtr DSPersistentStore::DS_defaultPersistentStore() {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  return gDefaultStore;
}

void DSPersistentStore::DS_setDefaultPersistentStore(DSStorePtr store) {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  gDefaultStore = std::move(store);
}

std::string DSPersistentStore::DS_directory(foundation::SearchPathDirectory directory) {
  return foundation::FileManager::defaultManager().searchPathDirectory(directory);
}

std::string DSPersistentStore::DS_applicationDocumentsDirectory() {
  return DS_directory(foundation::SearchPathDirectory::Documents);
}

std::string DSPersistentStore::DS_applicationStorageDirectory() {
  const auto bundle = foundation::Bundle::mainBundle();
  const Value name = bundle->objectForInfoDictionaryKey(foundation::kCFBundleNameKey);
  // A bundle without a name still needs a folder of its own rather than the bare data folder.
  std::string folder = name.isString() && !name.stringValue().empty()
                           ? name.stringValue()
                           : bundle->bundleIdentifier().value_or(foundation::kApplicationBundleIdentifier);
  return DS_directory(foundation::SearchPathDirectory::ApplicationSupport) + "/" + folder;
}

StoreURL DSPersistentStore::DS_urlForStoreName(const std::string& storeName) {
  return StoreURL::fileURLWithPath(DS_applicationStorageDirectory() + "/" + storeName);
}

StoreURL DSPersistentStore::DS_defaultLocalStoreUrl() { return DS_urlForStoreName("CoreDataStore.sqlite"); }

// --- Coordinator ---------------------------------------------------------------------------------

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_defaultStoreCoordinator() {
  if (DSCoordinatorPtr coordinator = DS_defaultStoreCoordinatorSlot()) return coordinator;
  if (!DataStack::shouldAutoCreateDefaultPersistentStoreCoordinator()) return nullptr;
  DS_setDefaultStoreCoordinator(DS_newPersistentStoreCoordinator());
  return DS_defaultStoreCoordinatorSlot();
}

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_defaultStoreCoordinatorSlot() {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  return gDefaultCoordinator;
}

void DSPersistentStoreCoordinator::DS_setDefaultStoreCoordinator(DSCoordinatorPtr coordinator) {
  std::lock_guard<std::mutex> lock(gSlotMutex);
  gDefaultCoordinator = coordinator;
  if (!coordinator || gDefaultStore) return;
  const auto stores = coordinator->persistentStores();
  if (!stores.empty()) gDefaultStore = stores.front();
}

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_newPersistentStoreCoordinator() {
  return DS_coordinatorWithSqliteStoreNamed(DataStack::defaultStoreName());
}

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_coordinatorWithSqliteStoreNamed(const std::string& storeName,
                                                                                  const Dictionary& options) {
  DSCoordinatorPtr coordinator = newCoordinator();
  if (coordinator) DS_addSqliteStoreNamed(coordinator, storeName, options);
  return coordinator;
}

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_coordinatorWithSqliteStoreAtURL(const StoreURL& url,
                                                                                  const Dictionary& options) {
  DSCoordinatorPtr coordinator = newCoordinator();
  if (coordinator) DS_addSqliteStoreNamed(coordinator, url, options);
  return coordinator;
}

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_coordinatorWithAutoMigratingSqliteStoreNamed(
    const std::string& storeName) {
  return autoMigratingCoordinator(storeName);
}

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_coordinatorWithAutoMigratingSqliteStoreAtURL(const StoreURL& url) {
  return autoMigratingCoordinator(url);
}

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_coordinatorWithPersistentStore(const DSStorePtr& store) {
  DSCoordinatorPtr coordinator = newCoordinator();
  if (coordinator && store) DS_addSqliteStoreNamed(coordinator, StoreURL::fileURLWithPath(store->path()), {});
  return coordinator;
}

DSCoordinatorPtr DSPersistentStoreCoordinator::DS_coordinatorWithInMemoryStore() {
  DSCoordinatorPtr coordinator = newCoordinator();
  if (coordinator) DS_addInMemoryStore(coordinator);
  return coordinator;
}

Dictionary DSPersistentStoreCoordinator::DS_autoMigrationOptions() {
  return Dictionary{
      {coredata::kMigratePersistentStoresAutomaticallyOption, Value(true)},
      {coredata::kInferMappingModelAutomaticallyOption, Value(true)},
      {coredata::kSQLitePragmasOption, Value(Dictionary{{"journal_mode", Value("WAL")}})},
  };
}

DSStorePtr DSPersistentStoreCoordinator::DS_addSqliteStoreNamed(const DSCoordinatorPtr& coordinator,
                                                                const DSStoreNameOrURL& storeName,
                                                                const Dictionary& options) {
  return DS_addSqliteStoreNamed(coordinator, storeName, std::string(), options);
}

DSStorePtr DSPersistentStoreCoordinator::DS_addSqliteStoreNamed(const DSCoordinatorPtr& coordinator,
                                                                const DSStoreNameOrURL& storeName,
                                                                const std::string& configuration,
                                                                const Dictionary& options) {
  if (!coordinator) return nullptr;
  const StoreURL url = locationOf(storeName);
  DS_createPathToStoreFileIfNeccessary(url);
  Error error;
  DSStorePtr store =
      coordinator->addPersistentStore(coredata::kSQLiteStoreType, configuration, url.path(), options, &error);
  if (store) return store;
  if (DataStack::shouldDeleteStoreOnModelMismatch() && isModelMismatch(error)) {
    store = recreateStore(coordinator, url, options, &error);
    if (store) return store;
  }
  DataStack::handleErrors(error);
  return nullptr;
}

DSStorePtr DSPersistentStoreCoordinator::DS_addAutoMigratingSqliteStoreNamed(const DSCoordinatorPtr& coordinator,
                                                                             const std::string& storeName) {
  return DS_addSqliteStoreNamed(coordinator, storeName, DS_autoMigrationOptions());
}

DSStorePtr DSPersistentStoreCoordinator::DS_addAutoMigratingSqliteStoreAtURL(const DSCoordinatorPtr& coordinator,
                                                                             const StoreURL& url) {
  return DS_addSqliteStoreNamed(coordinator, url, DS_autoMigrationOptions());
}

DSStorePtr DSPersistentStoreCoordinator::DS_addInMemoryStore(const DSCoordinatorPtr& coordinator) {
  if (!coordinator) return nullptr;
  Error error;
  DSStorePtr store = coordinator->addPersistentStore(coredata::kInMemoryStoreType, "", "", {}, &error);
  if (!store) DataStack::handleErrors(error);
  return store;
}

void DSPersistentStoreCoordinator::DS_createPathToStoreFileIfNeccessary(const StoreURL& url) {
  Error error;
  if (!foundation::FileManager::defaultManager().createDirectoryAtPath(url.deletingLastPathComponent(), true, &error)) {
    DataStack::handleErrors(error);
  }
}
