#pragma once
// DataStack is the facade that builds and tears down the process-wide persistence stack: one
// managed object model, one coordinator with one SQLite (or in-memory) store, and through
// DSManagedObjectContext the private-queue root saving context and the main-queue default
// context. It also holds the layer's options and logging mask, the save blocks every write of the
// application goes through, and the error hook that receives every failed platform call.
//
// Naming: the layer keeps the platform-category names. DataStack holds the class-level
// operations; DSManagedObjectModel, DSPersistentStore and DSPersistentStoreCoordinator
// (StackCategories.h), DSManagedObjectContext (ContextCategories.h) and DSManagedObject
// (ObjectCategories.h) hold the DS_ operations of those platform classes as static members.
// An operation on an instance takes that instance as its first argument; an operation on an
// entity class takes the entity name. Operations without a context use
// DSManagedObjectContext::DS_contextForCurrentThread() (the default context on the main thread).
//
// Set-up and clean-up belong on the main thread (the thread running the main run loop). Save
// blocks and the error hook are safe from any thread. The class is never instantiated.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "coredata/StoreURL.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/Error.h"

// Bits of a chain save (DSManagedObjectContext::DS_saveWithOptions).
struct DSSaveOptions {
  // Save this context only, asynchronously.
  static constexpr unsigned kNone = 0;
  // After a successful save, save the parent with the same options and completion, up to the root.
  static constexpr unsigned kParentContexts = 2;
  // The caller waits for the save of each context.
  static constexpr unsigned kSynchronously = 4;
  // The caller waits for every context but the root saving context, which saves asynchronously.
  static constexpr unsigned kSynchronouslyExceptRootContext = 8;
};

// The outcome of a save: whether it wrote anything, and the error of the level that failed
// (nothing after a success, and nothing when there was nothing to save).
using DSSaveCompletion = std::function<void(bool contextDidSave, const std::optional<foundation::Error>& error)>;
// Caller code run in the context a save block made.
using DSSaveBlock = std::function<void(const coredata::ManagedObjectContextPtr& localContext)>;
// The error hook's action: performed on the (still living) target with the error.
using DSErrorAction = std::function<void(const std::shared_ptr<void>& target, const foundation::Error& error)>;

// Notifications posted on foundation::NotificationCenter::defaultCenter() with no object.
inline constexpr const char* kDataStackCleanedUpNotification = "kDataStackCleanedUpNotification";
inline constexpr const char* kDataStackPSCMismatchWillDeleteStore = "kDataStackPSCMismatchWillDeleteStore";
inline constexpr const char* kDataStackPSCMismatchDidDeleteStore = "kDataStackPSCMismatchDidDeleteStore";
inline constexpr const char* kDataStackPSCMismatchWillRecreateStore = "kDataStackPSCMismatchWillRecreateStore";
inline constexpr const char* kDataStackPSCMismatchDidRecreateStore = "kDataStackPSCMismatchDidRecreateStore";
inline constexpr const char* kDataStackPSCMismatchCouldNotDeleteStore = "kDataStackPSCMismatchCouldNotDeleteStore";
inline constexpr const char* kDataStackPSCMismatchCouldNotRecreateStore = "kDataStackPSCMismatchCouldNotRecreateStore";

class DataStack {
 public:
  DataStack() = delete;

  // --- Setup ----------------------------------------------------------------------------------
  // Each set-up does nothing when a default coordinator is already installed (whatever store it
  // is given). Otherwise it builds the coordinator and its store, installs it as the default and
  // makes the root and default contexts, also when adding the store failed (the failure goes to
  // handleErrors). Main thread.
  static void setupCoreDataStack();
  static void setupAutoMigratingCoreDataStack();
  static void setupCoreDataStackWithStoreNamed(const std::string& storeName);
  // The application's set-up: automatic lightweight migration, write-ahead log, one retry of a
  // failed add 0.5 s later on the main run loop.
  static void setupCoreDataStackWithAutoMigratingSqliteStoreNamed(const std::string& storeName);
  static void setupCoreDataStackWithStoreAtURL(const StoreURL& storeURL);
  static void setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(const StoreURL& storeURL);
  static void setupCoreDataStackWithInMemoryStore();

  // Clears the error hook, releases the stack (cleanUpStack) and posts
  // "kDataStackCleanedUpNotification". Saves nothing. A later set-up builds a new stack. Main thread.
  static void cleanUp();
  // Releases the default and root contexts, invalidates per-thread contexts and empties the
  // model, coordinator and store slots, in that order.
  static void cleanUpStack();
  // A text describing the installed model, coordinator, store, default context and its chain.
  static std::string currentStack();
  // The layer's version, 230.
  static unsigned version() { return 230; }
  // The main bundle's CFBundleName, or "CoreDataStore.sqlite" without one, with the extension
  // "sqlite" appended when the name does not end in "sqlite".
  static std::string defaultStoreName();
  // Makes the main-bundle model `modelName` the default model (nothing when there is none).
  static void setDefaultModelNamed(const std::string& modelName);

  // --- Options (process-wide; the defaults are those after class initialisation) -----------------
  static bool shouldAutoCreateManagedObjectModel();                 // initially true
  static void setShouldAutoCreateManagedObjectModel(bool value);
  static bool shouldAutoCreateDefaultPersistentStoreCoordinator();  // initially false
  static void setShouldAutoCreateDefaultPersistentStoreCoordinator(bool value);
  static bool shouldDeleteStoreOnModelMismatch();                   // initially false
  static void setShouldDeleteStoreOnModelMismatch(bool value);
  // Bit mask of the messages written to the log: 1 errors, 2 warnings, 4 information, 0x10
  // verbose. Initially 1. Safe from any thread.
  static unsigned loggingLevel();
  static void setLoggingLevel(unsigned level);

  // --- Actions: save blocks -------------------------------------------------------------------
  // Runs `block` asynchronously in a new private-queue child of the root saving context, then
  // saves the child up to the store (options 2); `completion` runs on the main queue with the
  // outcome (success after the store is written and the default context has merged it).
  static void saveWithBlock(DSSaveBlock block);
  static void saveWithBlock(DSSaveBlock block, DSSaveCompletion completion);
  // The same while the caller waits (options 6): returns after the store is written.
  static void saveWithBlockAndWait(DSSaveBlock block);
  // The same in DSManagedObjectContext::DS_contextForCurrentThread() (the default context on the
  // main thread, whose working name then becomes the operation's name).
  static void saveUsingCurrentThreadContextWithBlock(DSSaveBlock block, DSSaveCompletion completion);
  static void saveUsingCurrentThreadContextWithBlockAndWait(DSSaveBlock block);

  // --- ActionsDeprecated ----------------------------------------------------------------------
  // saveWithBlock(block, no completion).
  static void saveInBackgroundWithBlock(DSSaveBlock block);
  // Runs `block` in a new child of the root asynchronously, saves it to the store while its queue
  // waits, then runs `completion` on that child's queue whether or not the save succeeded.
  static void saveInBackgroundWithBlock(DSSaveBlock block, std::function<void()> completion);
  // Runs `block` in the current thread's context asynchronously, then saves it up the chain;
  // `completion` (on the main queue) after a success, `errorHandler` after a failure, if given.
  static void saveInBackgroundUsingCurrentContextWithBlock(
      DSSaveBlock block, std::function<void()> completion,
      std::function<void(const std::optional<foundation::Error>&)> errorHandler);

  // --- ErrorHandling --------------------------------------------------------------------------
  // Receives every failed platform call of the layer. Null is ignored. With a living target and
  // an action set, performs the action; otherwise defaultErrorHandler. Thread-safe; the action
  // runs on the calling thread.
  static void handleErrors(const foundation::Error* error);
  static void handleErrors(const foundation::Error& error) { handleErrors(&error); }
  // Sets the hook: the target is held weakly; the action is performed on it.
  static void setErrorHandlerTarget(const std::shared_ptr<void>& target, DSErrorAction action);
  // The target while it lives, else null.
  static std::shared_ptr<void> errorHandlerTarget();
  static DSErrorAction errorHandlerAction();
  // Empties target and action (the name is the platform layer's, misspelling included).
  static void cleanUpErrorHanding();
  // Logs (bit 1) each user-info value ("Error Details: %@" per element of an array, else
  // "Error: %@"), then the description, the domain and the recovery suggestion.
  static void defaultErrorHandler(const foundation::Error& error);
};
