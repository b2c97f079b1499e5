#pragma once
// DSManagedObject holds the layer's operations on entities and their objects: fetch-request
// builders, finders and counters, creation, deletion, truncation, the lookup of an object in
// another context, and aggregates computed over one attribute.
//
// Scheme: an operation of an entity class takes the entity name first ("HostGroup"); an operation
// of an object takes the object first. The context comes last and may be left out: then the
// calling thread's context is used (DSManagedObjectContext::DS_contextForCurrentThread, the
// default context on the main thread). Predicates are optional: none means every object.
//
// Threads: fetches, counts and the bulk deletions run inside the context's queue while the caller
// waits, so they may be called from any thread; the objects returned belong to that context.
// Creation, single deletion and lookup use the context directly: call them inside its queue (a
// save block, or the main thread for the default context). Failures never reach the caller as
// errors: they go to DataStack::handleErrors and the operation returns nothing.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "coredata/ContextCategories.h"
#include "platform/coredata/FetchRequest.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/Predicate.h"
#include "platform/coredata/SortDescriptor.h"

using DSObjects = std::vector<coredata::ManagedObjectPtr>;
using DSPredicate = std::optional<coredata::Predicate>;

// The context an operation runs in: the one given, or the calling thread's when none is named.
class DSInContext {
 public:
  DSInContext() = default;
  DSInContext(DSContextPtr context) : context_(std::move(context)), given_(true) {}  // NOLINT: implicit by design
  // The given context (possibly null), else DS_contextForCurrentThread().
  DSContextPtr resolve() const;
  // Whether a context was named (null included).
  bool given() const { return given_; }

 private:
  DSContextPtr context_;
  bool given_ = false;
};

struct DSManagedObject {
  // --- Entities -------------------------------------------------------------------------------
  // The entity of a class named `className`: the last "."- or "::"-separated component, so a
  // module-qualified "Quillmere.HostGroup" maps to "HostGroup".
  static std::string DS_entityNameForClassName(const std::string& className);
  // The entity `entityName` of the context's model, or null.
  static std::shared_ptr<const coredata::EntityDescription> DS_entityDescription(const std::string& entityName,
                                                                                 const DSInContext& context = {});
  // The entity's properties named, in the given order; unknown names are skipped with a warning.
  static std::vector<std::shared_ptr<const coredata::PropertyDescription>> DS_propertiesNamed(
      const std::string& entityName, const std::vector<std::string>& names, const DSInContext& context = {});
  // One sort descriptor per attribute, all in the given direction.
  static std::vector<coredata::SortDescriptor> DS_sortAscending(bool ascending, const std::vector<std::string>& attributes);
  static std::vector<coredata::SortDescriptor> DS_ascendingSortDescriptors(const std::vector<std::string>& attributes);
  static std::vector<coredata::SortDescriptor> DS_descendingSortDescriptors(const std::vector<std::string>& attributes);
  // The batch size of sorted requests, initially 20. Thread-safe.
  static std::size_t DS_defaultBatchSize();
  static void DS_setDefaultBatchSize(std::size_t batchSize);

  // --- Request builders (a new request of the entity; an unknown entity gives a request that
  // fails when executed) ---------------------------------------------------------------------------
  static coredata::FetchRequest DS_createFetchRequest(const std::string& entityName, const DSInContext& context = {});
  static coredata::FetchRequest DS_requestAll(const std::string& entityName, const DSInContext& context = {});
  static coredata::FetchRequest DS_requestAllWithPredicate(const std::string& entityName, const DSPredicate& predicate,
                                                           const DSInContext& context = {});
  // "%K = %@" with the attribute and the value.
  static coredata::FetchRequest DS_requestAllWhere(const std::string& entityName, const std::string& attribute,
                                                   const foundation::Value& value, const DSInContext& context = {});
  // With a fetch limit of 1.
  static coredata::FetchRequest DS_requestFirstWithPredicate(const std::string& entityName,
                                                             const DSPredicate& predicate,
                                                             const DSInContext& context = {});
  static coredata::FetchRequest DS_requestFirstByAttribute(const std::string& entityName, const std::string& attribute,
                                                           const foundation::Value& value,
                                                           const DSInContext& context = {});
  // Sorted by `sortTerm`, "key[:flag],key...": each key adds a sort descriptor; a flag (read as
  // the platform reads text as a Boolean) sets the direction for its key and the keys after it,
  // which otherwise follow `ascending`. Batch size DS_defaultBatchSize().
  static coredata::FetchRequest DS_requestAllSortedBy(const std::string& entityName, const std::string& sortTerm,
                                                      bool ascending, const DSPredicate& predicate,
                                                      const DSInContext& context = {});
  static coredata::FetchRequest DS_requestAllSortedBy(const std::string& entityName, const std::string& sortTerm,
                                                      bool ascending, const DSInContext& context = {});

  // --- Execution ------------------------------------------------------------------------------
  // Executes `request` in the context's queue: the results (objects, IDs or dictionaries, as the
  // request asks), or nothing after reporting the failure.
  static std::optional<foundation::Array> DS_executeFetchRequest(const coredata::FetchRequest& request,
                                                                 const DSInContext& context = {});
  // Sets the request's fetch limit to 1 (the caller's request changes), executes it and returns
  // its first result, or null.
  static foundation::Value DS_executeFetchRequestAndReturnFirstObject(coredata::FetchRequest& request,
                                                                      const DSInContext& context = {});

  // --- Finders (nothing on failure; an empty array when nothing matches) --------------------------
  static std::optional<DSObjects> DS_findAll(const std::string& entityName, const DSInContext& context = {});
  static std::optional<DSObjects> DS_findAllWithPredicate(const std::string& entityName, const DSPredicate& predicate,
                                                          const DSInContext& context = {});
  static std::optional<DSObjects> DS_findAllSortedBy(const std::string& entityName, const std::string& sortTerm,
                                                     bool ascending, const DSInContext& context = {});
  static std::optional<DSObjects> DS_findAllSortedBy(const std::string& entityName, const std::string& sortTerm,
                                                     bool ascending, const DSPredicate& predicate,
                                                     const DSInContext& context = {});
  static std::optional<DSObjects> DS_findByAttribute(const std::string& entityName, const std::string& attribute,
                                                     const foundation::Value& value, const DSInContext& context = {});
  static std::optional<DSObjects> DS_findByAttribute(const std::string& entityName, const std::string& attribute,
                                                     const foundation::Value& value, const std::string& orderBy,
                                                     bool ascending, const DSInContext& context = {});
  // First-object finders: the object, or null.
  static coredata::ManagedObjectPtr DS_findFirst(const std::string& entityName, const DSInContext& context = {});
  static coredata::ManagedObjectPtr DS_findFirstByAttribute(const std::string& entityName, const std::string& attribute,
                                                            const foundation::Value& value,
                                                            const DSInContext& context = {});
  static coredata::ManagedObjectPtr DS_findFirstWithPredicate(const std::string& entityName,
                                                              const DSPredicate& predicate,
                                                              const DSInContext& context = {});
  static coredata::ManagedObjectPtr DS_findFirstOrderedByAttribute(const std::string& entityName,
                                                                   const std::string& attribute, bool ascending,
                                                                   const DSInContext& context = {});
  static coredata::ManagedObjectPtr DS_findFirstWithPredicate(const std::string& entityName,
                                                              const DSPredicate& predicate, const std::string& sortedBy,
                                                              bool ascending, const DSInContext& context = {});
  // Fetching only the named attributes (passed as given).
  static coredata::ManagedObjectPtr DS_findFirstWithPredicate(const std::string& entityName,
                                                              const DSPredicate& predicate,
                                                              const std::vector<std::string>& attributes,
                                                              const DSInContext& context = {});
  // Sorted, fetching only the named properties that the entity has.
  static coredata::ManagedObjectPtr DS_findFirstWithPredicate(const std::string& entityName,
                                                              const DSPredicate& predicate, const std::string& sortedBy,
                                                              bool ascending, const DSInContext& context,
                                                              const std::vector<std::string>& attributes);
  // The first object whose attribute equals the value, or a new one with only that attribute set
  // (inserted in the context: call inside its queue).
  static coredata::ManagedObjectPtr DS_findFirstOrCreateByAttribute(const std::string& entityName,
                                                                    const std::string& attribute,
                                                                    const foundation::Value& value,
                                                                    const DSInContext& context = {});

  // --- Counters (0 after a reported failure) ------------------------------------------------------
  static std::size_t DS_countOfEntities(const std::string& entityName, const DSInContext& context = {});
  static std::size_t DS_countOfEntitiesWithPredicate(const std::string& entityName, const DSPredicate& predicate,
                                                     const DSInContext& context = {});
  // The same counts as number values.
  static foundation::Value DS_numberOfEntities(const std::string& entityName, const DSInContext& context = {});
  static foundation::Value DS_numberOfEntitiesWithPredicate(const std::string& entityName, const DSPredicate& predicate,
                                                            const DSInContext& context = {});
  static bool DS_hasAtLeastOneEntity(const std::string& entityName, const DSInContext& context = {});

  // --- Creation, deletion, lookup (call inside the context's queue) --------------------------------
  // A new object of the entity inserted into the context, made by the class registered for it (so
  // its insert hooks run); null when the context's model lacks the entity.
  static coredata::ManagedObjectPtr DS_createEntity(const std::string& entityName, const DSInContext& context = {});
  static coredata::ManagedObjectPtr DS_createInContext(const std::string& entityName, const DSContextPtr& context) {
    return DS_createEntity(entityName, context);
  }
  static coredata::ManagedObjectPtr DS_createInstanceInContext(const coredata::EntityDescription& entity,
                                                               const DSContextPtr& context);
  // Deletes `object`'s record from `context` (loading it there when needed); a lookup failure is
  // reported and nothing is deleted. Always true; the store changes when the context is saved.
  static bool DS_deleteEntityInContext(const coredata::ManagedObjectPtr& object, const DSContextPtr& context);
  // The same in the object's own context.
  static bool DS_deleteEntity(const coredata::ManagedObjectPtr& object);
  // Deletes every object matching the predicate (every object of the entity for truncate). True.
  static bool DS_deleteAllMatchingPredicate(const std::string& entityName, const DSPredicate& predicate,
                                            const DSInContext& context = {});
  static bool DS_truncateAll(const std::string& entityName, const DSInContext& context = {});
  // The same record as an object of `context`: a never-saved object first gets a permanent ID
  // from its own context. Null after a reported failure.
  static coredata::ManagedObjectPtr DS_inContext(const coredata::ManagedObjectPtr& object, const DSContextPtr& context);
  static coredata::ManagedObjectPtr DS_inThreadContext(const coredata::ManagedObjectPtr& object);

  // --- Aggregation ----------------------------------------------------------------------------
  // The store's `function` ("sum:", "average:", "min:", "max:", "count:", with or without the
  // colon) over `attribute` of the matching objects, in the attribute's type; null after a failure
  // and for empty min/max/average.
  static foundation::Value DS_aggregateOperation(const std::string& entityName, const std::string& function,
                                                 const std::string& attribute, const DSPredicate& predicate,
                                                 const DSInContext& context = {});
  // The same per distinct value of `groupBy`: one dictionary per group holding the group value
  // under `groupBy` and the computed value under "result". Nothing after a failure.
  static std::optional<std::vector<foundation::Dictionary>> DS_aggregateOperation(
      const std::string& entityName, const std::string& function, const std::string& attribute,
      const DSPredicate& predicate, const std::string& groupBy, const DSInContext& context = {});
  // The object of `object`'s entity with the smallest non-nil `attribute`, in `context` (the
  // object's own context when left out); null when none has a value.
  static coredata::ManagedObjectPtr DS_objectWithMinValueFor(const coredata::ManagedObjectPtr& object,
                                                             const std::string& attribute,
                                                             const DSInContext& context = {});
  // The smallest / largest non-nil value of `attribute` among the objects of `object`'s entity in
  // the calling thread's context, or null.
  static foundation::Value DS_minValueFor(const coredata::ManagedObjectPtr& object, const std::string& attribute);
  static foundation::Value DS_maxValueFor(const coredata::ManagedObjectPtr& object, const std::string& attribute);
};
