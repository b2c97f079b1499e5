#pragma once
// PersistentStoreCoordinator stands in for the platform's coordinator: it ties a model to its
// stores, opens (and migrates) stores, hands out permanent IDs and serves the rows that root
// contexts fetch and save. Several root contexts may share one coordinator.
//
// Entities live in the first store added (configurations are accepted but not used to split
// entities among stores). All operations are thread-safe: the coordinator serialises store access
// under its own lock.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace coredata {

class PersistentStoreCoordinator : public foundation::Object,
                                   public std::enable_shared_from_this<PersistentStoreCoordinator> {
 public:
  explicit PersistentStoreCoordinator(std::shared_ptr<const ManagedObjectModel> model);
  static std::shared_ptr<PersistentStoreCoordinator> create(std::shared_ptr<const ManagedObjectModel> model);
  ~PersistentStoreCoordinator() override;

  std::shared_ptr<const ManagedObjectModel> managedObjectModel() const { return model_; }

  // Opens a store of `type` (kSQLiteStoreType or kInMemoryStoreType) at `path` (a file path or a
  // "file://" URL; ignored for in-memory stores) with `options` (see PersistentStore.h) and adds
  // it. A new SQLite file is created (its folder must exist); an existing one is checked against
  // the model and migrated when the options ask for it. On failure returns null and sets `*error`:
  // kPersistentStoreIncompatibleVersionHashError (134100), kMigrationError (134110),
  // kMigrationMissingSourceModelError (134130), kFileReadCorruptFileError for a file that is not a
  // store, kPersistentStoreOpenError, kPersistentStoreInvalidTypeError. A failing add never
  // deletes or changes the file.
  std::shared_ptr<PersistentStore> addPersistentStore(const std::string& type, const std::string& configuration,
                                                      const std::string& path, const foundation::Dictionary& options,
                                                      foundation::Error* error);
  // Removes the store (it is closed when the last reference goes). False when it is not ours.
  bool removePersistentStore(const std::shared_ptr<PersistentStore>& store, foundation::Error* error);
  std::vector<std::shared_ptr<PersistentStore>> persistentStores() const;
  // The store whose path is `path`, or null.
  std::shared_ptr<PersistentStore> persistentStoreForPath(const std::string& path) const;

  // The metadata of the SQLite store at `path` without adding it; nothing and `*error` when the
  // file is missing or not a store.
  static std::optional<foundation::Dictionary> metadataForPersistentStoreAtPath(const std::string& path,
                                                                                foundation::Error* error);

  // Runs `block` on the calling thread while holding the coordinator's lock (re-entrant).
  void performBlockAndWait(const std::function<void()>& block);
  void lock();
  void unlock();

  std::string description() const override;

  // --- Used by root contexts ------------------------------------------------------------------
  // The store that holds objects (the first one), or null with `*error` = kCoreDataError.
  std::shared_ptr<PersistentStore> storeForSaving(foundation::Error* error) const;
  // Permanent IDs for `count` new objects of `entity`.
  std::optional<std::vector<ObjectIDPtr>> newPermanentIDs(const EntityDescription& entity, std::size_t count,
                                                          foundation::Error* error);
  std::optional<std::vector<StoreRow>> fetchRows(const EntityDescription& entity, foundation::Error* error);
  std::optional<std::vector<StoreRowKey>> fetchRowKeys(const EntityDescription& entity, foundation::Error* error);
  // The row behind `objectID`: nothing with `*found` false when it does not exist.
  std::optional<StoreRow> fetchRow(const ManagedObjectID& objectID, bool* found, foundation::Error* error);
  bool save(const std::vector<StoreChange>& changes, bool checkVersions, std::vector<ObjectIDPtr>* conflicts,
            std::map<std::string, std::int64_t>* newVersions, foundation::Error* error);

 private:
  std::shared_ptr<const ManagedObjectModel> model_;
  mutable std::recursive_mutex mutex_;
  std::vector<std::shared_ptr<PersistentStore>> stores_;
};

}  // namespace coredata
