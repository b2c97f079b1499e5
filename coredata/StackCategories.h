#pragma once
// The stack's process-wide slots and builders, as the layer adds them to the platform's model,
// store and coordinator classes: the default model, the default store and the default
// coordinator, where the stores live on disk, and the coordinator builders with their store
// handling (directory creation, automatic migration, the delete-and-recreate path on a model
// mismatch, the one delayed retry). Every other part of the layer reaches the stack through these
// slots. The slots are guarded by a lock, so reading them from any thread is safe; set-up and
// clean-up write them on the main thread.
#include <memory>
#include <string>

#include "coredata/StoreURL.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Value.h"

using DSModelPtr = std::shared_ptr<coredata::ManagedObjectModel>;
using DSStorePtr = std::shared_ptr<coredata::PersistentStore>;
using DSCoordinatorPtr = std::shared_ptr<coredata::PersistentStoreCoordinator>;

// The model category.
struct DSManagedObjectModel {
  // The default model; when the slot is empty and DataStack::shouldAutoCreateManagedObjectModel()
  // holds, the merged model of the main bundle is installed first. Null when there is none.
  static DSModelPtr DS_defaultManagedObjectModel();
  static void DS_setDefaultManagedObjectModel(DSModelPtr model);
  // The merge of every model registered as a main-bundle model, or null.
  static DSModelPtr DS_mergedObjectModelFromMainBundle();
  // The main-bundle model registered under `modelFileName` (with or without its extension).
  static DSModelPtr DS_newManagedObjectModelNamed(const std::string& modelFileName);
  static DSModelPtr DS_managedObjectModelNamed(const std::string& modelFileName);
};

// The store category.
struct DSPersistentStore {
  static DSStorePtr DS_defaultPersistentStore();
  static void DS_setDefaultPersistentStore(DSStorePtr store);
  // The user's folder for a search-path directory code (created by nobody here).
  static std::string DS_directory(foundation::SearchPathDirectory directory);
  // The documents folder (code 9).
  static std::string DS_applicationDocumentsDirectory();
  // The Application Support folder (code 14) plus the main bundle's name (CFBundleName; the
  // bundle identifier when the bundle has no name).
  static std::string DS_applicationStorageDirectory();
  // The storage folder plus `storeName` exactly as given (no extension added).
  static StoreURL DS_urlForStoreName(const std::string& storeName);
  // DS_urlForStoreName("CoreDataStore.sqlite").
  static StoreURL DS_defaultLocalStoreUrl();
};

// The coordinator category. Failures never reach the caller: they go to DataStack::handleErrors.
struct DSPersistentStoreCoordinator {
  // The default coordinator; when there is none and
  // DataStack::shouldAutoCreateDefaultPersistentStoreCoordinator() holds, first makes one with
  // DS_newPersistentStoreCoordinator and installs it.
  static DSCoordinatorPtr DS_defaultStoreCoordinator();
  // The default-coordinator slot itself, never creating anything: what set-up checks.
  static DSCoordinatorPtr DS_defaultStoreCoordinatorSlot();
  // Installs `coordinator`; when it has a store and no default store is set, its first store
  // becomes the default store.
  static void DS_setDefaultStoreCoordinator(DSCoordinatorPtr coordinator);
  // DS_coordinatorWithSqliteStoreNamed(DataStack::defaultStoreName()).
  static DSCoordinatorPtr DS_newPersistentStoreCoordinator();

  // A new coordinator over the default model with the SQLite store added (or not, on failure).
  // Null only when there is no default model (reported to handleErrors).
  static DSCoordinatorPtr DS_coordinatorWithSqliteStoreNamed(const std::string& storeName,
                                                             const foundation::Dictionary& options = {});
  static DSCoordinatorPtr DS_coordinatorWithSqliteStoreAtURL(const StoreURL& url,
                                                             const foundation::Dictionary& options = {});
  // The same with DS_autoMigrationOptions; when the store could not be added, the same add is
  // tried once more 0.5 s later on the main run loop. The coordinator is returned at once.
  static DSCoordinatorPtr DS_coordinatorWithAutoMigratingSqliteStoreNamed(const std::string& storeName);
  static DSCoordinatorPtr DS_coordinatorWithAutoMigratingSqliteStoreAtURL(const StoreURL& url);
  // A new coordinator with an SQLite store at `store`'s location, no options.
  static DSCoordinatorPtr DS_coordinatorWithPersistentStore(const DSStorePtr& store);
  static DSCoordinatorPtr DS_coordinatorWithInMemoryStore();
  // Automatic migration, inferred mapping, and the pragma {"journal_mode": "WAL"}.
  static foundation::Dictionary DS_autoMigrationOptions();

  // Adds the SQLite store at the URL, or at DS_urlForStoreName of a name, creating its folder.
  // On a model mismatch (134100, 134110, 134130) with DataStack::shouldDeleteStoreOnModelMismatch()
  // the file and its "-shm" and "-wal" companions are removed and the store made anew, with the
  // mismatch notifications. Returns the store, or null after reporting the failure.
  static DSStorePtr DS_addSqliteStoreNamed(const DSCoordinatorPtr& coordinator, const DSStoreNameOrURL& storeName,
                                           const foundation::Dictionary& options);
  static DSStorePtr DS_addSqliteStoreNamed(const DSCoordinatorPtr& coordinator, const DSStoreNameOrURL& storeName,
                                           const std::string& configuration, const foundation::Dictionary& options);
  static DSStorePtr DS_addAutoMigratingSqliteStoreNamed(const DSCoordinatorPtr& coordinator,
                                                        const std::string& storeName);
  static DSStorePtr DS_addAutoMigratingSqliteStoreAtURL(const DSCoordinatorPtr& coordinator, const StoreURL& url);
  static DSStorePtr DS_addInMemoryStore(const DSCoordinatorPtr& coordinator);
  // Creates the folder that holds the store file (with parents); a failure goes to handleErrors.
  static void DS_createPathToStoreFileIfNeccessary(const StoreURL& url);
};
