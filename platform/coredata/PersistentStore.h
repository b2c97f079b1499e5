#pragma once
// PersistentStore stands in for the platform's persistent store: the place a coordinator keeps
// records, with its type, location, options and metadata. Two kinds sit behind this interface:
// the SQLite store (SQLiteStore.h, one file plus its journal) and the in-memory store
// (InMemoryStore.h). Contexts never talk to a store directly; the coordinator does, under its
// own lock, so store implementations need no locking of their own.
//
// Row-level operations (the second half of the class) are the coordinator's; applications use
// only the first half.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/EntityDescription.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace coredata {

// Store types.
inline constexpr const char* kSQLiteStoreType = "SQLite";
inline constexpr const char* kInMemoryStoreType = "InMemory";

// Option keys of addPersistentStore.
inline constexpr const char* kMigratePersistentStoresAutomaticallyOption =
    "NSMigratePersistentStoresAutomaticallyOption";
inline constexpr const char* kInferMappingModelAutomaticallyOption = "NSInferMappingModelAutomaticallyOption";
// A dictionary of SQLite pragmas run when the store opens, e.g. {"journal_mode": "WAL"}.
inline constexpr const char* kSQLitePragmasOption = "NSSQLitePragmasOption";
inline constexpr const char* kReadOnlyPersistentStoreOption = "NSReadOnlyPersistentStoreOption";

// Metadata keys.
inline constexpr const char* kStoreTypeKey = "NSStoreType";
inline constexpr const char* kStoreUUIDKey = "NSStoreUUID";
inline constexpr const char* kStoreModelVersionHashesKey = "NSStoreModelVersionHashes";

// One stored record as the coordinator sees it: attributes by name, to-one relationships as an
// ObjectIDPtr in a Value (or null), to-many as an Array of them.
struct StoreRow {
  std::int64_t primaryKey = 0;
  std::int64_t version = 0;  // bumped on every write of the row (optimistic locking)
  foundation::Dictionary values;
};

// Which rows a store holds, without their values: what a fetch needs first, since a context
// already holding an object loaded has no use for the stored values.
struct StoreRowKey {
  std::int64_t primaryKey = 0;
  std::int64_t version = 0;
};

// One change of a save. Inserts and updates carry the values to write (updates only the changed
// ones); deletes carry none. `expectedVersion` is checked for updates and deletes when the save
// asks for version checks.
struct StoreChange {
  enum class Kind { Insert, Update, Delete };
  Kind kind = Kind::Insert;
  std::shared_ptr<const EntityDescription> entity;
  ObjectIDPtr objectID;
  foundation::Dictionary values;
  std::int64_t expectedVersion = 0;
};

class PersistentStore : public foundation::Object {
 public:
  ~PersistentStore() override = default;

  // kSQLiteStoreType or kInMemoryStoreType.
  virtual std::string type() const = 0;
  // The store's UUID, kept in its metadata; part of every permanent object ID.
  const std::string& identifier() const { return identifier_; }
  // The file path (empty for in-memory stores).
  const std::string& path() const { return path_; }
  const std::string& configurationName() const { return configuration_; }
  const foundation::Dictionary& options() const { return options_; }
  // kStoreTypeKey, kStoreUUIDKey and kStoreModelVersionHashesKey (entity name -> hash Data).
  virtual foundation::Dictionary metadata() const;

  std::string description() const override;

  // --- The coordinator's side -----------------------------------------------------------------
  // Opens the store for `model` (creating, checking, or migrating it). On failure sets `*error`
  // (codes in CoreDataErrors.h) and returns false; the store is then unusable and a store file
  // is left as it was.
  virtual bool load(const std::shared_ptr<const ManagedObjectModel>& model, foundation::Error* error) = 0;
  // Every row of `entity`, in primary-key order. Nothing and `*error` on failure.
  virtual std::optional<std::vector<StoreRow>> fetchRows(const EntityDescription& entity,
                                                         foundation::Error* error) = 0;
  // The primary key and version of every row of `entity`, in primary-key order. Nothing and
  // `*error` on failure.
  virtual std::optional<std::vector<StoreRowKey>> fetchRowKeys(const EntityDescription& entity,
                                                               foundation::Error* error) = 0;
  // Row `primaryKey` of `entity`: the row, or nothing with `*found` false when it does not exist,
  // or nothing with `*error` set on failure.
  virtual std::optional<StoreRow> fetchRow(const EntityDescription& entity, std::int64_t primaryKey,
                                           bool* found, foundation::Error* error) = 0;
  // Reserves `count` new primary keys of `entity` and returns the first (they are consecutive).
  // Reserved keys are never handed out again, even when the objects are not saved. -1 on failure.
  virtual std::int64_t allocatePrimaryKeys(const EntityDescription& entity, std::int64_t count,
                                           foundation::Error* error) = 0;
  // Applies `changes` all or nothing. With `checkVersions`, an update or delete whose row version
  // differs from its expectedVersion (or whose row is gone) is a conflict: nothing is written,
  // `*conflicts` lists the IDs and the result is false with no error set. On success
  // `*newVersions` (URI -> version) holds each written row's version.
  virtual bool save(const std::vector<StoreChange>& changes, bool checkVersions,
                    std::vector<ObjectIDPtr>* conflicts, std::map<std::string, std::int64_t>* newVersions,
                    foundation::Error* error) = 0;

  ObjectIDPtr objectIDFor(const std::string& entityName, std::int64_t primaryKey) const;

 protected:
  PersistentStore(std::string path, std::string configuration, foundation::Dictionary options);
  void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }

  std::shared_ptr<const ManagedObjectModel> model_;

 private:
  std::string identifier_;
  std::string path_;
  std::string configuration_;
  foundation::Dictionary options_;
};

}  // namespace coredata
