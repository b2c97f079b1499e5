#include "coredata/ContextCategories.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>

#include "coredata/DataStackLog.h"
#include "coredata/ICloud.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/String.h"

using coredata::ConcurrencyType;
using coredata::ManagedObjectContext;
using coredata::ManagedObjectPtr;
using foundation::Dictionary;
using foundation::Notification;
using foundation::NotificationCenter;
using foundation::Value;

namespace {

// The observations a context holds, kept in its own user info so that they end with it: a
// context that goes away can never be called back, and its address can be reused safely.
// Key: the sender observed (null for the context's own will-save).
class ObserverBag : public foundation::Object {
 public:
  ~ObserverBag() override { removeAll(); }
  void add(const void* observed, NotificationCenter::ObserverToken token) {
    std::lock_guard<std::mutex> lock(mutex_);
    tokens_.emplace(observed, token);
  }
  void remove(const void* observed) {
    std::vector<NotificationCenter::ObserverToken> gone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto [first, last] = tokens_.equal_range(observed);
      for (auto it = first; it != last; ++it) gone.push_back(it->second);
      tokens_.erase(first, last);
    }
    for (auto token : gone) NotificationCenter::defaultCenter().removeObserver(token);
  }
  void removeAll() {
    std::multimap<const void*, NotificationCenter::ObserverToken> gone;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      gone.swap(tokens_);
    }
    for (const auto& entry : gone) NotificationCenter::defaultCenter().removeObserver(entry.second);
  }

 private:
  std::mutex mutex_;
  std::multimap<const void*, NotificationCenter::ObserverToken> tokens_;
};

constexpr const char* kObserverBagKey = "DataStackObservations";

// Runs `work` inside the context's queue; a main-queue context on the main thread runs it directly.
void inQueue(const DSContextPtr& context, const std::function<void()>& work) {
  if (context->concurrencyType() == ConcurrencyType::MainQueue && dispatch::Queue::isMainThread()) {
    work();
    return;
  }
  context->performAndWait(work);
}

std::shared_ptr<ObserverBag> bagOf(const DSContextPtr& context) {
  std::shared_ptr<ObserverBag> bag;
  inQueue(context, [&] {
    Dictionary& info = context->userInfo();
    bag = info.get(kObserverBagKey).objectAs<ObserverBag>();
    if (bag) return;
    bag = std::make_shared<ObserverBag>();
    info.set(kObserverBagKey, Value(std::static_pointer_cast<foundation::Object>(bag)));
  });
  return bag;
}

// Observes `name` from `observed` on behalf of `context`; the block gets the context while it lives.
void observe(const DSContextPtr& context, const char* name, const DSContextPtr& observed,
             std::function<void(const DSContextPtr&, const Notification&)> handler) {
  std::weak_ptr<ManagedObjectContext> weak = context;
  const void* sender = observed->notificationSender();
  const auto token = NotificationCenter::defaultCenter().addObserver(
      name, sender, nullptr, [weak, handler](const Notification& notification) {
        if (auto strong = weak.lock()) handler(strong, notification);
      });
  bagOf(context)->add(context == observed ? nullptr : sender, token);
}

// --- Slots -----------------------------------------------------------------------------------

std::mutex gDefaultMutex;  // the lock "on the context class" guarding the default-context slot
DSContextPtr gDefaultContext;
std::mutex gRootMutex;
DSContextPtr gRootContext;
// The class-level observation of the root's did-save.
std::mutex gRootObservationMutex;
NotificationCenter::ObserverToken gRootDidSaveToken = 0;
// The pending observer that starts the default context's cloud observation once cloud set-up completes.
std::mutex gICloudSetupMutex;
NotificationCenter::ObserverToken gICloudSetupToken = 0;
// Bumped to invalidate every thread's cached context at once.
std::atomic<std::int32_t> gCacheVersion{0};

// The calling thread's cache: its context and the version it was made under.
thread_local Dictionary tThreadDictionary;

void replaceRootObservation(const DSContextPtr& root) {
  NotificationCenter::ObserverToken old = 0;
  NotificationCenter::ObserverToken fresh = 0;
  if (root) {
    fresh = NotificationCenter::defaultCenter().addObserver(
        coredata::kManagedObjectContextDidSaveNotification, root->notificationSender(), nullptr,
        [](const Notification& notification) { DSManagedObjectContext::rootContextDidSave(notification); });
  }
  {
    std::lock_guard<std::mutex> lock(gRootObservationMutex);
    old = gRootDidSaveToken;
    gRootDidSaveToken = fresh;
  }
  if (old != 0) NotificationCenter::defaultCenter().removeObserver(old);
}

void replaceICloudSetupObservation(NotificationCenter::ObserverToken fresh) {
  NotificationCenter::ObserverToken old = 0;
  {
    std::lock_guard<std::mutex> lock(gICloudSetupMutex);
    old = gICloudSetupToken;
    gICloudSetupToken = fresh;
  }
  if (old != 0) NotificationCenter::defaultCenter().removeObserver(old);
}

// With iCloud on, the new default context merges cloud imports at once; otherwise it starts when
// the cloud set-up reports completion (which may never happen with a local stack).
void observeICloudChanges(const DSContextPtr& context, const DSCoordinatorPtr& coordinator) {
  if (DataStackICloud::isICloudEnabled()) {
    DSManagedObjectContextICloud::DS_observeiCloudChangesInCoordinator(context, coordinator);
    return;
  }
  replaceICloudSetupObservation(NotificationCenter::defaultCenter().addObserver(
      kDataStackPSCDidCompleteiCloudSetupNotification, nullptr, dispatch::mainQueue(), [](const Notification&) {
        if (auto current = DSManagedObjectContext::DS_defaultContext()) {
          DSManagedObjectContextICloud::DS_observeiCloudChangesInCoordinator(
              current, DSPersistentStoreCoordinator::DS_defaultStoreCoordinatorSlot());
        }
      }));
}

std::string threadText() { return dispatch::Queue::isMainThread() ? "the main thread" : "a background thread"; }

}  // namespace

// --- The stack's contexts --------------------------------------------------------------------------

void DSManagedObjectContext::DS_initializeDefaultContextWithCoordinator(const DSCoordinatorPtr& coordinator) {
  if (DS_defaultContext()) return;
  DSContextPtr root = DS_contextWithStoreCoordinator(coordinator);
  DS_setRootSavingContext(root);
  DSContextPtr context = DS_newMainQueueContext();
  DS_setDefaultContext(context);
  context->setParentContext(root);
}

DSContextPtr DSManagedObjectContext::DS_defaultContext() {
  std::lock_guard<std::mutex> lock(gDefaultMutex);
  return gDefaultContext;
}

DSContextPtr DSManagedObjectContext::DS_rootSavingContext() {
  std::lock_guard<std::mutex> lock(gRootMutex);
  return gRootContext;
}

void DSManagedObjectContext::DS_setRootSavingContext(const DSContextPtr& context) {
  DSContextPtr old;
  {
    std::lock_guard<std::mutex> lock(gRootMutex);
    old = gRootContext;
    gRootContext = context;
  }
  if (old) DS_stopObserving(old);
  if (!context) return;
  std::weak_ptr<ManagedObjectContext> weak = context;
  context->perform([weak] {
    auto root = weak.lock();
    if (!root) return;
    DS_obtainPermanentIDsBeforeSaving(root);
    root->setMergePolicy(coredata::MergePolicy::MergeByPropertyObjectTrump);
    DS_setWorkingName(root, kDataStackRootSavingContextName);
  });
  dslog::log(dslog::kInfo, "Set root saving context: %@", context);
}

void DSManagedObjectContext::DS_setDefaultContext(const DSContextPtr& context) {
  DSContextPtr old;
  {
    std::lock_guard<std::mutex> lock(gDefaultMutex);
    old = gDefaultContext;
    gDefaultContext = context;
  }
  if (old) DS_stopObserving(old);
  replaceICloudSetupObservation(0);
  const DSCoordinatorPtr coordinator = DSPersistentStoreCoordinator::DS_defaultStoreCoordinatorSlot();
  if (old && DataStackICloud::isICloudEnabled()) {
    DSManagedObjectContextICloud::DS_stopObservingiCloudChangesInCoordinator(old, coordinator);
  }
  if (context) DS_setWorkingName(context, kDataStackDefaultContextName);
  replaceRootObservation(context ? DS_rootSavingContext() : nullptr);
  if (context) DS_obtainPermanentIDsBeforeSaving(context);
  if (context) observeICloudChanges(context, coordinator);
  dslog::log(dslog::kInfo, "Set default context: %@", context);
}

// --- Making contexts -----------------------------------------------------------------------------

DSContextPtr DSManagedObjectContext::DS_context() { return DS_contextWithParent(DS_rootSavingContext()); }

DSContextPtr DSManagedObjectContext::DS_contextWithParent(const DSContextPtr& parent) {
  DSContextPtr context = DS_newPrivateQueueContext();
  context->setParentContext(parent);
  DS_obtainPermanentIDsBeforeSaving(context);
  return context;
}

DSContextPtr DSManagedObjectContext::DS_contextWithStoreCoordinator(const DSCoordinatorPtr& coordinator) {
  if (!coordinator) return nullptr;
  DSContextPtr context = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
  context->performAndWait([&] { context->setPersistentStoreCoordinator(coordinator); });
  dslog::log(dslog::kVerbose, "Created new context %@ with store coordinator: %@", DS_workingName(context), coordinator);
  return context;
}

DSContextPtr DSManagedObjectContext::DS_newMainQueueContext() {
  DSContextPtr context = ManagedObjectContext::create(ConcurrencyType::MainQueue);
  dslog::log(dslog::kInfo, "Created new main queue context: %@", context);
  return context;
}

DSContextPtr DSManagedObjectContext::DS_newPrivateQueueContext() {
  DSContextPtr context = ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
  dslog::log(dslog::kInfo, "Created new private queue context: %@", context);
  return context;
}

DSContextPtr DSManagedObjectContext::DS_contextWithoutParent() {
  return ManagedObjectContext::create(ConcurrencyType::PrivateQueue);
}

// --- Per-thread contexts -------------------------------------------------------------------------

DSContextPtr DSManagedObjectContext::DS_contextForCurrentThread() {
  if (dispatch::Queue::isMainThread()) return DS_defaultContext();
  const std::int32_t version = gCacheVersion.load();
  auto cached = tThreadDictionary.get(kDataStackContextForThreadKey).objectAs<ManagedObjectContext>();
  const Value* stored = tThreadDictionary.find(kDataStackCacheVersionForThreadKey);
  if (cached && stored && stored->intValue() == version) return cached;
  DSContextPtr context = DS_contextWithParent(DS_defaultContext());
  tThreadDictionary.set(kDataStackContextForThreadKey, Value(std::static_pointer_cast<foundation::Object>(context)));
  tThreadDictionary.set(kDataStackCacheVersionForThreadKey, Value(static_cast<int>(version)));
  return context;
}

void DSManagedObjectContext::DS_clearNonMainThreadContextsCache() { gCacheVersion.fetch_add(1); }

void DSManagedObjectContext::DS_clearContextForCurrentThread() {
  tThreadDictionary.remove(kDataStackContextForThreadKey);
  tThreadDictionary.remove(kDataStackCacheVersionForThreadKey);
}

void DSManagedObjectContext::DS_resetContextForCurrentThread() {
  DSContextPtr context = DS_contextForCurrentThread();
  if (context) inQueue(context, [&] { context->reset(); });
}

void DSManagedObjectContext::DS_resetDefaultContext() {
  if (!dispatch::Queue::isMainThread()) {
    dispatch::mainQueue()->async([] { DS_resetDefaultContext(); });
    return;
  }
  if (DSContextPtr context = DS_defaultContext()) context->reset();
}

// --- Observing -----------------------------------------------------------------------------------

void DSManagedObjectContext::rootContextDidSave(const Notification& notification) {
  const DSContextPtr root = DS_rootSavingContext();
  if (!root || notification.sender() != root->notificationSender()) return;
  if (!dispatch::Queue::isMainThread()) {
    dispatch::mainQueue()->async([notification] { rootContextDidSave(notification); });
    return;
  }
  const DSContextPtr context = DS_defaultContext();
  if (!context) return;
  // Fire the faults of the updated objects first, so that the merge refreshes loaded values
  // instead of skipping objects the default context has never read.
  for (const Value& value : notification.userInfo().get(coredata::kUpdatedObjectsKey).arrayValue()) {
    const auto object = value.objectAs<coredata::ManagedObject>();
    if (!object) continue;
    if (const auto local = context->objectWithID(object->objectID())) local->willAccessValueForKey();
  }
  DS_mergeChangesFromNotification(context, notification);
}

void DSManagedObjectContext::DS_cleanUp() {
  DS_setDefaultContext(nullptr);
  DS_setRootSavingContext(nullptr);
  DS_clearNonMainThreadContextsCache();
}

void DSManagedObjectContext::DS_obtainPermanentIDsBeforeSaving(const DSContextPtr& context) {
  observe(context, coredata::kManagedObjectContextWillSaveNotification, context,
          [](const DSContextPtr&, const Notification& notification) { DS_contextWillSave(notification); });
}

void DSManagedObjectContext::DS_contextWillSave(const Notification& notification) {
  const auto context = std::dynamic_pointer_cast<ManagedObjectContext>(notification.object());
  if (!context) return;
  const std::vector<ManagedObjectPtr> inserted = context->insertedObjects();
  if (inserted.empty()) return;
  dslog::log(dslog::kVerbose,
             "Context '%@' is about to save: obtaining permanent IDs for %lu new inserted object(s).",
             DS_workingName(context), static_cast<unsigned long>(inserted.size()));
  foundation::Error error;
  if (!context->obtainPermanentIDsForObjects(inserted, &error)) DataStack::handleErrors(error);
}

void DSManagedObjectContext::DS_stopObserving(const DSContextPtr& context) { bagOf(context)->removeAll(); }

void DSManagedObjectContext::DS_observeContext(const DSContextPtr& context, const DSContextPtr& other) {
  if (!context || !other) return;
  observe(context, coredata::kManagedObjectContextDidSaveNotification, other,
          [](const DSContextPtr& self, const Notification& n) { DS_mergeChangesFromNotification(self, n); });
}

void DSManagedObjectContext::DS_observeContextOnMainThread(const DSContextPtr& context, const DSContextPtr& other) {
  if (!context || !other) return;
  observe(context, coredata::kManagedObjectContextDidSaveNotification, other,
          [](const DSContextPtr& self, const Notification& n) { DS_mergeChangesOnMainThread(self, n); });
}

void DSManagedObjectContext::DS_stopObservingContext(const DSContextPtr& context, const DSContextPtr& other) {
  if (!context || !other) return;
  bagOf(context)->remove(other->notificationSender());
}

void DSManagedObjectContext::DS_mergeChangesFromNotification(const DSContextPtr& context,
                                                             const Notification& notification) {
  dslog::log(dslog::kVerbose, "Merging changes to %@context%@",
             context == DS_defaultContext() ? "*** DEFAULT *** " : "",
             dispatch::Queue::isMainThread() ? " *** on Main Thread ***" : "");
  inQueue(context, [&] { context->mergeChangesFromContextDidSaveNotification(notification); });
}

void DSManagedObjectContext::DS_mergeChangesOnMainThread(const DSContextPtr& context,
                                                         const Notification& notification) {
  if (dispatch::Queue::isMainThread()) {
    DS_mergeChangesFromNotification(context, notification);
    return;
  }
  dispatch::mainQueue()->sync([&] { DS_mergeChangesFromNotification(context, notification); });
}

// --- Names and descriptions ----------------------------------------------------------------------

void DSManagedObjectContext::DS_setWorkingName(const DSContextPtr& context, const std::string& workingName) {
  inQueue(context, [&] { context->userInfo().set(kDataStackContextWorkingNameKey, Value(workingName)); });
}

std::string DSManagedObjectContext::DS_workingName(const DSContextPtr& context) {
  std::string name;
  inQueue(context, [&] { name = context->userInfo().get(kDataStackContextWorkingNameKey).stringValue(); });
  return name.empty() ? std::string(kDataStackUntitledContextName) : name;
}

std::string DSManagedObjectContext::DS_description(const DSContextPtr& context) {
  return foundation::stringWithFormat("<%@ (%p): %@> on %@", "ManagedObjectContext",
                                      static_cast<const void*>(context.get()), DS_workingName(context), threadText());
}

std::string DSManagedObjectContext::DS_parentChain(const DSContextPtr& context) {
  std::string chain = "\n";
  bool first = true;
  for (DSContextPtr level = context; level; level = level->parentContext()) {
    chain += foundation::stringWithFormat("- %@ (%p) %@\n", DS_workingName(level),
                                          static_cast<const void*>(level.get()), first ? "(*)" : "");
    first = false;
  }
  return chain;
}

void DSManagedObjectContext::DS_deleteObjects(const DSContextPtr& context, const std::vector<ManagedObjectPtr>& objects) {
  for (const auto& object : objects) context->deleteObject(object);
}
