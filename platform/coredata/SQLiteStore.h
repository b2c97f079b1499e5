#pragma once
// SQLiteStore keeps records in one SQLite file: a table per entity (primary key, row version,
// one column per attribute and per to-one relationship), a join table per to-many relationship,
// and bookkeeping tables with the store's UUID, the model's entity version hashes, the stored
// schema (so a later model can be migrated from it) and the primary-key counters.
//
// Every save and every migration is one SQLite transaction, so a process killed mid-write leaves
// the file as it was before that save. The journal mode and other pragmas come from the
// kSQLitePragmasOption dictionary; "synchronous" is FULL unless the options say otherwise.
// A file that is not a store is reported (kFileReadCorruptFileError) and never deleted or changed.
#include <memory>
#include <optional>
#include <string>

#include "platform/coredata/Migration.h"
#include "platform/coredata/PersistentStore.h"
#include "platform/coredata/SQLiteConnection.h"

namespace coredata {

class SQLiteStore : public PersistentStore {
 public:
  SQLiteStore(std::string path, std::string configuration, foundation::Dictionary options);
  ~SQLiteStore() override;

  std::string type() const override { return kSQLiteStoreType; }
  foundation::Dictionary metadata() const override;

  bool load(const std::shared_ptr<const ManagedObjectModel>& model, foundation::Error* error) override;
  std::optional<std::vector<StoreRow>> fetchRows(const EntityDescription& entity, foundation::Error* error) override;
  std::optional<std::vector<StoreRowKey>> fetchRowKeys(const EntityDescription& entity,
                                                       foundation::Error* error) override;
  std::optional<StoreRow> fetchRow(const EntityDescription& entity, std::int64_t primaryKey, bool* found,
                                   foundation::Error* error) override;
  std::int64_t allocatePrimaryKeys(const EntityDescription& entity, std::int64_t count,
                                   foundation::Error* error) override;
  bool save(const std::vector<StoreChange>& changes, bool checkVersions, std::vector<ObjectIDPtr>* conflicts,
            std::map<std::string, std::int64_t>* newVersions, foundation::Error* error) override;

  // The metadata of the store file at `path`, read without changing it; nothing and `*error` when
  // it is missing or not a store.
  static std::optional<foundation::Dictionary> readMetadata(const std::string& path, foundation::Error* error);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace coredata
