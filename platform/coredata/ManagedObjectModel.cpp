#include "platform/coredata/ManagedObjectModel.h"

#include <algorithm>
#include <mutex>

#include "platform/coredata/PersistentStore.h"

namespace coredata {

namespace {

struct BundleRegistry {
  std::mutex mutex;
  std::vector<std::pair<std::string, std::shared_ptr<ManagedObjectModel>>> models;
};

BundleRegistry& registry() {
  static BundleRegistry instance;
  return instance;
}

std::string withoutExtension(const std::string& name) {
  auto dot = name.rfind('.');
  auto slash = name.rfind('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return name;
  return name.substr(0, dot);
}

}  // namespace

std::shared_ptr<ManagedObjectModel> ManagedObjectModel::create() { return std::make_shared<ManagedObjectModel>(); }

void ManagedObjectModel::addEntity(std::shared_ptr<EntityDescription> entity) {
  if (!entity) return;
  auto same = std::find_if(entities_.begin(), entities_.end(),
                           [&](const auto& e) { return e->name() == entity->name(); });
  if (same != entities_.end())
    *same = std::move(entity);
  else
    entities_.push_back(std::move(entity));
  resolveRelationships();
}

void ManagedObjectModel::resolveRelationships() {
  for (const auto& entity : entities_)
    for (const auto& property : entity->properties()) {
      if (property->kind() != PropertyDescription::Kind::Relationship) continue;
      auto& relationship = static_cast<RelationshipDescription&>(*property);
      if (auto destination = entityNamed(relationship.destinationEntityName())) relationship.destination_ = destination;
    }
}

std::shared_ptr<const EntityDescription> ManagedObjectModel::entityNamed(const std::string& name) const {
  for (const auto& e : entities_)
    if (e->name() == name) return e;
  return nullptr;
}

foundation::Dictionary ManagedObjectModel::entityVersionHashesByName() const {
  foundation::Dictionary hashes;
  for (const auto& e : entities_) hashes.set(e->name(), e->versionHash());
  return hashes;
}

bool ManagedObjectModel::isConfigurationCompatibleWithStoreMetadata(const std::string&,
                                                                    const foundation::Dictionary& metadata) const {
  const foundation::Value& stored = metadata.get(kStoreModelVersionHashesKey);
  if (!stored.isDictionary()) return false;
  return stored.dictionaryValue() == entityVersionHashesByName();
}

std::shared_ptr<ManagedObjectModel> ManagedObjectModel::modelByMergingModels(
    const std::vector<std::shared_ptr<ManagedObjectModel>>& models) {
  auto merged = create();
  for (const auto& model : models) {
    if (!model) continue;
    for (const auto& entity : model->entities()) merged->addEntity(entity);
  }
  return merged;
}

void ManagedObjectModel::registerBundleModel(const std::string& name, std::shared_ptr<ManagedObjectModel> model) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto same = std::find_if(r.models.begin(), r.models.end(), [&](const auto& entry) { return entry.first == name; });
  if (!model) {
    if (same != r.models.end()) r.models.erase(same);
    return;
  }
  if (same != r.models.end())
    same->second = std::move(model);
  else
    r.models.emplace_back(name, std::move(model));
}

std::shared_ptr<ManagedObjectModel> ManagedObjectModel::mergedModelFromBundles() {
  std::vector<std::shared_ptr<ManagedObjectModel>> models;
  {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    if (r.models.empty()) return nullptr;
    for (const auto& entry : r.models) models.push_back(entry.second);
  }
  return modelByMergingModels(models);
}

std::shared_ptr<ManagedObjectModel> ManagedObjectModel::modelNamed(const std::string& name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  for (const auto& entry : r.models)
    if (entry.first == name) return entry.second;
  for (const auto& entry : r.models)
    if (withoutExtension(entry.first) == withoutExtension(name)) return entry.second;
  return nullptr;
}

void ManagedObjectModel::removeAllBundleModels() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.models.clear();
}

}  // namespace coredata
