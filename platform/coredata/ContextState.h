#pragma once
// The private state of a ManagedObjectContext and the work done on it: the registry of objects,
// change tracking, fault loading, saving into a parent or the store, fetch evaluation and merges.
// Only ManagedObjectContext.cpp, ContextState.cpp and ManagedObject.cpp include this.
//
// Locking: every field is guarded by `mutex` (recursive, so object accessors may nest). A context
// may lock its parent while holding its own lock (child -> parent order, never the reverse), and
// the coordinator's lock is always taken last. Hooks, observers and notifications run with no
// context lock held.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/coredata/ManagedObjectContext.h"

namespace coredata {

struct ManagedObjectContext::State {
  using Lock = std::unique_lock<std::recursive_mutex>;

  // A value change to announce to the object's observers once no lock is held.
  struct KeyChange {
    ManagedObjectPtr object;
    std::string key;
    foundation::Value oldValue;
  };
  // What a parent or the store knows of an object.
  struct Snapshot {
    foundation::Dictionary values;
    std::int64_t version = 0;
  };
  enum class Lookup { Found, Deleted, Missing, Failed };
  struct SaveResult {
    std::vector<ManagedObjectPtr> inserted, updated, deleted;
    std::vector<KeyChange> parentChanges;
  };

  mutable std::recursive_mutex mutex;
  std::weak_ptr<ManagedObjectContext> self;
  std::shared_ptr<ManagedObjectContext> parent;
  std::shared_ptr<PersistentStoreCoordinator> coordinator;
  MergePolicy mergePolicy = MergePolicy::Error;

  // Registered objects in registration order, and their order number by ID (URI).
  std::map<std::uint64_t, ManagedObjectPtr> byOrder;
  std::unordered_map<std::string, std::uint64_t> orderByURI;
  std::uint64_t nextOrder = 1;
  // Order numbers of objects with unsaved changes.
  std::set<std::uint64_t> changed;
  // Changes not yet announced by objects-did-change.
  std::vector<ManagedObjectPtr> pendingInserted, pendingUpdated, pendingDeleted;

  // --- registry ---
  std::shared_ptr<PersistentStoreCoordinator> rootCoordinator() const;
  ManagedObjectPtr registered(const ManagedObjectID& id) const;
  void add(const ManagedObjectPtr& object);
  void remove(const ManagedObject& object);
  void markChanged(const ManagedObject& object);
  void unmarkChanged(const ManagedObject& object);
  std::vector<ManagedObjectPtr> changedObjects(const std::function<bool(const ManagedObject&)>& filter) const;
  static std::vector<ManagedObjectPtr> unique(const std::vector<ManagedObjectPtr>& objects);

  // --- values ---
  // Loads a fault's values (then runs awakeFromFetch with no lock held).
  void ensureLoaded(ManagedObject& object);
  static void awakeFromFetch(ManagedObject& object);
  // The value of `key` as observers and readers see it (relationships as objects of this context).
  foundation::Value display(const ManagedObject& object, const std::string& key);
  // Stores `stored` (relationships as IDs) under `key` and records the change.
  void mutate(const ManagedObjectPtr& object, const std::string& key, const foundation::Value& stored,
              std::vector<KeyChange>& changes);
  // A change record with the current (old) value, read only when someone observes the key.
  KeyChange keyChange(const ManagedObjectPtr& object, const std::string& key);
  void recordChange(ManagedObject& object, const std::string& key);
  static void fire(const std::vector<KeyChange>& changes);
  // Sets a relationship to `ids` (an ObjectIDPtr Value, null, or an Array of them), keeping
  // inverses in step.
  void setRelationship(const ManagedObjectPtr& object, const RelationshipDescription& relationship,
                       const foundation::Value& ids, std::vector<KeyChange>& changes);
  void nullifyInverses(ManagedObject& object, std::vector<KeyChange>& changes);
  ManagedObjectPtr loadedInstance(const ObjectIDPtr& id);

  // --- lookups through the parent chain ---
  // This context's view of an object (for its children).
  Lookup snapshotFor(const ManagedObjectID& id, Snapshot* snapshot, foundation::Error* error);
  // The parent's (or the store's) view of an object.
  Lookup sourceSnapshot(const ManagedObjectID& id, Snapshot* snapshot, foundation::Error* error);
  // The registered instance for `id`, filled from `snapshot` when new or a fault (the snapshot's
  // values are taken, not copied: text attributes can be megabytes).
  ManagedObjectPtr instanceFromSnapshot(const ObjectIDPtr& id, Snapshot snapshot);

  // --- saving ---
  bool obtainPermanentIDs(const std::vector<ManagedObjectPtr>& objects, foundation::Error* error);
  bool validate(foundation::Error* error);
  bool commit(SaveResult* result, foundation::Error* error);
  bool pushIntoParent(SaveResult* result, foundation::Error* error);
  bool writeToStore(std::map<std::string, std::int64_t>* versions, foundation::Error* error);
  void finishSave(SaveResult* result, const std::map<std::string, std::int64_t>* versions);

  // --- fetching and merging ---
  // One object a fetch may return, before its values are read: where they are (`source`, a loaded
  // object of this context or an ancestor, or the store row `primaryKey` when null) and whether a
  // level dropped it. Values are copied only for objects this context has not loaded itself.
  struct Candidate {
    ObjectIDPtr id;
    std::int64_t primaryKey = 0;
    std::int64_t version = 0;
    ManagedObjectPtr source;
    bool removed = false;
  };
  std::optional<foundation::Array> execute(const FetchRequest& request, foundation::Error* error);
  void overlay(const EntityDescription& entity, std::vector<Candidate>& candidates,
               std::unordered_map<std::string, std::size_t>& index);
  // The snapshots of `candidates` for instanceFromSnapshot: empty for objects this context holds
  // loaded, copied from the source object, or read from the store. Call with the chain locked.
  bool readCandidates(const EntityDescription& entity, std::vector<Candidate>& candidates,
                      std::vector<Snapshot>& snapshots, foundation::Error* error);
  foundation::Dictionary merge(const foundation::Dictionary& userInfo);
  // Whether `context` is this context's parent or one of its ancestors.
  bool isAncestor(const ManagedObjectContext& context) const;
};

}  // namespace coredata
