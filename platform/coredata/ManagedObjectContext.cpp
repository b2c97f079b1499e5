#include "platform/coredata/ManagedObjectContext.h"

#include <cstdio>
#include <unordered_map>

#include "platform/coredata/ContextState.h"
#include "platform/coredata/CoreDataErrors.h"
#include "platform/dispatch/Queue.h"

namespace coredata {

using foundation::Array;
using foundation::Dictionary;
using foundation::Error;
using foundation::Value;

namespace {

Value objectValue(const ManagedObjectPtr& object) { return Value(std::static_pointer_cast<foundation::Object>(object)); }

Array objectArray(const std::vector<ManagedObjectPtr>& objects) {
  Array array;
  for (const auto& o : objects) array.push_back(objectValue(o));
  return array;
}

}  // namespace

ManagedObjectContext::ManagedObjectContext(ConcurrencyType type)
    : type_(type), state_(std::make_unique<State>()) {
  if (type == ConcurrencyType::MainQueue) {
    queue_ = dispatch::Queue::main();
  } else {
    char label[64];
    std::snprintf(label, sizeof label, "ManagedObjectContext %p", static_cast<const void*>(this));
    queue_ = dispatch::Queue::createSerial(label);
  }
}

std::shared_ptr<ManagedObjectContext> ManagedObjectContext::create(ConcurrencyType type) {
  auto context = std::shared_ptr<ManagedObjectContext>(new ManagedObjectContext(type));
  context->state_->self = context;
  return context;
}

ManagedObjectContext::~ManagedObjectContext() = default;

// --- Where the data comes from -------------------------------------------------------------------

void ManagedObjectContext::setParentContext(std::shared_ptr<ManagedObjectContext> parent) {
  State::Lock lock(state_->mutex);
  state_->parent = std::move(parent);
  if (state_->parent) state_->coordinator.reset();
}

std::shared_ptr<ManagedObjectContext> ManagedObjectContext::parentContext() const {
  State::Lock lock(state_->mutex);
  return state_->parent;
}

void ManagedObjectContext::setPersistentStoreCoordinator(std::shared_ptr<PersistentStoreCoordinator> coordinator) {
  State::Lock lock(state_->mutex);
  state_->coordinator = std::move(coordinator);
  if (state_->coordinator) state_->parent.reset();
}

std::shared_ptr<PersistentStoreCoordinator> ManagedObjectContext::persistentStoreCoordinator() const {
  return state_->rootCoordinator();
}

std::shared_ptr<const ManagedObjectModel> ManagedObjectContext::managedObjectModel() const {
  auto coordinator = persistentStoreCoordinator();
  return coordinator ? coordinator->managedObjectModel() : nullptr;
}

MergePolicy ManagedObjectContext::mergePolicy() const {
  State::Lock lock(state_->mutex);
  return state_->mergePolicy;
}

void ManagedObjectContext::setMergePolicy(MergePolicy policy) {
  State::Lock lock(state_->mutex);
  state_->mergePolicy = policy;
}

// --- Running work --------------------------------------------------------------------------------

void ManagedObjectContext::perform(std::function<void()> block) {
  if (!block) return;
  queue_->async([self = shared_from_this(), block = std::move(block)] { block(); });
}

void ManagedObjectContext::performAndWait(const std::function<void()>& block) {
  if (!block) return;
  if (type_ == ConcurrencyType::MainQueue && dispatch::Queue::isMainThread()) {
    block();
    return;
  }
  auto keepAlive = shared_from_this();
  queue_->sync(block);
}

// --- Objects -------------------------------------------------------------------------------------

bool ManagedObjectContext::hasChanges() const {
  State::Lock lock(state_->mutex);
  return !state_->changed.empty();
}

std::vector<ManagedObjectPtr> ManagedObjectContext::insertedObjects() const {
  State::Lock lock(state_->mutex);
  return state_->changedObjects([](const ManagedObject& o) { return o.inserted_; });
}

std::vector<ManagedObjectPtr> ManagedObjectContext::updatedObjects() const {
  State::Lock lock(state_->mutex);
  return state_->changedObjects([](const ManagedObject& o) { return !o.inserted_ && !o.deleted_; });
}

std::vector<ManagedObjectPtr> ManagedObjectContext::deletedObjects() const {
  State::Lock lock(state_->mutex);
  return state_->changedObjects([](const ManagedObject& o) { return o.deleted_; });
}

std::vector<ManagedObjectPtr> ManagedObjectContext::registeredObjects() const {
  State::Lock lock(state_->mutex);
  std::vector<ManagedObjectPtr> objects;
  for (const auto& [order, object] : state_->byOrder) objects.push_back(object);
  return objects;
}

void ManagedObjectContext::insertObject(const ManagedObjectPtr& object) {
  if (!object || !object->entity_) return;
  {
    State::Lock lock(state_->mutex);
    auto owner = object->context_.lock();
    if (owner || (object->objectID_ && state_->registered(*object->objectID_))) return;
    object->context_ = weak_from_this();
    if (!object->objectID_ || !object->objectID_->isTemporaryID())
      object->objectID_ = ManagedObjectID::temporary(object->entity_->name());
    object->inserted_ = true;
    object->fault_ = false;
    state_->add(object);
    state_->markChanged(*object);
    state_->pendingInserted.push_back(object);
  }
  if (!object->awakeDone_) {
    object->awakeDone_ = true;
    object->awakeFromInsert();
  }
}

void ManagedObjectContext::deleteObject(const ManagedObjectPtr& object) {
  if (!object || object->context_.lock().get() != this || object->deleted_) return;
  state_->ensureLoaded(*object);
  object->prepareForDeletion();
  std::vector<State::KeyChange> changes;
  {
    State::Lock lock(state_->mutex);
    if (!state_->registered(*object->objectID_)) return;
    state_->nullifyInverses(*object, changes);
    if (object->inserted_) {
      state_->remove(*object);
      object->inserted_ = false;
      object->context_.reset();
    } else {
      object->deleted_ = true;
      state_->markChanged(*object);
    }
    state_->pendingDeleted.push_back(object);
  }
  State::fire(changes);
}

ManagedObjectPtr ManagedObjectContext::objectWithID(const ObjectIDPtr& objectID) {
  if (!objectID) return nullptr;
  State::Lock lock(state_->mutex);
  if (auto existing = state_->registered(*objectID)) return existing;
  auto model = managedObjectModel();
  auto entity = model ? model->entityNamed(objectID->entityName()) : nullptr;
  if (!entity) return nullptr;
  auto object = ManagedObject::instantiate(*entity);
  object->entity_ = entity;
  object->objectID_ = objectID;
  object->context_ = weak_from_this();
  object->fault_ = true;
  object->awakeDone_ = true;
  state_->add(object);
  return object;
}

ManagedObjectPtr ManagedObjectContext::existingObjectWithID(const ObjectIDPtr& objectID, foundation::Error* error) {
  auto missing = [&] {
    if (error)
      *error = coreDataError(kManagedObjectReferentialIntegrityError,
                             "The object " + (objectID ? objectID->uriRepresentation() : std::string("(null)")) +
                                 " does not exist");
    return nullptr;
  };
  if (!objectID) return missing();
  {
    State::Lock lock(state_->mutex);
    if (auto existing = state_->registered(*objectID)) {
      if (existing->deleted_) return missing();
      if (!existing->fault_) return existing;
    }
  }
  State::Snapshot snapshot;
  Error lookupError;
  auto found = state_->sourceSnapshot(*objectID, &snapshot, &lookupError);
  if (found == State::Lookup::Failed) {
    if (error) *error = lookupError;
    return nullptr;
  }
  if (found != State::Lookup::Found) return missing();
  auto object = state_->instanceFromSnapshot(objectID, std::move(snapshot));
  if (!object) return missing();
  return object;
}

ManagedObjectPtr ManagedObjectContext::objectRegisteredForID(const ObjectIDPtr& objectID) const {
  if (!objectID) return nullptr;
  State::Lock lock(state_->mutex);
  return state_->registered(*objectID);
}

bool ManagedObjectContext::obtainPermanentIDsForObjects(const std::vector<ManagedObjectPtr>& objects,
                                                        foundation::Error* error) {
  return state_->obtainPermanentIDs(objects, error);
}

void ManagedObjectContext::refreshObject(const ManagedObjectPtr& object, bool mergeChanges) {
  if (!object || object->context_.lock().get() != this || object->inserted_) return;
  std::vector<State::KeyChange> changes;
  if (!mergeChanges) {
    State::Lock lock(state_->mutex);
    object->values_.clear();
    object->committed_.clear();
    object->changedKeys_.clear();
    object->deleted_ = false;
    object->fault_ = true;
    state_->unmarkChanged(*object);
    return;
  }
  State::Snapshot snapshot;
  if (state_->sourceSnapshot(*object->objectID(), &snapshot, nullptr) != State::Lookup::Found) return;
  {
    State::Lock lock(state_->mutex);
    Dictionary values = snapshot.values;
    for (const auto& key : object->changedKeys_) values.set(key, object->values_.get(key));
    for (const auto& [key, value] : values)
      if (object->values_.get(key) != value) changes.push_back(state_->keyChange(object, key));
    object->values_ = std::move(values);
    // Only the keys changed here differ from what was read.
    object->committed_.clear();
    for (const auto& key : object->changedKeys_) object->committed_.set(key, snapshot.values.get(key));
    object->rowVersion_ = snapshot.version;
    object->fault_ = false;
  }
  State::fire(changes);
}

void ManagedObjectContext::reset() {
  State::Lock lock(state_->mutex);
  for (const auto& [order, object] : state_->byOrder) object->context_.reset();
  state_->byOrder.clear();
  state_->orderByURI.clear();
  state_->changed.clear();
  state_->pendingInserted.clear();
  state_->pendingUpdated.clear();
  state_->pendingDeleted.clear();
}

void ManagedObjectContext::rollback() {
  State::Lock lock(state_->mutex);
  for (const auto& object : state_->changedObjects([](const ManagedObject&) { return true; })) {
    if (object->inserted_) {
      state_->remove(*object);
      object->inserted_ = false;
      object->context_.reset();
      continue;
    }
    object->deleted_ = false;
    object->restoreCommitted();
    object->changedKeys_.clear();
    state_->unmarkChanged(*object);
  }
  state_->pendingInserted.clear();
  state_->pendingUpdated.clear();
  state_->pendingDeleted.clear();
}

void ManagedObjectContext::processPendingChanges() {
  Dictionary userInfo;
  {
    State::Lock lock(state_->mutex);
    if (state_->pendingInserted.empty() && state_->pendingUpdated.empty() && state_->pendingDeleted.empty()) return;
    userInfo.set(kInsertedObjectsKey, objectArray(State::unique(state_->pendingInserted)));
    userInfo.set(kUpdatedObjectsKey, objectArray(State::unique(state_->pendingUpdated)));
    userInfo.set(kDeletedObjectsKey, objectArray(State::unique(state_->pendingDeleted)));
    state_->pendingInserted.clear();
    state_->pendingUpdated.clear();
    state_->pendingDeleted.clear();
  }
  foundation::NotificationCenter::defaultCenter().post(
      foundation::Notification(kManagedObjectContextObjectsDidChangeNotification, shared_from_this(), std::move(userInfo)));
}

// --- Saving --------------------------------------------------------------------------------------

bool ManagedObjectContext::save(foundation::Error* error) {
  if (!hasChanges()) return true;
  processPendingChanges();
  auto& center = foundation::NotificationCenter::defaultCenter();
  center.post(foundation::Notification(kManagedObjectContextWillSaveNotification, shared_from_this()));
  for (const auto& object : state_->changedObjects([](const ManagedObject&) { return true; })) object->willSave();
  // willSave() may have changed more (or, through a deletion of an insert, nothing is left).
  processPendingChanges();
  if (!hasChanges()) return true;

  if (!state_->validate(error)) return false;
  State::SaveResult result;
  if (!state_->commit(&result, error)) return false;

  // The parent's objects changed under their observers' feet: tell them, now that no lock is held.
  State::fire(result.parentChanges);
  for (const auto& object : result.inserted) object->didSave();
  for (const auto& object : result.updated) object->didSave();
  for (const auto& object : result.deleted) object->didSave();
  Dictionary userInfo;
  userInfo.set(kInsertedObjectsKey, objectArray(result.inserted));
  userInfo.set(kUpdatedObjectsKey, objectArray(result.updated));
  userInfo.set(kDeletedObjectsKey, objectArray(result.deleted));
  center.post(foundation::Notification(kManagedObjectContextDidSaveNotification, shared_from_this(), std::move(userInfo)));
  return true;
}

// --- Fetching ------------------------------------------------------------------------------------

std::optional<foundation::Array> ManagedObjectContext::executeFetchRequest(const FetchRequest& request,
                                                                           foundation::Error* error) {
  return state_->execute(request, error);
}

std::optional<std::vector<ManagedObjectPtr>> ManagedObjectContext::fetchObjects(const FetchRequest& request,
                                                                               foundation::Error* error) {
  FetchRequest objectsRequest = request;
  objectsRequest.setResultType(FetchRequest::ResultType::ManagedObject);
  auto results = state_->execute(objectsRequest, error);
  if (!results) return std::nullopt;
  std::vector<ManagedObjectPtr> objects;
  for (const auto& value : *results) objects.push_back(value.objectAs<ManagedObject>());
  return objects;
}

std::optional<std::size_t> ManagedObjectContext::countForFetchRequest(const FetchRequest& request,
                                                                      foundation::Error* error) {
  FetchRequest countRequest = request;
  countRequest.setResultType(FetchRequest::ResultType::Count);
  auto results = state_->execute(countRequest, error);
  if (!results || results->empty()) return std::nullopt;
  return static_cast<std::size_t>(results->front().uintValue());
}

// --- Merging -------------------------------------------------------------------------------------

void ManagedObjectContext::mergeChangesFromContextDidSaveNotification(const foundation::Notification& notification) {
  if (notification.sender() == notificationSender()) return;
  Dictionary userInfo = state_->merge(notification.userInfo());
  if (userInfo.empty()) return;
  foundation::NotificationCenter::defaultCenter().post(
      foundation::Notification(kManagedObjectContextObjectsDidChangeNotification, shared_from_this(), std::move(userInfo)));
}

std::string ManagedObjectContext::description() const {
  char text[64];
  std::snprintf(text, sizeof text, "<ManagedObjectContext: %p>", static_cast<const void*>(this));
  return text;
}

}  // namespace coredata
