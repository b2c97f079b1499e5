#include "platform/coredata/PersistentStoreCoordinator.h"

#include <algorithm>
#include <cstdio>

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/InMemoryStore.h"
#include "platform/coredata/SQLiteStore.h"

namespace coredata {

namespace {

std::string filePath(const std::string& pathOrURL) {
  const std::string scheme = "file://";
  if (pathOrURL.rfind(scheme, 0) == 0) return pathOrURL.substr(scheme.size());
  return pathOrURL;
}

foundation::Error noStoreError() {
  return coreDataError(kCoreDataError, "This coordinator has no persistent stores. It cannot perform a save operation.");
}

}  // namespace

PersistentStoreCoordinator::PersistentStoreCoordinator(std::shared_ptr<const ManagedObjectModel> model)
    : model_(std::move(model)) {}

std::shared_ptr<PersistentStoreCoordinator> PersistentStoreCoordinator::create(
    std::shared_ptr<const ManagedObjectModel> model) {
  return std::make_shared<PersistentStoreCoordinator>(std::move(model));
}

PersistentStoreCoordinator::~PersistentStoreCoordinator() = default;

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::addPersistentStore(const std::string& type,
                                                                                const std::string& configuration,
                                                                                const std::string& path,
                                                                                const foundation::Dictionary& options,
                                                                                foundation::Error* error) {
  if (!model_) {
    if (error) *error = coreDataError(kCoreDataError, "The coordinator has no model");
    return nullptr;
  }
  std::shared_ptr<PersistentStore> store;
  if (type == kSQLiteStoreType) {
    std::string file = filePath(path);
    if (file.empty()) {
      if (error) *error = coreDataError(kPersistentStoreOpenError, "An SQLite store needs a file path");
      return nullptr;
    }
    store = std::make_shared<SQLiteStore>(file, configuration, options);
  } else if (type == kInMemoryStoreType) {
    store = std::make_shared<InMemoryStore>(configuration, options);
  } else {
    if (error) *error = coreDataError(kPersistentStoreInvalidTypeError, "Unknown store type " + type);
    return nullptr;
  }
  std::lock_guard lock(mutex_);
  if (!store->path().empty() && persistentStoreForPath(store->path())) {
    if (error) *error = coreDataError(kPersistentStoreOpenError, "The store at " + store->path() + " is already added");
    return nullptr;
  }
  if (!store->load(model_, error)) return nullptr;
  stores_.push_back(store);
  return store;
}

bool PersistentStoreCoordinator::removePersistentStore(const std::shared_ptr<PersistentStore>& store,
                                                       foundation::Error* error) {
  std::lock_guard lock(mutex_);
  auto it = std::find(stores_.begin(), stores_.end(), store);
  if (it == stores_.end()) {
    if (error) *error = coreDataError(kCoreDataError, "The store does not belong to this coordinator");
    return false;
  }
  stores_.erase(it);
  return true;
}

std::vector<std::shared_ptr<PersistentStore>> PersistentStoreCoordinator::persistentStores() const {
  std::lock_guard lock(mutex_);
  return stores_;
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::persistentStoreForPath(const std::string& path) const {
  std::lock_guard lock(mutex_);
  std::string file = filePath(path);
  for (const auto& store : stores_)
    if (!file.empty() && store->path() == file) return store;
  return nullptr;
}

std::optional<foundation::Dictionary> PersistentStoreCoordinator::metadataForPersistentStoreAtPath(
    const std::string& path, foundation::Error* error) {
  return SQLiteStore::readMetadata(filePath(path), error);
}

void PersistentStoreCoordinator::performBlockAndWait(const std::function<void()>& block) {
  std::lock_guard lock(mutex_);
  if (block) block();
}

void PersistentStoreCoordinator::lock() { mutex_.lock(); }
void PersistentStoreCoordinator::unlock() { mutex_.unlock(); }

std::string PersistentStoreCoordinator::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return std::string("<PersistentStoreCoordinator: ") + address + ">";
}

std::shared_ptr<PersistentStore> PersistentStoreCoordinator::storeForSaving(foundation::Error* error) const {
  std::lock_guard lock(mutex_);
  if (stores_.empty()) {
    if (error) *error = noStoreError();
    return nullptr;
  }
  return stores_.front();
}

std::optional<std::vector<ObjectIDPtr>> PersistentStoreCoordinator::newPermanentIDs(const EntityDescription& entity,
                                                                                    std::size_t count,
                                                                                    foundation::Error* error) {
  std::lock_guard lock(mutex_);
  auto store = storeForSaving(error);
  if (!store) return std::nullopt;
  std::vector<ObjectIDPtr> ids;
  if (count == 0) return ids;
  std::int64_t first = store->allocatePrimaryKeys(entity, static_cast<std::int64_t>(count), error);
  if (first < 0) return std::nullopt;
  for (std::size_t i = 0; i < count; ++i)
    ids.push_back(store->objectIDFor(entity.name(), first + static_cast<std::int64_t>(i)));
  return ids;
}

std::optional<std::vector<StoreRow>> PersistentStoreCoordinator::fetchRows(const EntityDescription& entity,
                                                                          foundation::Error* error) {
  std::lock_guard lock(mutex_);
  auto store = storeForSaving(error);
  if (!store) return std::nullopt;
  return store->fetchRows(entity, error);
}

std::optional<std::vector<StoreRowKey>> PersistentStoreCoordinator::fetchRowKeys(const EntityDescription& entity,
                                                                                foundation::Error* error) {
  std::lock_guard lock(mutex_);
  auto store = storeForSaving(error);
  if (!store) return std::nullopt;
  return store->fetchRowKeys(entity, error);
}

std::optional<StoreRow> PersistentStoreCoordinator::fetchRow(const ManagedObjectID& objectID, bool* found,
                                                             foundation::Error* error) {
  if (found) *found = false;
  std::lock_guard lock(mutex_);
  auto entity = model_ ? model_->entityNamed(objectID.entityName()) : nullptr;
  if (!entity || objectID.isTemporaryID()) return std::nullopt;
  for (const auto& store : stores_)
    if (store->identifier() == objectID.storeIdentifier())
      return store->fetchRow(*entity, objectID.primaryKey(), found, error);
  return std::nullopt;
}

bool PersistentStoreCoordinator::save(const std::vector<StoreChange>& changes, bool checkVersions,
                                      std::vector<ObjectIDPtr>* conflicts,
                                      std::map<std::string, std::int64_t>* newVersions, foundation::Error* error) {
  std::lock_guard lock(mutex_);
  auto store = storeForSaving(error);
  if (!store) return false;
  return store->save(changes, checkVersions, conflicts, newVersions, error);
}

}  // namespace coredata
