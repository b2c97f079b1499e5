#include "platform/coredata/ContextState.h"

#include <algorithm>

#include "platform/coredata/CoreDataErrors.h"

namespace coredata {

using foundation::Array;
using foundation::Dictionary;
using foundation::Error;
using foundation::Value;
using State = ManagedObjectContext::State;

namespace {

Value idValue(const ObjectIDPtr& id) { return Value(std::static_pointer_cast<foundation::Object>(id)); }

// The IDs held by a stored relationship value (one, none, or an Array of them).
std::vector<ObjectIDPtr> idsOf(const Value& stored) {
  std::vector<ObjectIDPtr> ids;
  if (stored.isArray()) {
    for (const auto& element : stored.arrayValue())
      if (auto id = element.objectAs<ManagedObjectID>()) ids.push_back(id);
  } else if (auto id = stored.objectAs<ManagedObjectID>()) {
    ids.push_back(id);
  }
  return ids;
}

bool containsID(const std::vector<ObjectIDPtr>& ids, const ObjectIDPtr& id) {
  return std::any_of(ids.begin(), ids.end(), [&](const ObjectIDPtr& other) { return sameObjectID(other, id); });
}

Value withoutID(const Value& stored, const ObjectIDPtr& id) {
  if (!stored.isArray()) return sameObjectID(stored.objectAs<ManagedObjectID>(), id) ? Value() : stored;
  Array kept;
  for (const auto& element : stored.arrayValue())
    if (!sameObjectID(element.objectAs<ManagedObjectID>(), id)) kept.push_back(element);
  return Value(std::move(kept));
}

Value replacingID(const Value& stored, const std::string& oldURI, const ObjectIDPtr& fresh) {
  auto swap = [&](const Value& element) {
    auto id = element.objectAs<ManagedObjectID>();
    return id && id->uriRepresentation() == oldURI ? idValue(fresh) : element;
  };
  if (!stored.isArray()) return swap(stored);
  Array swapped;
  for (const auto& element : stored.arrayValue()) swapped.push_back(swap(element));
  return Value(std::move(swapped));
}

Error validationError(long code, const ManagedObjectPtr& object, const std::string& key, const Value& value) {
  Dictionary userInfo;
  userInfo.set(foundation::kLocalizedDescriptionKey,
               code == kValidationMissingMandatoryPropertyError ? key + " is a required value."
                                                                : "The value of " + key + " is not valid.");
  userInfo.set(kValidationKeyErrorKey, key);
  userInfo.set(kValidationObjectErrorKey, Value(std::static_pointer_cast<foundation::Object>(object)));
  if (!value.isNull()) userInfo.set(kValidationValueErrorKey, value);
  return Error(foundation::kCocoaErrorDomain, code, std::move(userInfo));
}

}  // namespace

// --- registry --------------------------------------------------------------------------------------

std::shared_ptr<PersistentStoreCoordinator> State::rootCoordinator() const {
  Lock lock(mutex);
  if (coordinator) return coordinator;
  return parent ? parent->state_->rootCoordinator() : nullptr;
}

ManagedObjectPtr State::registered(const ManagedObjectID& id) const {
  auto order = orderByURI.find(id.uriRepresentation());
  if (order == orderByURI.end()) return nullptr;
  return byOrder.at(order->second);
}

void State::add(const ManagedObjectPtr& object) {
  std::uint64_t order = nextOrder++;
  byOrder[order] = object;
  orderByURI[object->objectID_->uriRepresentation()] = order;
}

void State::remove(const ManagedObject& object) {
  auto order = orderByURI.find(object.objectID_->uriRepresentation());
  if (order == orderByURI.end()) return;
  changed.erase(order->second);
  byOrder.erase(order->second);
  orderByURI.erase(order);
}

void State::markChanged(const ManagedObject& object) {
  auto order = orderByURI.find(object.objectID_->uriRepresentation());
  if (order != orderByURI.end()) changed.insert(order->second);
}

void State::unmarkChanged(const ManagedObject& object) {
  auto order = orderByURI.find(object.objectID_->uriRepresentation());
  if (order != orderByURI.end()) changed.erase(order->second);
}

std::vector<ManagedObjectPtr> State::changedObjects(const std::function<bool(const ManagedObject&)>& filter) const {
  Lock lock(mutex);
  std::vector<ManagedObjectPtr> objects;
  for (auto order : changed) {
    const auto& object = byOrder.at(order);
    if (filter(*object)) objects.push_back(object);
  }
  return objects;
}

std::vector<ManagedObjectPtr> State::unique(const std::vector<ManagedObjectPtr>& objects) {
  std::vector<ManagedObjectPtr> result;
  std::set<const ManagedObject*> seen;
  for (const auto& o : objects)
    if (seen.insert(o.get()).second) result.push_back(o);
  return result;
}

// --- values ------------------------------------------------------------------------------------------

void State::ensureLoaded(ManagedObject& object) {
  {
    Lock lock(mutex);
    if (!object.fault_) return;
    Snapshot snapshot;
    // A record that no longer exists reads as empty: there is no caller to report it to here.
    if (sourceSnapshot(*object.objectID_, &snapshot, nullptr) == Lookup::Found) {
      object.values_ = std::move(snapshot.values);
      object.commitValues();
      object.rowVersion_ = snapshot.version;
    }
    object.fault_ = false;
  }
  awakeFromFetch(object);
}

void State::awakeFromFetch(ManagedObject& object) {
  object.loadingValues_ = true;
  object.awakeFromFetch();
  object.loadingValues_ = false;
}

Value State::display(const ManagedObject& object, const std::string& key) {
  auto property = object.entity_ ? object.entity_->propertyNamed(key) : nullptr;
  if (!property) return Value();
  const Value& stored = object.values_.get(key);
  if (property->kind() == PropertyDescription::Kind::Attribute) return stored;
  auto context = self.lock();
  const auto& relationship = static_cast<const RelationshipDescription&>(*property);
  if (!relationship.isToMany()) {
    auto id = stored.objectAs<ManagedObjectID>();
    auto target = id && context ? context->objectWithID(id) : nullptr;
    return target ? Value(std::static_pointer_cast<foundation::Object>(target)) : Value();
  }
  Array objects;
  for (const auto& id : idsOf(stored))
    if (auto target = context ? context->objectWithID(id) : nullptr)
      objects.push_back(Value(std::static_pointer_cast<foundation::Object>(target)));
  return Value(std::move(objects));
}

State::KeyChange State::keyChange(const ManagedObjectPtr& object, const std::string& key) {
  KeyChange change{object, key, {}};
  if (object->observation_.hasObservers(key)) change.oldValue = display(*object, key);
  return change;
}

void State::recordChange(ManagedObject& object, const std::string& key) {
  if (object.loadingValues_) {
    object.committed_.remove(key);  // a value set while loading counts as committed
    return;
  }
  markChanged(object);
  if (object.inserted_) return;
  object.changedKeys_.insert(key);
  pendingUpdated.push_back(object.shared_from_this());
}

void State::mutate(const ManagedObjectPtr& object, const std::string& key, const Value& stored,
                   std::vector<KeyChange>& changes) {
  changes.push_back(keyChange(object, key));
  object->keepCommitted(key);
  object->values_.set(key, stored);
  recordChange(*object, key);
}

void State::fire(const std::vector<KeyChange>& changes) {
  for (const auto& change : changes) {
    auto& object = *change.object;
    if (object.observation_.hasObservers(change.key)) {
      Value now = object.valueForKey(change.key);
      object.observation_.setValueNotifying(change.key, change.oldValue, now);
    }
    if (object.valuelessObservation_.hasObservers(change.key)) {
      object.valuelessObservation_.setValueNotifying(change.key, Value(), Value());
    }
  }
}

ManagedObjectPtr State::loadedInstance(const ObjectIDPtr& id) {
  auto context = self.lock();
  auto object = context ? context->objectWithID(id) : nullptr;
  if (!object || !object->fault_) return object;
  // Loaded under the lock for an inverse update; its awakeFromFetch runs too, which may only
  // touch the object itself.
  Snapshot snapshot;
  if (sourceSnapshot(*id, &snapshot, nullptr) == Lookup::Found) {
    object->values_ = std::move(snapshot.values);
    object->commitValues();
    object->rowVersion_ = snapshot.version;
  }
  object->fault_ = false;
  awakeFromFetch(*object);
  return object;
}

void State::setRelationship(const ManagedObjectPtr& object, const RelationshipDescription& relationship,
                            const Value& ids, std::vector<KeyChange>& changes) {
  Lock lock(mutex);
  std::vector<ObjectIDPtr> before = idsOf(object->values_.get(relationship.name()));
  std::vector<ObjectIDPtr> after = idsOf(ids);
  mutate(object, relationship.name(), ids, changes);
  auto inverse = relationship.inverseRelationship();
  if (!inverse) return;
  for (const auto& id : before) {
    if (containsID(after, id)) continue;
    if (auto target = loadedInstance(id))
      mutate(target, inverse->name(), withoutID(target->values_.get(inverse->name()), object->objectID_), changes);
  }
  for (const auto& id : after) {
    if (containsID(before, id)) continue;
    auto target = loadedInstance(id);
    if (!target) continue;
    if (inverse->isToMany()) {
      Value current = target->values_.get(inverse->name());
      if (containsID(idsOf(current), object->objectID_)) continue;
      Array grown = current.arrayValue();
      grown.push_back(idValue(object->objectID_));
      mutate(target, inverse->name(), Value(std::move(grown)), changes);
      continue;
    }
    // A to-one inverse moves: its previous owner lets go of the target.
    auto previous = target->values_.get(inverse->name()).objectAs<ManagedObjectID>();
    if (previous && !sameObjectID(previous, object->objectID_))
      if (auto owner = loadedInstance(previous))
        mutate(owner, relationship.name(), withoutID(owner->values_.get(relationship.name()), target->objectID_),
               changes);
    mutate(target, inverse->name(), idValue(object->objectID_), changes);
  }
}

void State::nullifyInverses(ManagedObject& object, std::vector<KeyChange>& changes) {
  for (const auto& relationship : object.entity_->relationships()) {
    if (relationship->deleteRule() != DeleteRule::Nullify) continue;
    auto inverse = relationship->inverseRelationship();
    if (!inverse) continue;
    for (const auto& id : idsOf(object.values_.get(relationship->name())))
      if (auto target = loadedInstance(id))
        mutate(target, inverse->name(), withoutID(target->values_.get(inverse->name()), object.objectID_), changes);
  }
}

// --- lookups -------------------------------------------------------------------------------------------

State::Lookup State::snapshotFor(const ManagedObjectID& id, Snapshot* snapshot, Error* error) {
  Lock lock(mutex);
  auto object = registered(id);
  if (object && !object->fault_) {
    if (object->deleted_) return Lookup::Deleted;
    snapshot->values = object->values_;
    snapshot->version = object->rowVersion_;
    return Lookup::Found;
  }
  return sourceSnapshot(id, snapshot, error);
}

State::Lookup State::sourceSnapshot(const ManagedObjectID& id, Snapshot* snapshot, Error* error) {
  Lock lock(mutex);
  if (parent) return parent->state_->snapshotFor(id, snapshot, error);
  if (!coordinator) {
    if (error) *error = coreDataError(kCoreDataError, "The context has neither a parent nor a coordinator");
    return Lookup::Failed;
  }
  if (id.isTemporaryID()) return Lookup::Missing;
  bool found = false;
  Error readError;
  auto row = coordinator->fetchRow(id, &found, &readError);
  if (!row) {
    if (found || !readError.domain().empty()) {
      if (error) *error = readError;
      return Lookup::Failed;
    }
    return Lookup::Missing;
  }
  snapshot->values = std::move(row->values);
  snapshot->version = row->version;
  return Lookup::Found;
}

ManagedObjectPtr State::instanceFromSnapshot(const ObjectIDPtr& id, Snapshot snapshot) {
  ManagedObjectPtr object;
  {
    Lock lock(mutex);
    object = registered(*id);
    if (object && !object->fault_) return object;
    if (!object) {
      auto context = self.lock();
      auto model = context ? context->managedObjectModel() : nullptr;
      auto entity = model ? model->entityNamed(id->entityName()) : nullptr;
      if (!entity) return nullptr;
      object = ManagedObject::instantiate(*entity);
      object->entity_ = entity;
      object->objectID_ = id;
      object->context_ = self;
      object->awakeDone_ = true;
      add(object);
    }
    object->values_ = std::move(snapshot.values);
    object->commitValues();
    object->rowVersion_ = snapshot.version;
    object->fault_ = false;
  }
  awakeFromFetch(*object);
  return object;
}

// --- saving ----------------------------------------------------------------------------------------------

bool State::obtainPermanentIDs(const std::vector<ManagedObjectPtr>& objects, Error* error) {
  auto root = rootCoordinator();
  if (!root) {
    if (error) *error = coreDataError(kCoreDataError, "The context has no persistent store coordinator");
    return false;
  }
  Lock lock(mutex);
  std::map<std::string, std::vector<ManagedObjectPtr>> byEntity;
  for (const auto& object : unique(objects)) {
    if (!object || !object->inserted_ || !object->objectID_->isTemporaryID()) continue;
    if (registered(*object->objectID_) != object) continue;
    byEntity[object->entity_->name()].push_back(object);
  }
  // Reserve every ID first so that a failure changes none.
  std::vector<std::pair<ManagedObjectPtr, ObjectIDPtr>> assignments;
  for (const auto& [name, group] : byEntity) {
    auto ids = root->newPermanentIDs(*group.front()->entity_, group.size(), error);
    if (!ids) return false;
    for (std::size_t i = 0; i < group.size(); ++i) assignments.emplace_back(group[i], (*ids)[i]);
  }
  for (const auto& [object, fresh] : assignments) {
    std::string oldURI = object->objectID_->uriRepresentation();
    auto order = orderByURI.at(oldURI);
    orderByURI.erase(oldURI);
    orderByURI[fresh->uriRepresentation()] = order;
    object->objectID_ = fresh;
    // References to the object from others in this context follow it to its new ID.
    for (const auto& [n, other] : byOrder) {
      if (other->fault_) continue;
      for (const auto& relationship : other->entity_->relationships()) {
        const std::string& key = relationship->name();
        if (other->values_.contains(key)) other->values_.set(key, replacingID(other->values_.get(key), oldURI, fresh));
        if (other->committed_.contains(key))
          other->committed_.set(key, replacingID(other->committed_.get(key), oldURI, fresh));
      }
    }
  }
  return true;
}

bool State::validate(Error* error) {
  Lock lock(mutex);
  std::vector<Error> errors;
  for (auto order : changed) {
    const auto& object = byOrder.at(order);
    if (object->deleted_) continue;
    for (const auto& property : object->entity_->properties()) {
      if (property->isTransient()) continue;
      const Value& value = object->values_.get(property->name());
      bool missing = property->kind() == PropertyDescription::Kind::Relationship
                         ? !static_cast<const RelationshipDescription&>(*property).isToMany() && value.isNull()
                         : value.isNull();
      if (missing && !property->isOptional()) {
        errors.push_back(validationError(kValidationMissingMandatoryPropertyError, object, property->name(), value));
        continue;
      }
      if (property->kind() == PropertyDescription::Kind::Attribute &&
          !static_cast<const AttributeDescription&>(*property).acceptsValue(value))
        errors.push_back(validationError(kManagedObjectValidationError, object, property->name(), value));
    }
  }
  if (errors.empty()) return true;
  if (!error) return false;
  if (errors.size() == 1) {
    *error = errors.front();
    return false;
  }
  Array detailed;
  for (const auto& e : errors) detailed.push_back(Value(std::static_pointer_cast<foundation::Object>(std::make_shared<Error>(e))));
  Dictionary userInfo;
  userInfo.set(foundation::kLocalizedDescriptionKey, "Multiple validation errors occurred.");
  userInfo.set(kDetailedErrorsKey, Value(std::move(detailed)));
  *error = Error(foundation::kCocoaErrorDomain, kValidationMultipleErrorsError, std::move(userInfo));
  return false;
}

bool State::commit(SaveResult* result, Error* error) {
  Lock lock(mutex);
  std::vector<ManagedObjectPtr> inserted = changedObjects([](const ManagedObject& o) { return o.inserted_; });
  if (parent) {
    // Permanent IDs before the push keep the IDs of one object equal all the way up; without a
    // store they stay temporary and the root gives them later.
    auto root = rootCoordinator();
    if (root && root->storeForSaving(nullptr)) obtainPermanentIDs(inserted, nullptr);
    if (!pushIntoParent(result, error)) return false;
    finishSave(result, nullptr);
    return true;
  }
  if (!coordinator) {
    if (error) *error = coreDataError(kCoreDataError, "The context has neither a parent nor a coordinator");
    return false;
  }
  if (!obtainPermanentIDs(inserted, error)) return false;
  std::map<std::string, std::int64_t> versions;
  if (!writeToStore(&versions, error)) return false;
  finishSave(result, &versions);
  return true;
}

bool State::pushIntoParent(SaveResult* result, Error* error) {
  auto& target = *parent->state_;
  Lock parentLock(target.mutex);
  std::vector<ManagedObjectPtr> objects = changedObjects([](const ManagedObject&) { return true; });
  // First find every object the parent must already hold, so that a failure changes nothing.
  std::map<const ManagedObject*, ManagedObjectPtr> counterparts;
  for (const auto& object : objects) {
    if (object->inserted_) continue;
    auto existing = target.registered(*object->objectID_);
    if (existing && !existing->fault_ && !existing->deleted_) {
      counterparts[object.get()] = existing;
      continue;
    }
    Snapshot snapshot;
    Error lookupError;
    Lookup found = existing && existing->deleted_ ? Lookup::Deleted
                                                  : target.sourceSnapshot(*object->objectID_, &snapshot, &lookupError);
    if (found == Lookup::Failed) {
      if (error) *error = lookupError;
      return false;
    }
    if (found != Lookup::Found) {
      if (error)
        *error = coreDataError(kManagedObjectReferentialIntegrityError,
                               "The object " + object->objectID_->uriRepresentation() +
                                   " was deleted from the parent context");
      return false;
    }
    ManagedObjectPtr instance = existing;
    if (!instance) {
      instance = ManagedObject::instantiate(*object->entity_);
      instance->entity_ = object->entity_;
      instance->objectID_ = object->objectID_;
      instance->context_ = target.self;
      instance->awakeDone_ = true;
      target.add(instance);
    }
    instance->values_ = std::move(snapshot.values);
    instance->commitValues();
    instance->rowVersion_ = snapshot.version;
    instance->fault_ = false;
    counterparts[object.get()] = instance;
  }
  for (const auto& object : objects) {
    if (object->inserted_) {
      // The parent may already hold a fault for the (permanent) ID; it becomes the insert.
      auto instance = target.registered(*object->objectID_);
      if (!instance) {
        instance = ManagedObject::instantiate(*object->entity_);
        instance->entity_ = object->entity_;
        instance->objectID_ = object->objectID_;
        instance->context_ = target.self;
        instance->awakeDone_ = true;
        target.add(instance);
      }
      instance->fault_ = false;
      instance->inserted_ = true;
      instance->values_ = object->values_;
      target.markChanged(*instance);
      target.pendingInserted.push_back(instance);
      continue;
    }
    auto instance = counterparts.at(object.get());
    if (object->deleted_) {
      if (instance->inserted_) {
        target.remove(*instance);
        instance->inserted_ = false;
        instance->context_.reset();
      } else {
        instance->deleted_ = true;
        target.markChanged(*instance);
      }
      target.pendingDeleted.push_back(instance);
      continue;
    }
    for (const auto& key : object->changedKeys_) {
      result->parentChanges.push_back(target.keyChange(instance, key));
      instance->keepCommitted(key);
      instance->values_.set(key, object->values_.get(key));
      target.recordChange(*instance, key);
    }
  }
  return true;
}

bool State::writeToStore(std::map<std::string, std::int64_t>* versions, Error* error) {
  std::vector<StoreChange> storeChanges;
  for (auto order : changed) {
    const auto& object = byOrder.at(order);
    StoreChange change;
    change.entity = object->entity_;
    change.objectID = object->objectID_;
    change.expectedVersion = object->rowVersion_;
    if (object->deleted_) {
      change.kind = StoreChange::Kind::Delete;
    } else if (object->inserted_) {
      change.kind = StoreChange::Kind::Insert;
      for (const auto& property : object->entity_->properties())
        if (!property->isTransient()) change.values.set(property->name(), object->values_.get(property->name()));
    } else {
      change.kind = StoreChange::Kind::Update;
      for (const auto& key : object->changedKeys_) {
        auto property = object->entity_->propertyNamed(key);
        if (property && !property->isTransient()) change.values.set(key, object->values_.get(key));
      }
      if (change.values.empty()) continue;
    }
    storeChanges.push_back(std::move(change));
  }
  std::vector<ObjectIDPtr> conflicts;
  Error saveError;
  bool checkVersions = mergePolicy == MergePolicy::Error;
  if (coordinator->save(storeChanges, checkVersions, &conflicts, versions, &saveError)) return true;
  if (conflicts.empty()) {
    if (error) *error = saveError;
    return false;
  }
  Array list;
  for (const auto& id : conflicts)
    if (auto object = registered(*id)) list.push_back(Value(std::static_pointer_cast<foundation::Object>(object)));
  Dictionary userInfo;
  userInfo.set(foundation::kLocalizedDescriptionKey, "Could not merge changes.");
  userInfo.set(kConflictListKey, Value(std::move(list)));
  if (error) *error = Error(foundation::kCocoaErrorDomain, kManagedObjectMergeError, std::move(userInfo));
  return false;
}

void State::finishSave(SaveResult* result, const std::map<std::string, std::int64_t>* versions) {
  for (const auto& object : changedObjects([](const ManagedObject&) { return true; })) {
    if (object->deleted_) {
      result->deleted.push_back(object);
      remove(*object);
      object->deleted_ = false;
      object->context_.reset();
      continue;
    }
    (object->inserted_ ? result->inserted : result->updated).push_back(object);
    object->inserted_ = false;
    object->commitValues();
    object->changedKeys_.clear();
    if (versions) {
      auto version = versions->find(object->objectID_->uriRepresentation());
      if (version != versions->end()) object->rowVersion_ = version->second;
    }
  }
  changed.clear();
}

// --- fetching ----------------------------------------------------------------------------------------------

void State::overlay(const EntityDescription& entity, std::vector<Candidate>& candidates,
                    std::unordered_map<std::string, std::size_t>& index) {
  Lock lock(mutex);
  for (const auto& [order, object] : byOrder) {
    if (object->fault_ || object->entity_->name() != entity.name()) continue;
    const std::string& uri = object->objectID_->uriRepresentation();
    auto at = index.find(uri);
    if (object->deleted_) {
      if (at != index.end()) candidates[at->second].removed = true;
      continue;
    }
    // Only an insert or an edit made here can bring back what an ancestor or the store dropped;
    // an object that is merely loaded here stays as the levels above see it.
    bool edited = object->inserted_ || !object->changedKeys_.empty();
    if (at != index.end()) {
      Candidate& candidate = candidates[at->second];
      candidate.source = object;
      candidate.version = object->rowVersion_;
      if (edited) candidate.removed = false;
      continue;
    }
    if (!edited) continue;
    index[uri] = candidates.size();
    candidates.push_back({object->objectID_, 0, object->rowVersion_, object, false});
  }
}

bool State::readCandidates(const EntityDescription& entity, std::vector<Candidate>& candidates,
                           std::vector<Snapshot>& snapshots, Error* error) {
  snapshots.assign(candidates.size(), Snapshot{});
  std::vector<std::size_t> fromStore;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    Candidate& candidate = candidates[i];
    if (candidate.removed) continue;
    auto own = registered(*candidate.id);
    if (own && !own->fault_) continue;  // instanceFromSnapshot returns it as it is
    snapshots[i].version = candidate.version;
    if (candidate.source) {
      snapshots[i].values = candidate.source->values_;
    } else {
      fromStore.push_back(i);
    }
  }
  if (fromStore.empty()) return true;
  auto root = rootCoordinator();
  // A few rows are read one by one; many (a first fetch) in one pass over the table.
  constexpr std::size_t kRowByRow = 16;
  if (fromStore.size() <= kRowByRow) {
    for (std::size_t i : fromStore) {
      bool found = false;
      Error readError;
      auto row = root->fetchRow(*candidates[i].id, &found, &readError);
      if (!row && !readError.domain().empty()) {
        if (error) *error = readError;
        return false;
      }
      if (!row) {
        candidates[i].removed = true;  // deleted from the store since its key was read
        continue;
      }
      snapshots[i].values = std::move(row->values);
      snapshots[i].version = row->version;
    }
    return true;
  }
  auto rows = root->fetchRows(entity, error);
  if (!rows) return false;
  std::unordered_map<std::int64_t, StoreRow*> byKey;
  for (auto& row : *rows) byKey[row.primaryKey] = &row;
  for (std::size_t i : fromStore) {
    auto row = byKey.find(candidates[i].primaryKey);
    if (row == byKey.end()) {
      candidates[i].removed = true;
      continue;
    }
    snapshots[i].values = std::move(row->second->values);
    snapshots[i].version = row->second->version;
  }
  return true;
}

std::optional<Array> State::execute(const FetchRequest& request, Error* error) {
  auto root = rootCoordinator();
  auto model = root ? root->managedObjectModel() : nullptr;
  if (!model) {
    if (error) *error = coreDataError(kCoreDataError, "The context has no persistent store coordinator");
    return std::nullopt;
  }
  std::string entityName = request.entity() ? request.entity()->name() : request.entityName();
  auto entity = model->entityNamed(entityName);
  if (!entity) {
    if (error)
      *error = coreDataError(kCoreDataError, entityName.empty() ? "A fetch request must have an entity."
                                                                : "The model has no entity named " + entityName);
    return std::nullopt;
  }
  // Keys are checked against an instance so that a subclass's computed keys count.
  auto prototype = ManagedObject::instantiate(*entity);
  prototype->entity_ = entity;
  std::vector<std::string> keys = request.predicate() ? request.predicate()->keyPaths() : std::vector<std::string>{};
  for (const auto& descriptor : request.sortDescriptors()) keys.push_back(descriptor.key());
  for (const auto& key : request.propertiesToGroupBy()) keys.push_back(key);
  for (const auto& property : request.propertiesToFetch())
    if (auto name = std::get_if<std::string>(&property)) keys.push_back(*name);
  for (const auto& key : keys) {
    std::string first = key.substr(0, key.find('.'));
    if (first == "SELF" || first == "self" || prototype->hasKey(first)) continue;
    if (error)
      *error = coreDataError(kKeyPathNotFoundErrorCode, "keypath " + key + " not found in entity " + entity->name());
    return std::nullopt;
  }

  // The store's rows and every level's unsaved changes are read as one picture: each context
  // from this one up to the root stays locked (child before parent, the one order used
  // everywhere) so that a save in between cannot make an object vanish from both.
  std::vector<std::shared_ptr<ManagedObjectContext>> chain;
  for (auto p = self.lock(); p; p = p->parentContext()) chain.push_back(p);
  std::vector<Lock> locks;
  for (const auto& context : chain) locks.emplace_back(context->state_->mutex);
  auto rowKeys = root->fetchRowKeys(*entity, error);
  if (!rowKeys) return std::nullopt;
  std::vector<Candidate> candidates;
  candidates.reserve(rowKeys->size());
  std::unordered_map<std::string, std::size_t> index;
  auto store = root->storeForSaving(error);
  if (!store) return std::nullopt;
  for (const auto& key : *rowKeys) {
    auto id = store->objectIDFor(entity->name(), key.primaryKey);
    index[id->uriRepresentation()] = candidates.size();
    candidates.push_back({id, key.primaryKey, key.version, nullptr, false});
  }
  for (std::size_t level = chain.size(); level-- > 1;) chain[level]->state_->overlay(*entity, candidates, index);
  if (request.includesPendingChanges()) overlay(*entity, candidates, index);
  std::vector<Snapshot> snapshots;
  if (!readCandidates(*entity, candidates, snapshots, error)) return std::nullopt;
  locks.clear();

  Array matches;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (candidates[i].removed) continue;
    auto object = instanceFromSnapshot(candidates[i].id, std::move(snapshots[i]));
    if (!object) continue;
    Value value(std::static_pointer_cast<foundation::Object>(object));
    if (request.predicate()) {
      Error evaluationError;
      bool keep = request.predicate()->evaluate(value, &evaluationError);
      if (!evaluationError.domain().empty()) {
        if (error) *error = evaluationError;
        return std::nullopt;
      }
      if (!keep) continue;
    }
    matches.push_back(std::move(value));
  }
  if (!request.sortDescriptors().empty()) sortUsingDescriptors(matches, request.sortDescriptors());
  // Offset and limit cut the result rows, as a store's query would: for dictionaries they apply
  // after grouping and aggregating, so "sum with limit 1" still sums every match.
  auto paged = [&](Array rows) {
    std::size_t begin = std::min(request.fetchOffset(), rows.size());
    std::size_t end = rows.size();
    if (request.fetchLimit() > 0) end = std::min(end, begin + request.fetchLimit());
    return Array(rows.begin() + static_cast<std::ptrdiff_t>(begin), rows.begin() + static_cast<std::ptrdiff_t>(end));
  };
  if (request.resultType() != FetchRequest::ResultType::Dictionary) matches = paged(std::move(matches));
  const Array& page = matches;

  switch (request.resultType()) {
    case FetchRequest::ResultType::ManagedObject:
      return page;
    case FetchRequest::ResultType::Count:
      return Array{Value(static_cast<unsigned long long>(page.size()))};
    case FetchRequest::ResultType::ManagedObjectID: {
      Array ids;
      for (const auto& value : page) ids.push_back(idValue(value.objectAs<ManagedObject>()->objectID()));
      return ids;
    }
    case FetchRequest::ResultType::Dictionary: {
      std::vector<PropertyToFetch> properties = request.propertiesToFetch();
      if (properties.empty())
        for (const auto& attribute : entity->attributes()) properties.emplace_back(attribute->name());
      auto dictionaries = dictionaryResults(page, properties, request.propertiesToGroupBy(), error);
      if (!dictionaries) return std::nullopt;
      Array result;
      for (auto& dictionary : *dictionaries) {
        Value value(std::move(dictionary));
        if (request.returnsDistinctResults() && std::find(result.begin(), result.end(), value) != result.end()) continue;
        result.push_back(std::move(value));
      }
      return paged(std::move(result));
    }
  }
  return page;
}

// --- merging -------------------------------------------------------------------------------------------------

bool State::isAncestor(const ManagedObjectContext& context) const {
  for (auto level = parent; level; level = level->state_->parent) {
    if (level.get() == &context) return true;
  }
  return false;
}

Dictionary State::merge(const Dictionary& userInfo) {
  struct Saved {
    ObjectIDPtr id;
    Snapshot snapshot;
    // The saved object itself when it belongs to an ancestor: read in place, nothing copied.
    ManagedObjectPtr inAncestor;
  };
  // Read the saved values first, under the sender's lock only, so that two contexts merging each
  // other's saves never wait for each other. An ancestor's objects are read later in place,
  // under both locks in the one order used everywhere (child before parent): an ancestor never
  // locks its descendants, so that wait cannot turn round.
  std::vector<Saved> saved;
  for (const char* key : {kInsertedObjectsKey, kUpdatedObjectsKey}) {
    for (const auto& value : userInfo.get(key).arrayValue()) {
      auto object = value.objectAs<ManagedObject>();
      if (!object) continue;
      auto owner = object->context_.lock();
      if (owner && isAncestor(*owner)) {
        saved.push_back({nullptr, {}, object});
        continue;
      }
      Lock ownerLock = owner ? Lock(owner->state_->mutex) : Lock();
      saved.push_back({object->objectID_, Snapshot{object->committedValues(), object->rowVersion_}, nullptr});
    }
  }
  std::vector<ObjectIDPtr> deletedIDs;
  for (const auto& value : userInfo.get(kDeletedObjectsKey).arrayValue())
    if (auto object = value.objectAs<ManagedObject>()) deletedIDs.push_back(object->objectID());

  std::vector<KeyChange> changes;
  std::vector<ManagedObjectPtr> refreshed, deleted;
  {
    Lock lock(mutex);
    for (auto& entry : saved) {
      Lock sourceLock;
      const Snapshot* source = &entry.snapshot;
      Snapshot inPlace;
      if (entry.inAncestor) {
        auto owner = entry.inAncestor->context_.lock();
        if (!owner) continue;
        sourceLock = Lock(owner->state_->mutex);
        entry.id = entry.inAncestor->objectID_;
        inPlace.version = entry.inAncestor->rowVersion_;
      }
      auto object = registered(*entry.id);
      if (!object || object->fault_ || object->deleted_) continue;
      const auto take = [&](const std::string& key, const Value& value) {
        // Most saved values are the ones held already (the save came from here): nothing to copy.
        if (object->changedKeys_.count(key)) {
          if (!(object->committedValue(key) == value)) object->committed_.set(key, value);
          return;
        }
        if (!(object->values_.get(key) == value)) {
          changes.push_back(keyChange(object, key));
          object->values_.set(key, value);
        }
        object->committed_.remove(key);
      };
      if (entry.inAncestor) {
        entry.inAncestor->forEachCommittedValue(take);
      } else {
        for (const auto& [key, value] : source->values) take(key, value);
      }
      object->rowVersion_ = entry.inAncestor ? inPlace.version : source->version;
      refreshed.push_back(object);
    }
    for (const auto& id : deletedIDs) {
      auto object = registered(*id);
      if (!object) continue;
      remove(*object);
      object->inserted_ = false;
      object->deleted_ = false;
      object->context_.reset();
      deleted.push_back(object);
    }
  }
  fire(changes);
  Dictionary result;
  if (refreshed.empty() && deleted.empty()) return result;
  Array refreshedValues, deletedValues;
  for (const auto& o : refreshed) refreshedValues.push_back(Value(std::static_pointer_cast<foundation::Object>(o)));
  for (const auto& o : deleted) deletedValues.push_back(Value(std::static_pointer_cast<foundation::Object>(o)));
  result.set(kRefreshedObjectsKey, Value(std::move(refreshedValues)));
  result.set(kDeletedObjectsKey, Value(std::move(deletedValues)));
  return result;
}

}  // namespace coredata
