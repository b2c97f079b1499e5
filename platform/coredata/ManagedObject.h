#pragma once
// ManagedObject stands in for the platform's managed object: one record of an entity, living in
// one context, read and written by key (key-value coding) and observed by key (key-value
// observation). Subclasses (registered by class name, see registerEntityClass) add computed keys
// and lifecycle hooks; fetched rows become instances of the registered subclass.
//
// An object belongs to its context's queue: use it only inside that context's perform blocks
// (or on the main thread for a main-queue context). Internally its values are guarded by the
// context's lock, so a parent context pushing a save into it from another thread is safe.
// Objects are always held by std::shared_ptr (they are made by a factory or by create<T>()).
//
// Left out: faulting of single relationships, undo, derived attributes, validation methods per key.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/coredata/EntityDescription.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/foundation/KeyValueCoding.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Value.h"

namespace coredata {

class ManagedObjectContext;

class ManagedObject : public foundation::Object,
                      public foundation::KeyValueCoding,
                      public std::enable_shared_from_this<ManagedObject> {
 public:
  using Factory = std::function<std::shared_ptr<ManagedObject>()>;
  // Called after a key's value changed: the object, the key, the old and the new value.
  using Observer = std::function<void(ManagedObject& object, const std::string& keyPath,
                                      const foundation::Value& oldValue, const foundation::Value& newValue)>;
  using ObserverToken = foundation::KeyValueObserving::ObserverToken;

  ManagedObject();
  ~ManagedObject() override;
  ManagedObject(const ManagedObject&) = delete;
  ManagedObject& operator=(const ManagedObject&) = delete;

  // --- Class registry -------------------------------------------------------------------------
  // Makes `factory` the maker of objects whose entity's managedObjectClassName is `className`
  // (the entity name too, when the class name is empty). Replaces an earlier registration.
  // Thread-safe.
  static void registerEntityClass(const std::string& className, Factory factory);
  // A new, uninitialised instance of the class registered for `entity` (plain ManagedObject when
  // none). Thread-safe.
  static std::shared_ptr<ManagedObject> instantiate(const EntityDescription& entity);

  // --- Creation -------------------------------------------------------------------------------
  // Makes this object an instance of `entity` and, when `context` is given, inserts it there
  // (temporary ID, default values, then awakeFromInsert()). Without a context the object is not
  // inserted anywhere; ManagedObjectContext::insertObject can insert it later. Call once, right after making it.
  void initWithEntity(std::shared_ptr<const EntityDescription> entity,
                      const std::shared_ptr<ManagedObjectContext>& context);
  // make_shared<T>() then initWithEntity.
  template <typename T>
  static std::shared_ptr<T> create(std::shared_ptr<const EntityDescription> entity,
                                   const std::shared_ptr<ManagedObjectContext>& context) {
    auto object = std::make_shared<T>();
    object->initWithEntity(std::move(entity), context);
    return object;
  }
  // Inserts a new instance of the entity `entityName` of the context's model, made by the
  // registered class. Null when the context has no model or the model lacks the entity.
  static std::shared_ptr<ManagedObject> insertNewObjectForEntityForName(
      const std::string& entityName, const std::shared_ptr<ManagedObjectContext>& context);

  // --- Identity and state ---------------------------------------------------------------------
  std::shared_ptr<const EntityDescription> entity() const;
  ObjectIDPtr objectID() const;
  // The context the object lives in; null when never inserted or after its context let it go.
  std::shared_ptr<ManagedObjectContext> managedObjectContext() const;
  bool isInserted() const;
  bool isUpdated() const;
  bool isDeleted() const;
  // Whether its values are not loaded yet; any read loads them.
  bool isFault() const;
  // Inserted, deleted, or with changed values.
  bool hasChanges() const;
  // Changed keys with their new values (all values of an inserted object).
  foundation::Dictionary changedValues() const;
  // The values last saved or loaded (what the parent context or store has), for `keys` or for
  // every property when `keys` is empty.
  foundation::Dictionary committedValuesForKeys(const std::vector<std::string>& keys = {}) const;

  // --- Key-value coding -----------------------------------------------------------------------
  // The value of a property: attributes as stored (null when unset), to-one relationships as the
  // related object (in this object's context) or null, to-many relationships as an Array of
  // objects. Subclasses override to add computed keys and call the base for the rest. Unknown
  // keys give null. Loads a fault first.
  foundation::Value valueForKey(const std::string& key) const override;
  // Calls `reader` with the stored value of the attribute `key` (null when unset or not an
  // attribute) without copying it: for reading a text of megabytes once. Loads a fault first.
  // `reader` runs under the context's lock, so it must not use this object or its context.
  void readValueForKey(const std::string& key, const std::function<void(const foundation::Value&)>& reader) const;
  // Whether the entity has a property `key`; subclasses add their computed keys.
  bool hasKey(const std::string& key) const override;
  // Sets a property: attributes take any Value (type checked at save), to-one relationships a
  // ManagedObject of the same context or null, to-many an Array of such objects. Keeps inverse
  // relationships in step, records the change with the context and notifies observers of the key
  // (also when the value is equal to the old one). Returns false, changing nothing, for unknown
  // keys or unfit relationship values. Subclasses override for computed keys.
  virtual bool setValueForKey(const foundation::Value& value, const std::string& key);
  // Reads and writes of the stored value without observers or subclass logic; the write is still
  // recorded as a change.
  foundation::Value primitiveValueForKey(const std::string& key) const;
  void setPrimitiveValueForKey(const foundation::Value& value, const std::string& key);
  // To-many conveniences: the related objects, and adding/removing one (inverse kept in step).
  std::vector<std::shared_ptr<ManagedObject>> objectsForKey(const std::string& key) const;
  bool addObjectForKey(const std::shared_ptr<ManagedObject>& object, const std::string& key);
  bool removeObjectForKey(const std::shared_ptr<ManagedObject>& object, const std::string& key);
  // Loads the values of a fault (the key is not needed; empty means "the whole object").
  void willAccessValueForKey(const std::string& key = {}) const;

  // --- Key-value observation ------------------------------------------------------------------
  // Calls `observer` after every set of `key` (through setValueForKey) and after a merge or a
  // child's save changes its value, on the thread that made the change, with no lock held.
  // Without `withValues` the observer is told of the change only, with null old and new values,
  // as a platform observer registered without the old and new options is: a change of a large
  // text then copies nothing for it. Returns a token for removeObserver. Thread-safe.
  ObserverToken addObserver(const std::string& key, Observer observer, bool withValues = true);
  // Stops the observation; safe to call from inside the observer. Unknown tokens are ignored.
  void removeObserver(ObserverToken token);

  // --- Lifecycle hooks (subclasses call the base first) ---------------------------------------
  // Once, right after the object is first inserted into a context.
  virtual void awakeFromInsert() {}
  // After its values are loaded from a parent context or the store. Changes made here are kept
  // in memory but not recorded (the object does not become updated), as on the platform.
  virtual void awakeFromFetch() {}
  // Before the context saves it (inserted, updated or deleted); changes made here are saved.
  virtual void willSave() {}
  // After the context saved it.
  virtual void didSave() {}
  // When it is deleted from its context, before relationships are cleared.
  virtual void prepareForDeletion() {}

  // "<Entity: 0x…> (entity: E; id: …; data: {…})".
  std::string description() const override;

 private:
  friend class ManagedObjectContext;

  // Everything below is guarded by the owning context's lock (or unguarded without a context).
  std::shared_ptr<const EntityDescription> entity_;
  ObjectIDPtr objectID_;
  std::weak_ptr<ManagedObjectContext> context_;
  bool fault_ = false;
  bool inserted_ = false;
  bool deleted_ = false;
  bool awakeDone_ = false;
  // Attribute values, and relationships as IDs (ObjectIDPtr or Array of them).
  foundation::Dictionary values_;
  // The values last saved or loaded, kept only for the keys changed since (every other key's
  // committed value is its value in values_): a loaded text of megabytes is held once, and
  // loading or saving it copies nothing. An inserted object has no committed values.
  foundation::Dictionary committed_;
  const foundation::Value& committedValue(const std::string& key) const;
  foundation::Dictionary committedValues() const;
  void forEachCommittedValue(const std::function<void(const std::string&, const foundation::Value&)>& visit) const;
  // Before values_[key] changes: its committed value, unless kept already, moves aside.
  void keepCommitted(const std::string& key);
  // Everything held is committed now (after a load or a save).
  void commitValues() { committed_.clear(); }
  // Back to the committed values (a rollback).
  void restoreCommitted();
  std::set<std::string> changedKeys_;
  std::int64_t rowVersion_ = 0;
  // Set while awakeFromFetch runs: sets then count as loaded values, not as changes.
  bool loadingValues_ = false;

  foundation::KeyValueObserving observation_;
  // The observers registered without values; their tokens carry kValuelessToken.
  foundation::KeyValueObserving valuelessObservation_;
  static constexpr ObserverToken kValuelessToken = ObserverToken{1} << 63;
};

using ManagedObjectPtr = std::shared_ptr<ManagedObject>;

}  // namespace coredata
