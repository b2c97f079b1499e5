#include "platform/coredata/PersistentStore.h"

namespace coredata {

PersistentStore::PersistentStore(std::string path, std::string configuration, foundation::Dictionary options)
    : path_(std::move(path)), configuration_(std::move(configuration)), options_(std::move(options)) {}

foundation::Dictionary PersistentStore::metadata() const {
  foundation::Dictionary metadata;
  metadata.set(kStoreTypeKey, type());
  metadata.set(kStoreUUIDKey, identifier_);
  if (model_) metadata.set(kStoreModelVersionHashesKey, model_->entityVersionHashesByName());
  return metadata;
}

std::string PersistentStore::description() const {
  return "<PersistentStore: " + type() + "> (URL: file://" + path_ + ")";
}

ObjectIDPtr PersistentStore::objectIDFor(const std::string& entityName, std::int64_t primaryKey) const {
  return ManagedObjectID::permanent(entityName, identifier_, primaryKey);
}

}  // namespace coredata
