// Entities, fetch-request builders, execution, finders and counters of DSManagedObject.
#include <atomic>
#include <mutex>

#include "coredata/DataStackLog.h"
#include "coredata/ObjectCategories.h"
#include "platform/coredata/CoreDataErrors.h"
#include "platform/foundation/String.h"

using coredata::FetchRequest;
using coredata::ManagedObjectPtr;
using coredata::SortDescriptor;
using foundation::Value;

namespace {

std::mutex gBatchSizeMutex;  // the setter's lock "on the managed-object class"
std::atomic<std::size_t> gDefaultBatchSize{20};

// "%K = %@": the attribute as key path, the value as a constant.
coredata::Predicate attributeEquals(const std::string& attribute, const Value& value) {
  return coredata::Predicate::comparison(coredata::Expression::keyPath(attribute),
                                         coredata::ComparisonOperator::EqualTo, coredata::Expression::constant(value));
}

// The managed objects of a result array (other kinds of result are skipped).
DSObjects objectsOf(const foundation::Array& results) {
  DSObjects objects;
  objects.reserve(results.size());
  for (const Value& value : results) {
    if (auto object = value.objectAs<coredata::ManagedObject>()) objects.push_back(std::move(object));
  }
  return objects;
}

std::optional<DSObjects> fetchObjects(const FetchRequest& request, const DSInContext& context) {
  auto results = DSManagedObject::DS_executeFetchRequest(request, context);
  if (!results) return std::nullopt;
  return objectsOf(*results);
}

ManagedObjectPtr firstObject(FetchRequest request, const DSInContext& context) {
  return DSManagedObject::DS_executeFetchRequestAndReturnFirstObject(request, context).objectAs<coredata::ManagedObject>();
}

std::string trimmed(const std::string& text) { return foundation::trim(text); }

}  // namespace

DSContextPtr DSInContext::resolve() const {
  return given_ ? context_ : DSManagedObjectContext::DS_contextForCurrentThread();
}

// --- Entities ------------------------------------------------------------------------------------

std::string DSManagedObject::DS_entityNameForClassName(const std::string& className) {
  const auto cut = className.find_last_of(".:");
  return cut == std::string::npos ? className : className.substr(cut + 1);
}

std::shared_ptr<const coredata::EntityDescription> DSManagedObject::DS_entityDescription(const std::string& entityName,
                                                                                         const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  if (!resolved) return nullptr;
  const auto model = resolved->managedObjectModel();
  return model ? model->entityNamed(entityName) : nullptr;
}

std::vector<std::shared_ptr<const coredata::PropertyDescription>> DSManagedObject::DS_propertiesNamed(
    const std::string& entityName, const std::vector<std::string>& names, const DSInContext& context) {
  std::vector<std::shared_ptr<const coredata::PropertyDescription>> properties;
  if (names.empty()) return properties;
  const auto entity = DS_entityDescription(entityName, context);
  const std::size_t known = entity ? entity->properties().size() : 0;
  for (const std::string& name : names) {
    if (auto property = entity ? entity->propertyNamed(name) : nullptr) {
      properties.push_back(std::move(property));
      continue;
    }
    dslog::log(dslog::kWarning, "Property '%@' not found in %lx properties for %@", name,
               static_cast<unsigned long>(known), entityName);
  }
  return properties;
}

std::vector<SortDescriptor> DSManagedObject::DS_sortAscending(bool ascending, const std::vector<std::string>& attributes) {
  std::vector<SortDescriptor> descriptors;
  for (const std::string& attribute : attributes) descriptors.emplace_back(attribute, ascending);
  return descriptors;
}

std::vector<SortDescriptor> DSManagedObject::DS_ascendingSortDescriptors(const std::vector<std::string>& attributes) {
  return DS_sortAscending(true, attributes);
}

std::vector<SortDescriptor> DSManagedObject::DS_descendingSortDescriptors(const std::vector<std::string>& attributes) {
  return DS_sortAscending(false, attributes);
}

std::size_t DSManagedObject::DS_defaultBatchSize() { return gDefaultBatchSize; }

void DSManagedObject::DS_setDefaultBatchSize(std::size_t batchSize) {
  std::lock_guard<std::mutex> lock(gBatchSizeMutex);
  gDefaultBatchSize = batchSize;
}

// --- Request builders ----------------------------------------------------------------------------

FetchRequest DSManagedObject::DS_createFetchRequest(const std::string& entityName, const DSInContext& context) {
  FetchRequest request(entityName);
  // An entity the model lacks leaves the request by name only: executing it fails and is reported.
  if (auto entity = DS_entityDescription(entityName, context)) request.setEntity(std::move(entity));
  return request;
}

FetchRequest DSManagedObject::DS_requestAll(const std::string& entityName, const DSInContext& context) {
  return DS_createFetchRequest(entityName, context);
}

FetchRequest DSManagedObject::DS_requestAllWithPredicate(const std::string& entityName, const DSPredicate& predicate,
                                                         const DSInContext& context) {
  FetchRequest request = DS_createFetchRequest(entityName, context);
  request.setPredicate(predicate);
  return request;
}

FetchRequest DSManagedObject::DS_requestAllWhere(const std::string& entityName, const std::string& attribute,
                                                 const Value& value, const DSInContext& context) {
  return DS_requestAllWithPredicate(entityName, attributeEquals(attribute, value), context);
}

FetchRequest DSManagedObject::DS_requestFirstWithPredicate(const std::string& entityName, const DSPredicate& predicate,
                                                           const DSInContext& context) {
  FetchRequest request = DS_requestAllWithPredicate(entityName, predicate, context);
  request.setFetchLimit(1);
  return request;
}

FetchRequest DSManagedObject::DS_requestFirstByAttribute(const std::string& entityName, const std::string& attribute,
                                                         const Value& value, const DSInContext& context) {
  return DS_requestFirstWithPredicate(entityName, attributeEquals(attribute, value), context);
}

FetchRequest DSManagedObject::DS_requestAllSortedBy(const std::string& entityName, const std::string& sortTerm,
                                                    bool ascending, const DSPredicate& predicate,
                                                    const DSInContext& context) {
  FetchRequest request = DS_requestAll(entityName, context);
  if (predicate) request.setPredicate(predicate);
  request.setFetchBatchSize(DS_defaultBatchSize());
  std::vector<SortDescriptor> descriptors;
  bool direction = ascending;
  for (const std::string& term : foundation::componentsSeparatedByString(sortTerm, ",")) {
    const auto parts = foundation::componentsSeparatedByString(term, ":");
    std::string key = trimmed(parts.front());
    if (parts.size() >= 2) direction = Value(trimmed(parts.back())).boolValue();
    if (key.empty()) continue;
    descriptors.emplace_back(std::move(key), direction);
  }
  request.setSortDescriptors(std::move(descriptors));
  return request;
}

FetchRequest DSManagedObject::DS_requestAllSortedBy(const std::string& entityName, const std::string& sortTerm,
                                                    bool ascending, const DSInContext& context) {
  return DS_requestAllSortedBy(entityName, sortTerm, ascending, std::nullopt, context);
}

// --- Execution -----------------------------------------------------------------------------------

std::optional<foundation::Array> DSManagedObject::DS_executeFetchRequest(const FetchRequest& request,
                                                                         const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  if (!resolved) {
    DataStack::handleErrors(coredata::coreDataError(coredata::kCoreDataError, "There is no context to fetch in"));
    return std::nullopt;
  }
  std::optional<foundation::Array> results;
  foundation::Error error;
  resolved->performAndWait([&] { results = resolved->executeFetchRequest(request, &error); });
  if (!results) DataStack::handleErrors(error);
  return results;
}

Value DSManagedObject::DS_executeFetchRequestAndReturnFirstObject(FetchRequest& request, const DSInContext& context) {
  request.setFetchLimit(1);
  auto results = DS_executeFetchRequest(request, context);
  if (!results || results->empty()) return Value();
  return results->front();
}

// --- Finders -------------------------------------------------------------------------------------

std::optional<DSObjects> DSManagedObject::DS_findAll(const std::string& entityName, const DSInContext& context) {
  return fetchObjects(DS_requestAll(entityName, context), context);
}

std::optional<DSObjects> DSManagedObject::DS_findAllWithPredicate(const std::string& entityName,
                                                                  const DSPredicate& predicate,
                                                                  const DSInContext& context) {
  return fetchObjects(DS_requestAllWithPredicate(entityName, predicate, context), context);
}

std::optional<DSObjects> DSManagedObject::DS_findAllSortedBy(const std::string& entityName, const std::string& sortTerm,
                                                             bool ascending, const DSInContext& context) {
  return fetchObjects(DS_requestAllSortedBy(entityName, sortTerm, ascending, context), context);
}

std::optional<DSObjects> DSManagedObject::DS_findAllSortedBy(const std::string& entityName, const std::string& sortTerm,
                                                             bool ascending, const DSPredicate& predicate,
                                                             const DSInContext& context) {
  return fetchObjects(DS_requestAllSortedBy(entityName, sortTerm, ascending, predicate, context), context);
}

std::optional<DSObjects> DSManagedObject::DS_findByAttribute(const std::string& entityName,
                                                             const std::string& attribute, const Value& value,
                                                             const DSInContext& context) {
  return fetchObjects(DS_requestAllWhere(entityName, attribute, value, context), context);
}

std::optional<DSObjects> DSManagedObject::DS_findByAttribute(const std::string& entityName,
                                                             const std::string& attribute, const Value& value,
                                                             const std::string& orderBy, bool ascending,
                                                             const DSInContext& context) {
  return fetchObjects(DS_requestAllSortedBy(entityName, orderBy, ascending, attributeEquals(attribute, value), context),
                      context);
}

ManagedObjectPtr DSManagedObject::DS_findFirst(const std::string& entityName, const DSInContext& context) {
  return firstObject(DS_requestAll(entityName, context), context);
}

ManagedObjectPtr DSManagedObject::DS_findFirstByAttribute(const std::string& entityName, const std::string& attribute,
                                                          const Value& value, const DSInContext& context) {
  return firstObject(DS_requestFirstByAttribute(entityName, attribute, value, context), context);
}

ManagedObjectPtr DSManagedObject::DS_findFirstWithPredicate(const std::string& entityName,
                                                            const DSPredicate& predicate, const DSInContext& context) {
  return firstObject(DS_requestFirstWithPredicate(entityName, predicate, context), context);
}

ManagedObjectPtr DSManagedObject::DS_findFirstOrderedByAttribute(const std::string& entityName,
                                                                 const std::string& attribute, bool ascending,
                                                                 const DSInContext& context) {
  return firstObject(DS_requestAllSortedBy(entityName, attribute, ascending, context), context);
}

ManagedObjectPtr DSManagedObject::DS_findFirstWithPredicate(const std::string& entityName,
                                                            const DSPredicate& predicate, const std::string& sortedBy,
                                                            bool ascending, const DSInContext& context) {
  return firstObject(DS_requestAllSortedBy(entityName, sortedBy, ascending, predicate, context), context);
}

ManagedObjectPtr DSManagedObject::DS_findFirstWithPredicate(const std::string& entityName,
                                                            const DSPredicate& predicate,
                                                            const std::vector<std::string>& attributes,
                                                            const DSInContext& context) {
  FetchRequest request = DS_requestAllWithPredicate(entityName, predicate, context);
  std::vector<coredata::PropertyToFetch> properties(attributes.begin(), attributes.end());
  request.setPropertiesToFetch(std::move(properties));
  return firstObject(std::move(request), context);
}

ManagedObjectPtr DSManagedObject::DS_findFirstWithPredicate(const std::string& entityName,
                                                            const DSPredicate& predicate, const std::string& sortedBy,
                                                            bool ascending, const DSInContext& context,
                                                            const std::vector<std::string>& attributes) {
  FetchRequest request = DS_requestAllSortedBy(entityName, sortedBy, ascending, predicate, context);
  std::vector<coredata::PropertyToFetch> properties;
  for (const auto& property : DS_propertiesNamed(entityName, attributes, context)) properties.emplace_back(property->name());
  request.setPropertiesToFetch(std::move(properties));
  return firstObject(std::move(request), context);
}

ManagedObjectPtr DSManagedObject::DS_findFirstOrCreateByAttribute(const std::string& entityName,
                                                                  const std::string& attribute, const Value& value,
                                                                  const DSInContext& context) {
  if (ManagedObjectPtr found = DS_findFirstByAttribute(entityName, attribute, value, context)) return found;
  ManagedObjectPtr created = DS_createEntity(entityName, context);
  if (created) created->setValueForKey(value, attribute);
  return created;
}

// --- Counters ------------------------------------------------------------------------------------

std::size_t DSManagedObject::DS_countOfEntities(const std::string& entityName, const DSInContext& context) {
  return DS_countOfEntitiesWithPredicate(entityName, std::nullopt, context);
}

std::size_t DSManagedObject::DS_countOfEntitiesWithPredicate(const std::string& entityName,
                                                             const DSPredicate& predicate,
                                                             const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  if (!resolved) {
    DataStack::handleErrors(coredata::coreDataError(coredata::kCoreDataError, "There is no context to count in"));
    return 0;
  }
  FetchRequest request = DS_createFetchRequest(entityName, resolved);
  if (predicate) request.setPredicate(predicate);
  std::optional<std::size_t> count;
  foundation::Error error;
  resolved->performAndWait([&] { count = resolved->countForFetchRequest(request, &error); });
  // A failed count reads as 0, never as a huge "not found" number a caller would take for objects.
  if (!count) {
    DataStack::handleErrors(error);
    return 0;
  }
  return *count;
}

Value DSManagedObject::DS_numberOfEntities(const std::string& entityName, const DSInContext& context) {
  return Value(static_cast<unsigned long>(DS_countOfEntities(entityName, context)));
}

Value DSManagedObject::DS_numberOfEntitiesWithPredicate(const std::string& entityName, const DSPredicate& predicate,
                                                        const DSInContext& context) {
  return Value(static_cast<unsigned long>(DS_countOfEntitiesWithPredicate(entityName, predicate, context)));
}

bool DSManagedObject::DS_hasAtLeastOneEntity(const std::string& entityName, const DSInContext& context) {
  return DS_countOfEntities(entityName, context) > 0;
}
