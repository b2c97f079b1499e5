#include "platform/coredata/ManagedObjectID.h"

#include <atomic>

namespace coredata {

namespace {

std::atomic<std::int64_t> nextTemporarySerial{1};

std::string makeURI(const std::string& entity, const std::string& store, std::int64_t key, bool temporary) {
  if (temporary) return "x-coredata:///" + entity + "/t" + std::to_string(key);
  return "x-coredata://" + store + "/" + entity + "/p" + std::to_string(key);
}

}  // namespace

ManagedObjectID::ManagedObjectID(std::string entityName, std::string storeIdentifier, std::int64_t key, bool temporary)
    : entityName_(std::move(entityName)),
      storeIdentifier_(std::move(storeIdentifier)),
      key_(key),
      temporary_(temporary),
      uri_(makeURI(entityName_, storeIdentifier_, key_, temporary_)) {}

std::shared_ptr<ManagedObjectID> ManagedObjectID::permanent(std::string entityName, std::string storeIdentifier,
                                                            std::int64_t primaryKey) {
  return std::make_shared<ManagedObjectID>(std::move(entityName), std::move(storeIdentifier), primaryKey, false);
}

std::shared_ptr<ManagedObjectID> ManagedObjectID::temporary(std::string entityName) {
  return std::make_shared<ManagedObjectID>(std::move(entityName), std::string(), nextTemporarySerial++, true);
}

std::shared_ptr<ManagedObjectID> ManagedObjectID::fromURIRepresentation(const std::string& uri) {
  const std::string prefix = "x-coredata://";
  if (uri.rfind(prefix, 0) != 0) return nullptr;
  std::string rest = uri.substr(prefix.size());
  auto firstSlash = rest.find('/');
  auto lastSlash = rest.rfind('/');
  if (firstSlash == std::string::npos || lastSlash == firstSlash || lastSlash + 2 > rest.size()) return nullptr;
  std::string store = rest.substr(0, firstSlash);
  std::string entity = rest.substr(firstSlash + 1, lastSlash - firstSlash - 1);
  char tag = rest[lastSlash + 1];
  std::string digits = rest.substr(lastSlash + 2);
  if (entity.empty() || digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) return nullptr;
  bool temporary = tag == 't';
  if ((!temporary && tag != 'p') || temporary != store.empty()) return nullptr;
  std::int64_t key = 0;
  try {
    key = std::stoll(digits);
  } catch (...) {
    return nullptr;
  }
  return std::make_shared<ManagedObjectID>(entity, store, key, temporary);
}

std::string ManagedObjectID::description() const { return "<" + uri_ + ">"; }

bool ManagedObjectID::isEqual(const foundation::Object& other) const {
  auto id = dynamic_cast<const ManagedObjectID*>(&other);
  return id && id->uri_ == uri_;
}

bool sameObjectID(const ObjectIDPtr& a, const ObjectIDPtr& b) {
  if (!a || !b) return !a && !b;
  return *a == *b;
}

}  // namespace coredata
