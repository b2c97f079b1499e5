#pragma once
// FetchRequest stands in for the platform's fetch request: which entity to read, which objects
// (predicate), in which order (sort descriptors), how many (limit, offset) and in what form
// (managed objects, object IDs, dictionaries, or a count). Batch size and faulting flags are
// accepted and kept, but every fetch here loads its results whole.
//
// A request is a plain value: copy it freely; do not change one while a fetch is using it.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/EntityDescription.h"
#include "platform/coredata/Expression.h"
#include "platform/coredata/Predicate.h"
#include "platform/coredata/SortDescriptor.h"

namespace coredata {

class FetchRequest {
 public:
  // The platform's result type codes.
  enum class ResultType : unsigned long { ManagedObject = 0, ManagedObjectID = 1, Dictionary = 2, Count = 4 };

  FetchRequest() = default;
  explicit FetchRequest(std::string entityName) : entityName_(std::move(entityName)) {}
  static std::shared_ptr<FetchRequest> fetchRequestWithEntityName(std::string entityName);

  // The entity by name; setting an entity description sets its name too. A request without an
  // entity (or with one the context's model lacks) fails to execute (kCoreDataError).
  const std::string& entityName() const { return entityName_; }
  void setEntityName(std::string name) { entityName_ = std::move(name); }
  std::shared_ptr<const EntityDescription> entity() const { return entity_; }
  void setEntity(std::shared_ptr<const EntityDescription> entity);

  // No predicate means every object of the entity.
  const std::optional<Predicate>& predicate() const { return predicate_; }
  void setPredicate(std::optional<Predicate> predicate) { predicate_ = std::move(predicate); }
  const std::vector<SortDescriptor>& sortDescriptors() const { return sortDescriptors_; }
  void setSortDescriptors(std::vector<SortDescriptor> descriptors) { sortDescriptors_ = std::move(descriptors); }

  // 0 means no limit.
  std::size_t fetchLimit() const { return fetchLimit_; }
  void setFetchLimit(std::size_t limit) { fetchLimit_ = limit; }
  std::size_t fetchOffset() const { return fetchOffset_; }
  void setFetchOffset(std::size_t offset) { fetchOffset_ = offset; }
  std::size_t fetchBatchSize() const { return fetchBatchSize_; }
  void setFetchBatchSize(std::size_t size) { fetchBatchSize_ = size; }

  // Whether the context's own unsaved inserts, changes and deletions count (true by default).
  // Unsaved changes of ancestor contexts always count: to a child they are the parent's data.
  bool includesPendingChanges() const { return includesPendingChanges_; }
  void setIncludesPendingChanges(bool value) { includesPendingChanges_ = value; }
  bool returnsObjectsAsFaults() const { return returnsObjectsAsFaults_; }
  void setReturnsObjectsAsFaults(bool value) { returnsObjectsAsFaults_ = value; }
  bool includesPropertyValues() const { return includesPropertyValues_; }
  void setIncludesPropertyValues(bool value) { includesPropertyValues_ = value; }

  ResultType resultType() const { return resultType_; }
  void setResultType(ResultType type) { resultType_ = type; }
  // Dictionary results: the attribute key paths and computed properties to put in each
  // dictionary (every attribute when empty), and the key paths to group by.
  const std::vector<PropertyToFetch>& propertiesToFetch() const { return propertiesToFetch_; }
  void setPropertiesToFetch(std::vector<PropertyToFetch> properties) { propertiesToFetch_ = std::move(properties); }
  const std::vector<std::string>& propertiesToGroupBy() const { return propertiesToGroupBy_; }
  void setPropertiesToGroupBy(std::vector<std::string> keyPaths) { propertiesToGroupBy_ = std::move(keyPaths); }
  // Dictionary results: drop dictionaries equal to an earlier one.
  bool returnsDistinctResults() const { return returnsDistinctResults_; }
  void setReturnsDistinctResults(bool value) { returnsDistinctResults_ = value; }

  // "<FetchRequest> (entity: E; predicate: (…); sortDescriptors: (…); limit: n; type: t)".
  std::string description() const;

 private:
  std::string entityName_;
  std::shared_ptr<const EntityDescription> entity_;
  std::optional<Predicate> predicate_;
  std::vector<SortDescriptor> sortDescriptors_;
  std::size_t fetchLimit_ = 0;
  std::size_t fetchOffset_ = 0;
  std::size_t fetchBatchSize_ = 0;
  bool includesPendingChanges_ = true;
  bool returnsObjectsAsFaults_ = true;
  bool includesPropertyValues_ = true;
  ResultType resultType_ = ResultType::ManagedObject;
  std::vector<PropertyToFetch> propertiesToFetch_;
  std::vector<std::string> propertiesToGroupBy_;
  bool returnsDistinctResults_ = false;
};

}  // namespace coredata
