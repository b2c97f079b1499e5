#pragma once
// InMemoryStore keeps records in memory only, for tests and throw-away stacks: the same row
// interface as the SQLite store, lost when the store goes. Nothing is ever migrated.
#include <map>
#include <string>

#include "platform/coredata/PersistentStore.h"

namespace coredata {

class InMemoryStore : public PersistentStore {
 public:
  InMemoryStore(std::string configuration, foundation::Dictionary options);

  std::string type() const override { return kInMemoryStoreType; }
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

 private:
  struct Table {
    std::map<std::int64_t, StoreRow> rows;
    std::int64_t maxKey = 0;
  };
  std::map<std::string, Table> tables_;
};

}  // namespace coredata
