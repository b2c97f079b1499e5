#include "platform/coredata/Migration.h"

namespace coredata {

namespace {

using Kind = MigrationStep::Kind;

const StoredEntity* findEntity(const StoredSchema& schema, const std::string& name) {
  for (const auto& entity : schema)
    if (entity.name == name) return &entity;
  return nullptr;
}

StoredProperty storedPropertyOf(const PropertyDescription& property) {
  StoredProperty stored;
  stored.name = property.name();
  stored.optional = property.isOptional();
  if (property.kind() == PropertyDescription::Kind::Attribute) {
    stored.attributeType = static_cast<unsigned long>(static_cast<const AttributeDescription&>(property).attributeType());
    return stored;
  }
  const auto& r = static_cast<const RelationshipDescription&>(property);
  stored.relationship = true;
  stored.destination = r.destinationEntityName();
  stored.toMany = r.isToMany();
  stored.ordered = r.isOrdered();
  return stored;
}

// The steps for one property that both models have, or a reason it cannot be migrated.
bool migrateExisting(const StoredProperty& old, const PropertyDescription& now, const std::string& entity,
                     std::vector<MigrationStep>& steps, std::string* reason) {
  StoredProperty fresh = storedPropertyOf(now);
  auto refuse = [&](const std::string& why) {
    if (reason) *reason = "Cannot migrate " + entity + "." + old.name + ": " + why;
    return false;
  };
  if (old.relationship != fresh.relationship) return refuse("it changed between attribute and relationship");
  if (!fresh.relationship) {
    if (old.attributeType != fresh.attributeType) return refuse("its attribute type changed");
    const auto& attribute = static_cast<const AttributeDescription&>(now);
    if (old.optional && !fresh.optional) {
      if (attribute.defaultValue().isNull()) return refuse("it became mandatory without a default value");
      steps.push_back({Kind::FillNulls, entity, old.name, attribute.defaultValue()});
    }
    return true;
  }
  if (old.destination != fresh.destination) return refuse("its destination entity changed");
  if (old.toMany != fresh.toMany) return refuse("it changed between to-one and to-many");
  // An ordered flag change keeps the join rows; their order column is already there.
  return true;
}

bool addNew(const PropertyDescription& property, const std::string& entity, std::vector<MigrationStep>& steps,
            std::string* reason) {
  if (property.kind() == PropertyDescription::Kind::Relationship) {
    const auto& r = static_cast<const RelationshipDescription&>(property);
    steps.push_back({r.isToMany() ? Kind::AddToMany : Kind::AddToOne, entity, r.name(), {}});
    return true;
  }
  const auto& attribute = static_cast<const AttributeDescription&>(property);
  if (!attribute.isOptional() && attribute.defaultValue().isNull()) {
    if (reason) *reason = "Cannot migrate " + entity + "." + attribute.name() + ": a new mandatory attribute needs a default value";
    return false;
  }
  steps.push_back({Kind::AddAttribute, entity, attribute.name(), attribute.defaultValue()});
  return true;
}

}  // namespace

const StoredProperty* StoredEntity::property(const std::string& propertyName) const {
  for (const auto& p : properties)
    if (p.name == propertyName) return &p;
  return nullptr;
}

StoredSchema storedSchemaOf(const ManagedObjectModel& model) {
  StoredSchema schema;
  for (const auto& entity : model.entities()) {
    StoredEntity stored{entity->name(), {}};
    for (const auto& property : entity->properties())
      if (!property->isTransient()) stored.properties.push_back(storedPropertyOf(*property));
    schema.push_back(std::move(stored));
  }
  return schema;
}

std::optional<std::vector<MigrationStep>> inferLightweightMigration(const StoredSchema& source,
                                                                    const ManagedObjectModel& destination,
                                                                    std::string* reason) {
  std::vector<MigrationStep> steps;
  for (const auto& entity : destination.entities()) {
    const StoredEntity* old = findEntity(source, entity->name());
    if (!old) {
      steps.push_back({Kind::CreateEntity, entity->name(), {}, {}});
      continue;
    }
    for (const auto& property : entity->properties()) {
      if (property->isTransient()) continue;
      const StoredProperty* before = old->property(property->name());
      bool ok = before ? migrateExisting(*before, *property, entity->name(), steps, reason)
                       : addNew(*property, entity->name(), steps, reason);
      if (!ok) return std::nullopt;
    }
    for (const auto& before : old->properties) {
      auto now = entity->propertyNamed(before.name);
      if (now && !now->isTransient()) continue;
      Kind kind = !before.relationship ? Kind::DropAttribute : before.toMany ? Kind::DropToMany : Kind::DropToOne;
      steps.push_back({kind, entity->name(), before.name, {}});
    }
  }
  for (const auto& old : source)
    if (!destination.entityNamed(old.name)) steps.push_back({Kind::DropEntity, old.name, {}, {}});
  return steps;
}

}  // namespace coredata
