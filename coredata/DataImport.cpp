// The import of sources into managed objects: matching by identifying attribute, attributes,
// relationships and the hooks.
#include <exception>

#include "coredata/DataImport.h"
#include "coredata/DataStackLog.h"

using coredata::AttributeDescription;
using coredata::ManagedObjectPtr;
using coredata::RelationshipDescription;
using foundation::Value;

namespace {

DataStackDataImportProtocol* hooksOf(const ManagedObjectPtr& object) {
  return dynamic_cast<DataStackDataImportProtocol*>(object.get());
}

// The selector the platform would perform to connect the related object; kept for the log.
std::string addSelectorText(const RelationshipDescription& relationship) {
  if (!relationship.isToMany()) return "set" + DS_attributeNameFromString(relationship.name()) + ":";
  if (relationship.isOrdered()) return "addObject:";
  return "add" + DS_attributeNameFromString(relationship.name()) + "Object:";
}

// Finds or makes the related object for one value and connects it: the default relationship block.
void importRelatedValue(const ManagedObjectPtr& object, const RelationshipDescription& relationship, const Value& data) {
  ManagedObjectPtr related = DSManagedObjectImport::DS_findObjectForRelationship(object, relationship, data);
  if (!related) {
    const auto destination = relationship.destinationEntity();
    if (destination) related = DSEntityDescription::DS_createInstanceInContext(*destination, object->managedObjectContext());
  }
  if (related && data.isDictionary()) {
    DSManagedObjectImport::DS_importValuesForKeysWithObject(related, data);
  } else if (related && !data.isNull()) {
    const std::string key = DSRelationshipDescription::DS_primaryKey(relationship);
    if (!key.empty() && !DSManagedObjectImport::DS_importValue(related, data, key)) related->setValueForKey(data, key);
  }
  DSManagedObjectImport::DS_addObject(object, related, relationship);
}

void logRelationshipFailure(const RelationshipDescription& relationship, const std::string& keyPath,
                            const Value& data, const std::string& name, const std::string& reason) {
  const auto destination = relationship.destinationEntity();
  dslog::log(dslog::kWarning, "Looking up a key for relationship failed while importing: %@\n", relationship.name());
  dslog::log(dslog::kWarning, "lookupKey: %@", keyPath);
  dslog::log(dslog::kWarning, "relationshipInfo.destinationEntity %@",
             destination ? destination->name() : std::string("(null)"));
  dslog::log(dslog::kWarning, "relationshipData: %@", data);
  dslog::log(dslog::kWarning, "Exception:\n%@: %@", name, reason);
}

}  // namespace

// --- Importing sources ---------------------------------------------------------------------------

ManagedObjectPtr DSManagedObjectImport::DS_importFromObject(const std::string& entityName, const Value& data,
                                                            const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  if (!resolved) return nullptr;
  ManagedObjectPtr object;
  resolved->performAndWait([&] {
    const auto entity = DSManagedObject::DS_entityDescription(entityName, resolved);
    if (!entity) return;
    if (const DSAttributePtr primary = DSEntityDescription::DS_primaryAttributeToRelateBy(*entity)) {
      const Value identifier = DSImportSource::DS_valueForAttribute(data, *primary);
      // A source without an identifying value describes a new object: matching it against
      // "identifier == nil" would overwrite whichever object happens to lack one.
      if (!identifier.isNull()) {
        object = DSManagedObject::DS_findFirstByAttribute(entityName, primary->name(), identifier, resolved);
      }
    }
    if (!object) object = DSManagedObject::DS_createEntity(entityName, resolved);
    if (object) DS_importValuesForKeysWithObject(object, data);
  });
  return object;
}

DSObjects DSManagedObjectImport::DS_importFromArray(const std::string& entityName, const foundation::Array& list,
                                                    const DSInContext& context) {
  const DSContextPtr resolved = context.resolve();
  DSObjects objects;
  for (const Value& element : list) {
    if (ManagedObjectPtr object = DS_importFromObject(entityName, element, resolved)) objects.push_back(object);
  }
  return objects;
}

// --- Importing values ----------------------------------------------------------------------------

bool DSManagedObjectImport::DS_importValuesForKeysWithObject(const ManagedObjectPtr& object, const Value& data) {
  std::weak_ptr<coredata::ManagedObject> weak = object;
  return DS_performDataImportFromObject(object, data, [weak](const RelationshipDescription& relationship,
                                                             const Value& related) {
    if (auto strong = weak.lock()) importRelatedValue(strong, relationship, related);
  });
}

bool DSManagedObjectImport::DS_performDataImportFromObject(const ManagedObjectPtr& object, const Value& data,
                                                           const DSRelationshipBlock& relationshipBlock) {
  if (!object || !object->entity()) return false;
  if (!DS_preImport(object, data)) return false;
  const auto entity = object->entity();
  DS_setAttributes(object, entity->attributes(), data);
  DS_setRelationships(object, entity->relationships(), data, relationshipBlock);
  return DS_postImport(object, data);
}

bool DSManagedObjectImport::DS_preImport(const ManagedObjectPtr& object, const Value& data) {
  DataStackDataImportProtocol* hooks = hooksOf(object);
  if (!hooks) return true;
  if (hooks->shouldImport(data) == std::optional<bool>(false)) return false;
  hooks->willImport(data);
  return true;
}

bool DSManagedObjectImport::DS_postImport(const ManagedObjectPtr& object, const Value& data) {
  if (DataStackDataImportProtocol* hooks = hooksOf(object)) hooks->didImport(data);
  return true;
}

void DSManagedObjectImport::DS_setAttributes(const ManagedObjectPtr& object, const std::vector<DSAttributePtr>& attributes,
                                             const Value& data) {
  for (const DSAttributePtr& attribute : attributes) {
    Value value;
    if (const auto key = DSImportSource::DS_lookupKeyForAttribute(data, *attribute)) {
      value = DSAttributeDescription::DS_valueForKeyPath(*attribute, *key, data);
    } else if (attribute->userInfo().get(kDataStackImportAttributeUseDefaultValueWhenNotPresent).boolValue()) {
      value = attribute->defaultValue();
    } else {
      continue;
    }
    if (!DS_importValue(object, value, attribute->name())) object->setValueForKey(value, attribute->name());
  }
}

void DSManagedObjectImport::DS_setRelationships(const ManagedObjectPtr& object,
                                                const std::vector<DSRelationshipPtr>& relationships, const Value& data,
                                                const DSRelationshipBlock& relationshipBlock) {
  for (const DSRelationshipPtr& relationship : relationships) {
    const std::string keyPath = DSImportSource::DS_lookupKeyForRelationship(data, *relationship);
    try {
      const Value related = DSImportSource::valueAtKeyPath(data, keyPath).value_or(Value());
      if (related.isNull()) continue;
      DataStackDataImportProtocol* hooks = hooksOf(object);
      const std::string key = DS_capitalizedFirstCharacterString(relationship->name());
      if (hooks && hooks->shouldImportRelationship(key, related) == std::optional<bool>(false)) continue;
      if (DS_importValue(object, data, relationship->name())) continue;
      if (relationship->isToMany() && related.isArray()) {
        for (const Value& element : related.arrayValue()) relationshipBlock(*relationship, element);
      } else {
        relationshipBlock(*relationship, related);
      }
    } catch (const std::exception& exception) {
      logRelationshipFailure(*relationship, keyPath, data, "std::exception", exception.what());
    }
  }
}

bool DSManagedObjectImport::DS_importValue(const ManagedObjectPtr& object, const Value& value, const std::string& key) {
  DataStackDataImportProtocol* hooks = hooksOf(object);
  if (!hooks) return false;
  return hooks->importValueForKey(DS_capitalizedFirstCharacterString(key), value).value_or(false);
}

// --- Related objects -----------------------------------------------------------------------------

ManagedObjectPtr DSManagedObjectImport::DS_findObjectForRelationship(const ManagedObjectPtr& object,
                                                                     const RelationshipDescription& relationship,
                                                                     const Value& data) {
  const auto destination = relationship.destinationEntity();
  if (!destination) return nullptr;
  const Value identifier = data.isDictionary() ? DSImportSource::DS_relatedValueForRelationship(data, relationship)
                                               : data;
  // Without an identifying value nothing can match; "key == nil" would pick an unrelated object.
  if (identifier.isNull()) return nullptr;
  return DSManagedObject::DS_findFirstByAttribute(destination->name(), DSRelationshipDescription::DS_primaryKey(relationship),
                                                  identifier, object->managedObjectContext());
}

void DSManagedObjectImport::DS_addObject(const ManagedObjectPtr& object, const ManagedObjectPtr& related,
                                         const RelationshipDescription& relationship) {
  bool added = false;
  std::string failure = "the related object was refused";
  try {
    if (related && !relationship.isToMany()) {
      added = object->setValueForKey(Value(std::static_pointer_cast<foundation::Object>(related)), relationship.name());
    } else if (related) {
      added = object->addObjectForKey(related, relationship.name());
    } else {
      failure = "there is no related object";
    }
  } catch (const std::exception& exception) {
    failure = exception.what();
  }
  if (added) return;
  const auto destination = relationship.destinationEntity();
  const auto relatedEntity = related ? related->entity() : nullptr;
  dslog::log(dslog::kError, "Adding object for relationship failed: %@\n", relationship.name());
  dslog::log(dslog::kError, "relatedObject.entity %@", relatedEntity ? relatedEntity->name() : std::string("(null)"));
  dslog::log(dslog::kError, "relationshipInfo.destinationEntity %@",
             destination ? destination->name() : std::string("(null)"));
  dslog::log(dslog::kError, "Add Relationship Selector: %@", addSelectorText(relationship));
  dslog::log(dslog::kError, "perform selector error: %@", failure);
}
