// Aggregates over one attribute, and the extreme-value lookups, of DSManagedObject.
#include "coredata/ObjectCategories.h"
#include "platform/coredata/Expression.h"

using coredata::ExpressionDescription;
using coredata::FetchRequest;
using coredata::ManagedObjectPtr;
using foundation::Value;

namespace {

constexpr const char* kResultName = "result";

// `function` over the attribute's key path, named "result", converted to the attribute's own type
// (undefined when the entity lacks the attribute).
ExpressionDescription resultDescription(const std::string& entityName, const std::string& function,
                                        const std::string& attribute, const DSInContext& context) {
  unsigned long type = ExpressionDescription::kUndefined;
  if (auto entity = DSManagedObject::DS_entityDescription(entityName, context)) {
    if (auto description = entity->attributeNamed(attribute)) type = static_cast<unsigned long>(description->attributeType());
  }
  return ExpressionDescription(
      kResultName, coredata::Expression::function(function, {coredata::Expression::keyPath(attribute)}), type);
}

// The object of the entity with the smallest (or largest) non-nil attribute: nil sorts before
// every value, so objects without one are left out rather than winning the minimum.
ManagedObjectPtr extremeObject(const std::string& entityName, const std::string& attribute, bool smallest,
                               const DSInContext& context) {
  const auto hasValue = coredata::Predicate::comparison(
      coredata::Expression::keyPath(attribute), coredata::ComparisonOperator::NotEqualTo, coredata::Expression::constant(Value()));
  FetchRequest request = DSManagedObject::DS_requestAllWithPredicate(entityName, hasValue, context);
  request.setSortDescriptors({coredata::SortDescriptor(attribute, smallest)});
  return DSManagedObject::DS_executeFetchRequestAndReturnFirstObject(request, context).objectAs<coredata::ManagedObject>();
}

Value extremeValue(const ManagedObjectPtr& object, const std::string& attribute, bool smallest) {
  if (!object || !object->entity()) return Value();
  const auto found = extremeObject(object->entity()->name(), attribute, smallest, DSInContext());
  return found ? found->valueForKey(attribute) : Value();
}

}  // namespace

Value DSManagedObject::DS_aggregateOperation(const std::string& entityName, const std::string& function,
                                             const std::string& attribute, const DSPredicate& predicate,
                                             const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  FetchRequest request = DS_requestAllWithPredicate(entityName, predicate, resolved);
  request.setPropertiesToFetch({resultDescription(entityName, function, attribute, resolved)});
  request.setResultType(FetchRequest::ResultType::Dictionary);
  const Value first = DS_executeFetchRequestAndReturnFirstObject(request, resolved);
  return first.isDictionary() ? first.dictionaryValue().get(kResultName) : Value();
}

std::optional<std::vector<foundation::Dictionary>> DSManagedObject::DS_aggregateOperation(
    const std::string& entityName, const std::string& function, const std::string& attribute,
    const DSPredicate& predicate, const std::string& groupBy, const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  FetchRequest request = DS_requestAllWithPredicate(entityName, predicate, resolved);
  request.setPropertiesToFetch({groupBy, resultDescription(entityName, function, attribute, resolved)});
  request.setPropertiesToGroupBy({groupBy});
  request.setResultType(FetchRequest::ResultType::Dictionary);
  auto results = DS_executeFetchRequest(request, resolved);
  if (!results) return std::nullopt;
  std::vector<foundation::Dictionary> groups;
  for (const Value& value : *results) {
    if (value.isDictionary()) groups.push_back(value.dictionaryValue());
  }
  return groups;
}

ManagedObjectPtr DSManagedObject::DS_objectWithMinValueFor(const ManagedObjectPtr& object, const std::string& attribute,
                                                           const DSInContext& context) {
  if (!object || !object->entity()) return nullptr;
  // Left out, the context is the object's own rather than the calling thread's.
  const DSInContext where = context.given() ? context : DSInContext(object->managedObjectContext());
  return extremeObject(object->entity()->name(), attribute, true, where);
}

Value DSManagedObject::DS_minValueFor(const ManagedObjectPtr& object, const std::string& attribute) {
  return extremeValue(object, attribute, true);
}

Value DSManagedObject::DS_maxValueFor(const ManagedObjectPtr& object, const std::string& attribute) {
  return extremeValue(object, attribute, false);
}
