#pragma once
// DSManagedObjectContext holds the layer's context operations: the context tree (a private-queue
// root saving context on the default coordinator, a main-queue default context under it,
// private-queue children for save blocks and background threads, a per-thread cache of such
// children), working names for log messages, permanent IDs for new objects before every save,
// the merge of what the root saves into the default context on the main thread, and the chain
// save that every write of the application goes through.
//
// Threads: the default-context slot is guarded by a lock; per-thread contexts live in
// thread-local storage; the cache version is an atomic counter. Merges into the default context
// run on the main thread only. Completions of saves always run asynchronously on the main queue.
// No operation reports an error to its caller: failures go to DataStack::handleErrors.
#include <memory>
#include <string>
#include <vector>

#include "coredata/DataStack.h"
#include "coredata/StackCategories.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/NotificationCenter.h"

using DSContextPtr = coredata::ManagedObjectContextPtr;

// The user-info key of a context's working name, and the name read when it has none.
inline constexpr const char* kDataStackContextWorkingNameKey = "DataStackContextWorkingName";
inline constexpr const char* kDataStackUntitledContextName = "Untitled Context";
inline constexpr const char* kDataStackRootSavingContextName = "DataStack Root Saving Context";
inline constexpr const char* kDataStackDefaultContextName = "DataStack Default Context";
// Keys of a background thread's cached context and the cache version it was made under.
inline constexpr const char* kDataStackContextForThreadKey = "DataStack_NSManagedObjectContextForThreadKey";
inline constexpr const char* kDataStackCacheVersionForThreadKey =
    "DataStack_CacheVersionOfNSManagedObjectContextForThreadKey";

struct DSManagedObjectContext {
  // --- The stack's contexts -------------------------------------------------------------------
  // Makes and installs the root (on `coordinator`) and the default context under it; nothing
  // when a default context exists. A null coordinator gives no root and a default context with
  // neither parent nor coordinator, whose saves fail. Main thread.
  static void DS_initializeDefaultContextWithCoordinator(const DSCoordinatorPtr& coordinator);
  // The default context (main queue), or null before set-up. Thread-safe.
  static DSContextPtr DS_defaultContext();
  // The root saving context (private queue), or null.
  static DSContextPtr DS_rootSavingContext();
  // Installs the root: the old one stops observing; the new one observes its own will-save, takes
  // the property-object-trump merge policy and its working name (on its own queue).
  static void DS_setRootSavingContext(const DSContextPtr& context);
  // Installs the default context: the old one stops observing; the new one is named, observes its
  // own will-save, and the root's did-save is merged into it on the main thread. With iCloud
  // enabled (ICloud.h) it also merges the coordinator's imported cloud changes; otherwise it starts
  // doing so when "kDataStackPSCDidCompleteiCloudSetupNotification" arrives.
  static void DS_setDefaultContext(const DSContextPtr& context);

  // --- Making contexts ------------------------------------------------------------------------
  // A new child of the root saving context (DS_contextWithParent).
  static DSContextPtr DS_context();
  // A new private-queue child of `parent` that obtains permanent IDs before it saves.
  static DSContextPtr DS_contextWithParent(const DSContextPtr& parent);
  // A new private-queue context on `coordinator`; null for a null coordinator.
  static DSContextPtr DS_contextWithStoreCoordinator(const DSCoordinatorPtr& coordinator);
  static DSContextPtr DS_newMainQueueContext();
  static DSContextPtr DS_newPrivateQueueContext();
  // A private-queue context with neither parent nor coordinator.
  static DSContextPtr DS_contextWithoutParent();
  // Older names.
  static DSContextPtr DS_newContext() { return DS_context(); }
  static DSContextPtr DS_newContextWithParent(const DSContextPtr& parent) { return DS_contextWithParent(parent); }
  static DSContextPtr DS_newContextWithStoreCoordinator(const DSCoordinatorPtr& coordinator) {
    return DS_contextWithStoreCoordinator(coordinator);
  }

  // --- Per-thread contexts --------------------------------------------------------------------
  // On the main thread the default context; elsewhere this thread's cached child of the default
  // context, made anew when missing or made under an older cache version.
  static DSContextPtr DS_contextForCurrentThread();
  // Invalidates every thread's cached context at once (each replaces it on next use).
  static void DS_clearNonMainThreadContextsCache();
  // Forgets the calling thread's cached context.
  static void DS_clearContextForCurrentThread();
  // Resets the calling thread's context.
  static void DS_resetContextForCurrentThread();
  // Resets the default context, at once on the main thread, else asynchronously on the main queue.
  static void DS_resetDefaultContext();

  // --- Observing ------------------------------------------------------------------------------
  // Merges the root's did-save into the default context: on the main thread, after firing the
  // faults of the updated objects; from elsewhere it is re-delivered on the main queue.
  // Notifications from any other context are ignored.
  static void rootContextDidSave(const foundation::Notification& notification);
  // Releases the default and root contexts and invalidates per-thread contexts. Main thread.
  static void DS_cleanUp();

  // Makes `context` obtain permanent IDs for its inserted objects whenever it is about to save.
  static void DS_obtainPermanentIDsBeforeSaving(const DSContextPtr& context);
  // The will-save handler: permanent IDs for the inserted objects of the notification's context;
  // a failure goes to handleErrors and the save proceeds.
  static void DS_contextWillSave(const foundation::Notification& notification);
  // Stops every observation `context` holds (its own will-save and the contexts it observes).
  static void DS_stopObserving(const DSContextPtr& context);
  // Merges each did-save of `other` into `context` (in `context`'s queue, or on the main thread).
  static void DS_observeContext(const DSContextPtr& context, const DSContextPtr& other);
  static void DS_observeContextOnMainThread(const DSContextPtr& context, const DSContextPtr& other);
  static void DS_stopObservingContext(const DSContextPtr& context, const DSContextPtr& other);
  // Merges a did-save notification into `context`, inside its queue (the caller waits).
  static void DS_mergeChangesFromNotification(const DSContextPtr& context, const foundation::Notification& notification);
  // The same on the main thread (the caller waits for it).
  static void DS_mergeChangesOnMainThread(const DSContextPtr& context, const foundation::Notification& notification);

  // --- Names and descriptions -----------------------------------------------------------------
  // The working name kept in the context's user info; "Untitled Context" when missing or empty.
  // Runs inside the context's queue (directly for a main-queue context on the main thread).
  static void DS_setWorkingName(const DSContextPtr& context, const std::string& workingName);
  static std::string DS_workingName(const DSContextPtr& context);
  // "<ManagedObjectContext (0x…): name> on the main thread" (or "a background thread").
  static std::string DS_description(const DSContextPtr& context);
  // "\n" then one line "- name (0x…) (*)\n" for this context and one per parent, without "(*)".
  static std::string DS_parentChain(const DSContextPtr& context);
  // Deletes each object from `context`.
  static void DS_deleteObjects(const DSContextPtr& context, const std::vector<coredata::ManagedObjectPtr>& objects);

  // --- Saving ---------------------------------------------------------------------------------
  // The chain save: when `context` has changes, saves it (waiting or not, see DSSaveOptions) and,
  // with kParentContexts, its parents up to the root. `completion` runs once on the main queue:
  // (true, nothing) after the last level saved, (false, error) at the first level that failed
  // (the levels above are not saved and that level keeps its changes), (false, nothing) when
  // there was nothing to save. Every failure also goes to handleErrors.
  static void DS_saveWithOptions(const DSContextPtr& context, unsigned options, DSSaveCompletion completion);
  static void DS_saveOnlySelfWithCompletion(const DSContextPtr& context, DSSaveCompletion completion);
  static void DS_saveOnlySelfAndWait(const DSContextPtr& context);
  static void DS_saveToPersistentStoreWithCompletion(const DSContextPtr& context, DSSaveCompletion completion);
  // Saves up to the store while the caller waits.
  static void DS_saveToPersistentStoreAndWait(const DSContextPtr& context);
  // Runs `block` in a new child of `context` asynchronously, then saves the child up the chain.
  static void DS_saveWithBlock(const DSContextPtr& context, DSSaveBlock block, DSSaveCompletion completion = {});
  // The same while the caller waits, returning after the store is written.
  static void DS_saveWithBlockAndWait(const DSContextPtr& context, DSSaveBlock block);

  // Older saves, thin adapters over the ones above.
  using ErrorCallback = std::function<void(const std::optional<foundation::Error>& error)>;
  static void DS_save(const DSContextPtr& context) { DS_saveToPersistentStoreAndWait(context); }
  static void DS_saveWithErrorCallback(const DSContextPtr& context, ErrorCallback errorCallback);
  static void DS_saveInBackgroundCompletion(const DSContextPtr& context, std::function<void()> completion);
  static void DS_saveInBackgroundErrorHandler(const DSContextPtr& context, ErrorCallback errorHandler);
  static void DS_saveInBackgroundErrorHandler(const DSContextPtr& context, ErrorCallback errorHandler,
                                              std::function<void()> completion);
  static void DS_saveNestedContexts(const DSContextPtr& context);
  static void DS_saveNestedContextsErrorHandler(const DSContextPtr& context, ErrorCallback errorHandler);
  static void DS_saveNestedContextsErrorHandler(const DSContextPtr& context, ErrorCallback errorHandler,
                                                std::function<void()> completion);
};
