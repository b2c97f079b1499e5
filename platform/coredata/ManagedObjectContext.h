#pragma once
// ManagedObjectContext stands in for the platform's managed object context: a scratch pad of
// objects loaded from, and saved to, either a parent context or a persistent store coordinator.
// It holds one instance per object ID, records inserts, changes and deletions, and saves them:
// a child's save pushes them into its parent's memory, a root's save writes the store in one
// transaction. Fetches see the context's own unsaved changes and those of its ancestors.
//
// Concurrency: a private-queue context runs its work on its own serial dispatch queue, a
// main-queue context on the main queue; use its objects only inside perform/performAndWait (or on
// the main thread for a main-queue context). Internally every context also guards its state with
// a lock, so children reading through it or saving into it from their own queues are safe, and no
// context ever waits for another context's queue.
//
// Notifications on foundation::NotificationCenter::defaultCenter(), with the context as object:
// will-save (before a save, no user info), did-save (after a successful save, synchronously on
// the saving thread, user info "inserted"/"updated"/"deleted": Arrays of the saved objects) and
// objects-did-change (from processPendingChanges, which save() also calls, for the inserts, changes
// and deletions made here or pushed in by a child since the last one: "inserted"/"updated"/
// "deleted"; and after a merge: "refreshed"/"deleted").
//
// Left out: undo managers, staleness intervals, confinement-type contexts, nested transactions.
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/coredata/FetchRequest.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/MergePolicy.h"
#include "platform/coredata/PersistentStoreCoordinator.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Value.h"

namespace dispatch {
class Queue;
}

namespace coredata {

// The platform's concurrency type codes.
enum class ConcurrencyType { PrivateQueue = 1, MainQueue = 2 };

inline constexpr const char* kManagedObjectContextWillSaveNotification = "NSManagedObjectContextWillSaveNotification";
inline constexpr const char* kManagedObjectContextDidSaveNotification = "NSManagedObjectContextDidSaveNotification";
inline constexpr const char* kManagedObjectContextObjectsDidChangeNotification =
    "NSManagedObjectContextObjectsDidChangeNotification";
inline constexpr const char* kInsertedObjectsKey = "inserted";
inline constexpr const char* kUpdatedObjectsKey = "updated";
inline constexpr const char* kDeletedObjectsKey = "deleted";
inline constexpr const char* kRefreshedObjectsKey = "refreshed";

class ManagedObjectContext : public foundation::Object,
                             public std::enable_shared_from_this<ManagedObjectContext> {
 public:
  // A new context with neither parent nor coordinator.
  static std::shared_ptr<ManagedObjectContext> create(ConcurrencyType type);
  ~ManagedObjectContext() override;
  ManagedObjectContext(const ManagedObjectContext&) = delete;
  ManagedObjectContext& operator=(const ManagedObjectContext&) = delete;

  ConcurrencyType concurrencyType() const { return type_; }
  // The queue the context's work runs on (its own serial queue, or the main queue).
  const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }

  // --- Where the data comes from --------------------------------------------------------------
  // Sets the parent (clearing any coordinator of this context's own). Set before use.
  void setParentContext(std::shared_ptr<ManagedObjectContext> parent);
  std::shared_ptr<ManagedObjectContext> parentContext() const;
  // Sets the coordinator (clearing any parent). Set before use.
  void setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator);
  // This context's coordinator, or the root ancestor's; null when there is none.
  std::shared_ptr<PersistentStoreCoordinator> persistentStoreCoordinator() const;
  // The coordinator's model, or null.
  std::shared_ptr<const ManagedObjectModel> managedObjectModel() const;

  // Free-form per-context data (the layer keeps the working name here). Use inside the queue.
  foundation::Dictionary& userInfo() { return userInfo_; }
  MergePolicy mergePolicy() const;
  void setMergePolicy(MergePolicy policy);

  // --- Running work ---------------------------------------------------------------------------
  // Runs `block` asynchronously on the context's queue. Thread-safe.
  void perform(std::function<void()> block);
  // Runs `block` on the calling thread while holding the context's queue and returns after it.
  // Re-entrant (a block already on the queue runs at once), and on the main thread a main-queue
  // context runs it directly. Thread-safe.
  void performAndWait(const std::function<void()>& block);

  // --- Objects --------------------------------------------------------------------------------
  bool hasChanges() const;
  std::vector<ManagedObjectPtr> insertedObjects() const;
  std::vector<ManagedObjectPtr> updatedObjects() const;
  std::vector<ManagedObjectPtr> deletedObjects() const;
  std::vector<ManagedObjectPtr> registeredObjects() const;

  // Inserts an object made without a context (ManagedObject::initWithEntity with none): it gets a
  // temporary ID and awakeFromInsert() runs. Objects of another context are refused (ignored).
  void insertObject(const ManagedObjectPtr& object);
  // Marks a registered object deleted (an unsaved insert is simply dropped), calls
  // prepareForDeletion() and nullifies inverse relationships. Others' objects are ignored.
  void deleteObject(const ManagedObjectPtr& object);

  // The registered instance for `objectID`, or a new fault for it (not checked against the
  // store: reading a fault whose record does not exist gives null values). Null for a null ID or
  // an entity the model lacks.
  ManagedObjectPtr objectWithID(const ObjectIDPtr& objectID);
  // The instance for `objectID`, loaded: null and kManagedObjectReferentialIntegrityError when
  // neither this context, its ancestors nor the store hold the object (or it is deleted here).
  ManagedObjectPtr existingObjectWithID(const ObjectIDPtr& objectID, foundation::Error* error);
  // The registered instance, or null; loads nothing.
  ManagedObjectPtr objectRegisteredForID(const ObjectIDPtr& objectID) const;

  // Gives the listed objects (inserted in this context, with temporary IDs) permanent IDs from the
  // store; others are left alone. False with `*error` when there is no store (kCoreDataError) or
  // it fails; then no ID changes.
  bool obtainPermanentIDsForObjects(const std::vector<ManagedObjectPtr>& objects, foundation::Error* error);

  // Turns an object back into a fault (dropping its unsaved changes) or, with `mergeChanges`,
  // reloads its values and keeps its unsaved changes on top.
  void refreshObject(const ManagedObjectPtr& object, bool mergeChanges);
  // Forgets every registered object and every unsaved change.
  void reset();
  // Drops every unsaved change, keeping loaded objects at their last saved values.
  void rollback();
  // Posts objects-did-change for the changes made since the last call, if any.
  void processPendingChanges();

  // --- Saving ---------------------------------------------------------------------------------
  // Saves the unsaved changes: validates them (types, mandatory values), posts will-save, calls
  // willSave() on each object, obtains permanent IDs for inserted objects when a store is
  // reachable, then pushes the changes into the parent context or writes them to the store in one
  // transaction, calls didSave() and posts did-save. Without changes it does nothing and returns
  // true. On failure returns false with `*error` (validation 1550/1560/1570, kCoreDataError when
  // there is no store, kPersistentStoreSaveError, kManagedObjectMergeError); then the store and
  // the parent are unchanged and this context keeps its changes. Call inside the context's queue.
  bool save(foundation::Error* error);

  // --- Fetching -------------------------------------------------------------------------------
  // Runs `request`: the entity's objects in the store, with the unsaved changes of the ancestors
  // and (unless the request says otherwise) of this context applied, filtered by the predicate,
  // sorted, offset and limited. Managed-object results are this context's registered instances
  // (Values holding ManagedObjectPtr); ID results hold ObjectIDPtr; dictionary results hold
  // Dictionaries; count results one number. Nothing and `*error` on failure: no entity or an
  // unknown entity (kCoreDataError), a predicate or sort key the entity lacks
  // (kKeyPathNotFoundErrorCode), no store (kCoreDataError), a store read failure.
  std::optional<foundation::Array> executeFetchRequest(const FetchRequest& request, foundation::Error* error);
  // The managed-object form of executeFetchRequest (the request's result type is ignored).
  std::optional<std::vector<ManagedObjectPtr>> fetchObjects(const FetchRequest& request, foundation::Error* error);
  // The number of objects executeFetchRequest would return (offset and limit applied). Nothing
  // and `*error` on failure.
  std::optional<std::size_t> countForFetchRequest(const FetchRequest& request, foundation::Error* error);

  // --- Merging --------------------------------------------------------------------------------
  // Applies another context's did-save notification to this context: updated objects that are
  // registered here take the saved values of every property this context has not changed itself
  // (its own unsaved edits stay, for those properties), observers hear of each changed value,
  // deleted objects are dropped; then objects-did-change is posted. Call inside the queue.
  void mergeChangesFromContextDidSaveNotification(const foundation::Notification& notification);

  // The identity notifications of this context carry (Notification::sender()): pass it to
  // NotificationCenter::addObserver to observe one context.
  const void* notificationSender() const { return static_cast<const foundation::Object*>(this); }

  // "<ManagedObjectContext: 0x…>".
  std::string description() const override;

  // The context's internals (registry, change tracking, saving, fetching); opaque to users.
  struct State;

 private:
  explicit ManagedObjectContext(ConcurrencyType type);
  friend class ManagedObject;

  ConcurrencyType type_;
  std::shared_ptr<dispatch::Queue> queue_;
  foundation::Dictionary userInfo_;
  std::unique_ptr<State> state_;
};

using ManagedObjectContextPtr = std::shared_ptr<ManagedObjectContext>;

}  // namespace coredata
