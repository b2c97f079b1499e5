#include "platform/coredata/ManagedObject.h"

#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "platform/coredata/ContextState.h"
#include "platform/coredata/ManagedObjectContext.h"

namespace coredata {

using foundation::Array;
using foundation::Value;
using State = ManagedObjectContext::State;

namespace {

struct ClassRegistry {
  std::mutex mutex;
  std::unordered_map<std::string, ManagedObject::Factory> factories;
};

ClassRegistry& classRegistry() {
  static ClassRegistry instance;
  return instance;
}

// Runs `read` under the object's context lock (or bare without a context).
template <typename F>
auto underLock(const std::shared_ptr<ManagedObjectContext>& context, std::recursive_mutex* mutex, F read) {
  if (!context) return read();
  std::lock_guard lock(*mutex);
  return read();
}

}  // namespace

ManagedObject::ManagedObject() : observation_() {}
ManagedObject::~ManagedObject() = default;

void ManagedObject::registerEntityClass(const std::string& className, Factory factory) {
  auto& registry = classRegistry();
  std::lock_guard lock(registry.mutex);
  registry.factories[className] = std::move(factory);
}

std::shared_ptr<ManagedObject> ManagedObject::instantiate(const EntityDescription& entity) {
  Factory factory;
  {
    auto& registry = classRegistry();
    std::lock_guard lock(registry.mutex);
    const std::string& name = entity.managedObjectClassName().empty() ? entity.name() : entity.managedObjectClassName();
    auto found = registry.factories.find(name);
    if (found != registry.factories.end()) factory = found->second;
  }
  std::shared_ptr<ManagedObject> object = factory ? factory() : nullptr;
  return object ? object : std::make_shared<ManagedObject>();
}

void ManagedObject::initWithEntity(std::shared_ptr<const EntityDescription> entity,
                                   const std::shared_ptr<ManagedObjectContext>& context) {
  entity_ = std::move(entity);
  if (!entity_) return;
  for (const auto& attribute : entity_->attributes())
    if (!attribute->defaultValue().isNull()) values_.set(attribute->name(), attribute->defaultValue());
  objectID_ = ManagedObjectID::temporary(entity_->name());
  if (context) context->insertObject(shared_from_this());
}

std::shared_ptr<ManagedObject> ManagedObject::insertNewObjectForEntityForName(
    const std::string& entityName, const std::shared_ptr<ManagedObjectContext>& context) {
  auto model = context ? context->managedObjectModel() : nullptr;
  auto entity = model ? model->entityNamed(entityName) : nullptr;
  if (!entity) return nullptr;
  auto object = instantiate(*entity);
  object->initWithEntity(entity, context);
  return object;
}

// --- identity and state ---

std::shared_ptr<const EntityDescription> ManagedObject::entity() const { return entity_; }

ObjectIDPtr ManagedObject::objectID() const {
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr, [&] { return objectID_; });
}

std::shared_ptr<ManagedObjectContext> ManagedObject::managedObjectContext() const { return context_.lock(); }

bool ManagedObject::isInserted() const {
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr, [&] { return inserted_; });
}

bool ManagedObject::isUpdated() const {
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr,
                   [&] { return !inserted_ && !deleted_ && !changedKeys_.empty(); });
}

bool ManagedObject::isDeleted() const {
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr, [&] { return deleted_; });
}

bool ManagedObject::isFault() const {
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr, [&] { return fault_; });
}

bool ManagedObject::hasChanges() const {
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr,
                   [&] { return inserted_ || deleted_ || !changedKeys_.empty(); });
}

foundation::Dictionary ManagedObject::changedValues() const {
  willAccessValueForKey();
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr, [&] {
    if (inserted_) return values_;
    foundation::Dictionary changed;
    for (const auto& key : changedKeys_) changed.set(key, values_.get(key));
    return changed;
  });
}

foundation::Dictionary ManagedObject::committedValuesForKeys(const std::vector<std::string>& keys) const {
  willAccessValueForKey();
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr, [&] {
    if (keys.empty()) return committedValues();
    foundation::Dictionary some;
    if (inserted_) return some;
    for (const auto& key : keys)
      if (committed_.contains(key) || values_.contains(key)) some.set(key, committedValue(key));
    return some;
  });
}

// --- committed values (callers hold the context's lock) ---

const Value& ManagedObject::committedValue(const std::string& key) const {
  if (inserted_) return foundation::nullValue();
  if (const Value* kept = committed_.find(key)) return *kept;
  return values_.get(key);
}

void ManagedObject::forEachCommittedValue(
    const std::function<void(const std::string&, const foundation::Value&)>& visit) const {
  if (inserted_) return;
  for (const auto& [key, value] : values_) {
    const Value* kept = committed_.find(key);
    visit(key, kept ? *kept : value);
  }
  for (const auto& [key, kept] : committed_) {
    if (!values_.contains(key)) visit(key, kept);
  }
}

foundation::Dictionary ManagedObject::committedValues() const {
  foundation::Dictionary values;
  forEachCommittedValue([&](const std::string& key, const Value& value) { values.set(key, value); });
  return values;
}

void ManagedObject::keepCommitted(const std::string& key) {
  if (inserted_ || loadingValues_ || committed_.contains(key)) return;
  Value* current = values_.find(key);
  committed_.set(key, current ? std::move(*current) : Value());
}

void ManagedObject::restoreCommitted() {
  for (const auto& [key, kept] : committed_) values_.set(key, kept);
  committed_.clear();
}

// --- key-value coding ---

Value ManagedObject::valueForKey(const std::string& key) const {
  if (!entity_ || !entity_->propertyNamed(key)) return Value();
  auto context = context_.lock();
  if (!context) return entity_->attributeNamed(key) ? values_.get(key) : Value();
  auto& state = *context->state_;
  state.ensureLoaded(const_cast<ManagedObject&>(*this));
  State::Lock lock(state.mutex);
  return state.display(*this, key);
}

void ManagedObject::readValueForKey(const std::string& key,
                                    const std::function<void(const foundation::Value&)>& reader) const {
  if (!entity_ || !entity_->attributeNamed(key)) {
    reader(foundation::nullValue());
    return;
  }
  auto context = context_.lock();
  if (!context) {
    reader(values_.get(key));
    return;
  }
  auto& state = *context->state_;
  state.ensureLoaded(const_cast<ManagedObject&>(*this));
  State::Lock lock(state.mutex);
  reader(values_.get(key));
}

bool ManagedObject::hasKey(const std::string& key) const { return entity_ && entity_->propertyNamed(key) != nullptr; }

bool ManagedObject::setValueForKey(const Value& value, const std::string& key) {
  auto property = entity_ ? entity_->propertyNamed(key) : nullptr;
  if (!property) return false;
  auto context = context_.lock();
  auto self = shared_from_this();
  if (property->kind() == PropertyDescription::Kind::Attribute) {
    if (!context) {
      Value old = values_.get(key);
      observation_.setValueNotifying(key, old, value, [&] { values_.set(key, value); });
      if (valuelessObservation_.hasObservers(key)) valuelessObservation_.setValueNotifying(key, Value(), Value());
      return true;
    }
    auto& state = *context->state_;
    state.ensureLoaded(*this);
    std::vector<State::KeyChange> changes;
    {
      State::Lock lock(state.mutex);
      state.mutate(self, key, value, changes);
    }
    State::fire(changes);
    return true;
  }
  // Relationships hold objects of the same context only; they are kept as IDs.
  if (!context) return false;
  const auto& relationship = static_cast<const RelationshipDescription&>(*property);
  auto idOf = [&](const Value& element) -> ObjectIDPtr {
    auto target = element.objectAs<ManagedObject>();
    if (!target || target->context_.lock() != context) return nullptr;
    return target->objectID();
  };
  Value ids;
  if (relationship.isToMany()) {
    if (!value.isNull() && !value.isArray()) return false;
    Array array;
    for (const auto& element : value.arrayValue()) {
      auto id = idOf(element);
      if (!id) return false;
      array.push_back(Value(std::static_pointer_cast<foundation::Object>(id)));
    }
    ids = Value(std::move(array));
  } else if (!value.isNull()) {
    auto id = idOf(value);
    if (!id) return false;
    ids = Value(std::static_pointer_cast<foundation::Object>(id));
  }
  auto& state = *context->state_;
  state.ensureLoaded(*this);
  std::vector<State::KeyChange> changes;
  state.setRelationship(self, relationship, ids, changes);
  State::fire(changes);
  return true;
}

Value ManagedObject::primitiveValueForKey(const std::string& key) const {
  willAccessValueForKey();
  auto context = context_.lock();
  return underLock(context, context ? &context->state_->mutex : nullptr, [&] { return values_.get(key); });
}

void ManagedObject::setPrimitiveValueForKey(const Value& value, const std::string& key) {
  auto context = context_.lock();
  if (!context) {
    values_.set(key, value);
    return;
  }
  auto& state = *context->state_;
  state.ensureLoaded(*this);
  State::Lock lock(state.mutex);
  if (entity_ && entity_->propertyNamed(key)) keepCommitted(key);
  values_.set(key, value);
  if (entity_ && entity_->propertyNamed(key)) state.recordChange(*this, key);
}

std::vector<std::shared_ptr<ManagedObject>> ManagedObject::objectsForKey(const std::string& key) const {
  std::vector<std::shared_ptr<ManagedObject>> objects;
  const Value related = valueForKey(key);
  for (const auto& element : related.arrayValue())
    if (auto object = element.objectAs<ManagedObject>()) objects.push_back(object);
  return objects;
}

bool ManagedObject::addObjectForKey(const std::shared_ptr<ManagedObject>& object, const std::string& key) {
  auto relationship = entity_ ? entity_->relationshipNamed(key) : nullptr;
  if (!object || !relationship || !relationship->isToMany()) return false;
  Array current = valueForKey(key).arrayValue();
  for (const auto& element : current)
    if (element.objectAs<ManagedObject>() == object) return true;
  current.push_back(Value(std::static_pointer_cast<foundation::Object>(object)));
  return setValueForKey(Value(std::move(current)), key);
}

bool ManagedObject::removeObjectForKey(const std::shared_ptr<ManagedObject>& object, const std::string& key) {
  auto relationship = entity_ ? entity_->relationshipNamed(key) : nullptr;
  if (!object || !relationship || !relationship->isToMany()) return false;
  Array kept;
  const Value related = valueForKey(key);
  for (const auto& element : related.arrayValue())
    if (element.objectAs<ManagedObject>() != object) kept.push_back(element);
  return setValueForKey(Value(std::move(kept)), key);
}

void ManagedObject::willAccessValueForKey(const std::string&) const {
  auto context = context_.lock();
  if (context) context->state_->ensureLoaded(const_cast<ManagedObject&>(*this));
}

// --- observation ---

ManagedObject::ObserverToken ManagedObject::addObserver(const std::string& key, Observer observer, bool withValues) {
  if (!observer) return 0;
  std::weak_ptr<ManagedObject> weak = weak_from_this();
  auto& observation = withValues ? observation_ : valuelessObservation_;
  const ObserverToken mark = withValues ? 0 : kValuelessToken;
  return mark | observation.addObserver(key, [weak, key, observer = std::move(observer)](const Value& oldValue,
                                                                                  const Value& newValue) {
    if (auto self = weak.lock()) observer(*self, key, oldValue, newValue);
  });
}

void ManagedObject::removeObserver(ObserverToken token) {
  if (token & kValuelessToken) {
    valuelessObservation_.removeObserver(token & ~kValuelessToken);
  } else {
    observation_.removeObserver(token);
  }
}

std::string ManagedObject::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  std::string name = entity_ ? entity_->name() : std::string("ManagedObject");
  auto id = objectID();
  std::string text = "<" + name + ": " + address + "> (entity: " + name +
                     "; id: " + (id ? id->uriRepresentation() : std::string("(null)")) + "; data: ";
  if (isFault()) return text + "<fault>)";
  auto context = context_.lock();
  foundation::Dictionary values =
      underLock(context, context ? &context->state_->mutex : nullptr, [&] { return values_; });
  return text + Value(std::move(values)).description() + ")";
}

}  // namespace coredata
