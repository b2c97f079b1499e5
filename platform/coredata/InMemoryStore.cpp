#include "platform/coredata/InMemoryStore.h"

#include "platform/coredata/CoreDataErrors.h"
#include "platform/coredata/StoreIdentifier.h"

namespace coredata {

InMemoryStore::InMemoryStore(std::string configuration, foundation::Dictionary options)
    : PersistentStore(std::string(), std::move(configuration), std::move(options)) {}

bool InMemoryStore::load(const std::shared_ptr<const ManagedObjectModel>& model, foundation::Error*) {
  model_ = model;
  setIdentifier(newStoreIdentifier());
  for (const auto& entity : model->entities()) tables_[entity->name()];
  return true;
}

std::optional<std::vector<StoreRow>> InMemoryStore::fetchRows(const EntityDescription& entity, foundation::Error* error) {
  auto table = tables_.find(entity.name());
  if (table == tables_.end()) {
    if (error) *error = coreDataError(kCoreDataError, "The store holds no entity " + entity.name());
    return std::nullopt;
  }
  std::vector<StoreRow> rows;
  for (const auto& [key, row] : table->second.rows) rows.push_back(row);
  return rows;
}

std::optional<std::vector<StoreRowKey>> InMemoryStore::fetchRowKeys(const EntityDescription& entity,
                                                                     foundation::Error* error) {
  auto table = tables_.find(entity.name());
  if (table == tables_.end()) {
    if (error) *error = coreDataError(kCoreDataError, "The store holds no entity " + entity.name());
    return std::nullopt;
  }
  std::vector<StoreRowKey> keys;
  keys.reserve(table->second.rows.size());
  for (const auto& [key, row] : table->second.rows) keys.push_back({row.primaryKey, row.version});
  return keys;
}

std::optional<StoreRow> InMemoryStore::fetchRow(const EntityDescription& entity, std::int64_t primaryKey, bool* found,
                                                foundation::Error*) {
  if (found) *found = false;
  auto table = tables_.find(entity.name());
  if (table == tables_.end()) return std::nullopt;
  auto row = table->second.rows.find(primaryKey);
  if (row == table->second.rows.end()) return std::nullopt;
  if (found) *found = true;
  return row->second;
}

std::int64_t InMemoryStore::allocatePrimaryKeys(const EntityDescription& entity, std::int64_t count,
                                                foundation::Error* error) {
  auto table = tables_.find(entity.name());
  if (table == tables_.end()) {
    if (error) *error = coreDataError(kCoreDataError, "The store holds no entity " + entity.name());
    return -1;
  }
  std::int64_t first = table->second.maxKey + 1;
  table->second.maxKey += count;
  return first;
}

bool InMemoryStore::save(const std::vector<StoreChange>& changes, bool checkVersions,
                         std::vector<ObjectIDPtr>* conflicts, std::map<std::string, std::int64_t>* newVersions,
                         foundation::Error* error) {
  // Check everything first so that a refused save changes nothing.
  std::vector<ObjectIDPtr> found;
  for (const auto& change : changes) {
    auto table = tables_.find(change.entity->name());
    if (table == tables_.end()) {
      if (error) *error = coreDataError(kCoreDataError, "The store holds no entity " + change.entity->name());
      return false;
    }
    if (change.kind == StoreChange::Kind::Insert) continue;
    auto row = table->second.rows.find(change.objectID->primaryKey());
    bool gone = row == table->second.rows.end();
    if ((gone && change.kind == StoreChange::Kind::Update) ||
        (checkVersions && (gone || row->second.version != change.expectedVersion)))
      found.push_back(change.objectID);
  }
  if (!found.empty()) {
    if (conflicts) *conflicts = found;
    return false;
  }
  std::map<std::string, std::int64_t> versions;
  for (const auto& change : changes) {
    auto& rows = tables_[change.entity->name()].rows;
    std::int64_t key = change.objectID->primaryKey();
    switch (change.kind) {
      case StoreChange::Kind::Delete:
        rows.erase(key);
        break;
      case StoreChange::Kind::Insert:
        rows[key] = StoreRow{key, 1, change.values};
        versions[change.objectID->uriRepresentation()] = 1;
        break;
      case StoreChange::Kind::Update: {
        auto& row = rows[key];
        for (const auto& [name, value] : change.values) row.values.set(name, value);
        versions[change.objectID->uriRepresentation()] = ++row.version;
        break;
      }
    }
  }
  if (newVersions) *newVersions = std::move(versions);
  return true;
}

}  // namespace coredata
