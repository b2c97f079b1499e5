#pragma once
// ManagedObjectModel stands in for the platform's managed object model: the set of entities a
// store holds. Models are built in code; the application registers its model as the main
// bundle's model, so that "the merged model of the main bundle" and "the model named X" resolve
// to what was registered.
//
// A model must not change once a coordinator uses it; from then on it is safe to share between
// threads. The registry functions are thread-safe.
#include <memory>
#include <string>
#include <vector>

#include "platform/coredata/EntityDescription.h"
#include "platform/foundation/Value.h"

namespace coredata {

class ManagedObjectModel : public std::enable_shared_from_this<ManagedObjectModel> {
 public:
  ManagedObjectModel() = default;
  static std::shared_ptr<ManagedObjectModel> create();

  // Adds an entity (replacing one of the same name) and resolves relationship destinations.
  void addEntity(std::shared_ptr<EntityDescription> entity);
  const std::vector<std::shared_ptr<EntityDescription>>& entities() const { return entities_; }
  // The entity of that name, or null.
  std::shared_ptr<const EntityDescription> entityNamed(const std::string& name) const;
  // Entity name -> EntityDescription::versionHash() (Data), in entity order.
  foundation::Dictionary entityVersionHashesByName() const;
  // Whether a store whose metadata is `metadata` (PersistentStore::metadata()) was written by
  // a model with the same entity version hashes. `configuration` is accepted and ignored.
  bool isConfigurationCompatibleWithStoreMetadata(const std::string& configuration,
                                                  const foundation::Dictionary& metadata) const;

  // A new model holding the entities of all `models` (a later model's entity replaces an earlier
  // one of the same name). Null entries are skipped.
  static std::shared_ptr<ManagedObjectModel> modelByMergingModels(
      const std::vector<std::shared_ptr<ManagedObjectModel>>& models);

  // Registers `model` as the resource `name` of the main bundle (e.g. "Quillmere.momd"),
  // replacing an earlier one of that name; a null model removes the entry.
  static void registerBundleModel(const std::string& name, std::shared_ptr<ManagedObjectModel> model);
  // The merge of every registered bundle model, in registration order; null when none is registered.
  static std::shared_ptr<ManagedObjectModel> mergedModelFromBundles();
  // The registered model `name`; the name may carry an extension (".mom", ".momd") or not: a
  // name without one also matches a registration with one, and the other way round. Null if none.
  static std::shared_ptr<ManagedObjectModel> modelNamed(const std::string& name);
  // Removes every registered model (tests start from an empty bundle).
  static void removeAllBundleModels();

 private:
  void resolveRelationships();
  std::vector<std::shared_ptr<EntityDescription>> entities_;
};

}  // namespace coredata
