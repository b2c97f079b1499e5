// Creation, deletion, truncation and in-context lookup of DSManagedObject.
#include "coredata/ObjectCategories.h"
#include "platform/coredata/CoreDataErrors.h"

using coredata::ManagedObject;
using coredata::ManagedObjectPtr;

ManagedObjectPtr DSManagedObject::DS_createEntity(const std::string& entityName, const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  const auto entity = DS_entityDescription(entityName, resolved);
  if (!entity) return nullptr;
  // The class registered for the entity makes the object, so its own insert hooks run.
  ManagedObjectPtr object = ManagedObject::instantiate(*entity);
  object->initWithEntity(entity, resolved);
  return object;
}

ManagedObjectPtr DSManagedObject::DS_createInstanceInContext(const coredata::EntityDescription& entity,
                                                             const DSContextPtr& context) {
  return DS_createEntity(entity.name(), context);
}

bool DSManagedObject::DS_deleteEntityInContext(const ManagedObjectPtr& object, const DSContextPtr& context) {
  if (!object || !context) return true;
  foundation::Error error;
  ManagedObjectPtr local = context->existingObjectWithID(object->objectID(), &error);
  if (!local) {
    DataStack::handleErrors(error);
    return true;
  }
  context->deleteObject(local);
  return true;
}

bool DSManagedObject::DS_deleteEntity(const ManagedObjectPtr& object) {
  return DS_deleteEntityInContext(object, object ? object->managedObjectContext() : nullptr);
}

bool DSManagedObject::DS_deleteAllMatchingPredicate(const std::string& entityName, const DSPredicate& predicate,
                                                    const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  coredata::FetchRequest request = DS_requestAllWithPredicate(entityName, predicate, resolved);
  request.setReturnsObjectsAsFaults(true);
  request.setIncludesPropertyValues(false);
  auto results = DS_executeFetchRequest(request, resolved);
  if (!results) return true;
  for (const foundation::Value& value : *results) {
    if (auto object = value.objectAs<ManagedObject>()) DS_deleteEntityInContext(object, resolved);
  }
  return true;
}

bool DSManagedObject::DS_truncateAll(const std::string& entityName, const DSInContext& context) {
  return DS_deleteAllMatchingPredicate(entityName, std::nullopt, context);
}

ManagedObjectPtr DSManagedObject::DS_inContext(const ManagedObjectPtr& object, const DSContextPtr& context) {
  if (!object || !context) return nullptr;
  foundation::Error error;
  if (object->objectID()->isTemporaryID()) {
    const DSContextPtr own = object->managedObjectContext();
    if (!own) {
      DataStack::handleErrors(coredata::coreDataError(coredata::kManagedObjectReferentialIntegrityError,
                                                      "The object is not in any context and was never saved"));
      return nullptr;
    }
    if (!own->obtainPermanentIDsForObjects({object}, &error)) {
      DataStack::handleErrors(error);
      return nullptr;
    }
  }
  ManagedObjectPtr found = context->existingObjectWithID(object->objectID(), &error);
  if (!found) DataStack::handleErrors(error);
  return found;
}

ManagedObjectPtr DSManagedObject::DS_inThreadContext(const ManagedObjectPtr& object) {
  return DS_inContext(object, DSManagedObjectContext::DS_contextForCurrentThread());
}
