#pragma once
// EntityDescription stands in for the platform's entity description: the name of a kind of
// stored record, the class its instances are made of, and its properties (attributes and
// relationships). Property descriptions live here too.
//
// Descriptions are built in code, then added to a ManagedObjectModel. Once a coordinator uses the
// model they must not change; from then on they are safe to read from any thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace coredata {

class EntityDescription;
class ManagedObjectModel;

// Attribute types with the platform's codes.
enum class AttributeType : unsigned long {
  Undefined = 0,
  Integer16 = 100,
  Integer32 = 200,
  Integer64 = 300,
  Decimal = 400,
  Double = 500,
  Float = 600,
  String = 700,
  Boolean = 800,
  Date = 900,
  BinaryData = 1000,
  Transformable = 1800,
  ObjectID = 2000,
};

// What happens to the objects at the other end of a relationship when its owner is deleted.
// Nullify removes the owner from their inverse relationship; NoAction leaves them as they are.
enum class DeleteRule { NoAction, Nullify };

// A named property of an entity: the part shared by attributes and relationships.
class PropertyDescription {
 public:
  enum class Kind { Attribute, Relationship };

  virtual ~PropertyDescription() = default;
  virtual Kind kind() const = 0;

  const std::string& name() const { return name_; }
  void setName(std::string name) { name_ = std::move(name); }
  // An optional property may be nil when saved; a mandatory one fails validation (1570).
  bool isOptional() const { return optional_; }
  void setOptional(bool optional) { optional_ = optional; }
  // Transient properties live in memory only: they are never stored nor compared for migration.
  bool isTransient() const { return transient_; }
  void setTransient(bool transient) { transient_ = transient; }
  // The model's free-form hints (mapping keys for data import and the like).
  const foundation::Dictionary& userInfo() const { return userInfo_; }
  void setUserInfo(foundation::Dictionary userInfo) { userInfo_ = std::move(userInfo); }
  // The entity that holds this property, or null before it is added to one.
  std::shared_ptr<const EntityDescription> entity() const { return entity_.lock(); }

 protected:
  explicit PropertyDescription(std::string name) : name_(std::move(name)) {}

 private:
  friend class EntityDescription;
  std::string name_;
  bool optional_ = true;
  bool transient_ = false;
  foundation::Dictionary userInfo_;
  std::weak_ptr<const EntityDescription> entity_;
};

// A stored value of a platform type.
class AttributeDescription : public PropertyDescription {
 public:
  AttributeDescription(std::string name, AttributeType type) : PropertyDescription(std::move(name)), type_(type) {}
  Kind kind() const override { return Kind::Attribute; }

  AttributeType attributeType() const { return type_; }
  void setAttributeType(AttributeType type) { type_ = type; }
  // The value a new object starts with (null for none).
  const foundation::Value& defaultValue() const { return defaultValue_; }
  void setDefaultValue(foundation::Value value) { defaultValue_ = std::move(value); }
  // The class name of the value, for transformable attributes and import hints; may be empty.
  const std::string& attributeValueClassName() const { return valueClassName_; }
  void setAttributeValueClassName(std::string name) { valueClassName_ = std::move(name); }

  // Whether `value` fits this attribute's type (null always fits; optionality is checked apart).
  // Transformable and undefined attributes take numbers, strings and data only: arrays,
  // dictionaries and objects cannot be stored.
  bool acceptsValue(const foundation::Value& value) const;

 private:
  AttributeType type_;
  foundation::Value defaultValue_;
  std::string valueClassName_;
};

// A reference to objects of another (or the same) entity.
class RelationshipDescription : public PropertyDescription {
 public:
  RelationshipDescription(std::string name, std::string destinationEntityName, bool toMany = false)
      : PropertyDescription(std::move(name)), destinationName_(std::move(destinationEntityName)), toMany_(toMany) {}
  Kind kind() const override { return Kind::Relationship; }

  const std::string& destinationEntityName() const { return destinationName_; }
  void setDestinationEntityName(std::string name) { destinationName_ = std::move(name); }
  // The destination entity, resolved when the model is complete; null when the model lacks it.
  std::shared_ptr<const EntityDescription> destinationEntity() const;
  // The name of the relationship on the destination that points back, or empty for none.
  const std::string& inverseName() const { return inverseName_; }
  void setInverseName(std::string name) { inverseName_ = std::move(name); }
  std::shared_ptr<const RelationshipDescription> inverseRelationship() const;

  bool isToMany() const { return toMany_; }
  void setToMany(bool toMany) { toMany_ = toMany; }
  // Ordered to-many relationships keep their objects in insertion order (stored with the order).
  bool isOrdered() const { return ordered_; }
  void setOrdered(bool ordered) { ordered_ = ordered; }
  DeleteRule deleteRule() const { return deleteRule_; }
  void setDeleteRule(DeleteRule rule) { deleteRule_ = rule; }

 private:
  friend class ManagedObjectModel;
  std::string destinationName_;
  std::string inverseName_;
  bool toMany_ = false;
  bool ordered_ = false;
  DeleteRule deleteRule_ = DeleteRule::Nullify;
  // Resolved by the model that holds both entities; entities are shared, so it outlives a merge.
  std::weak_ptr<const EntityDescription> destination_;
};

class EntityDescription : public std::enable_shared_from_this<EntityDescription> {
 public:
  // A new entity; its class name starts as the entity name.
  explicit EntityDescription(std::string name);
  static std::shared_ptr<EntityDescription> create(std::string name);

  const std::string& name() const { return name_; }
  // The class that fetched and inserted objects are made of, looked up in the entity class
  // registry (ManagedObject.h); a name with no registered class gives plain ManagedObjects.
  const std::string& managedObjectClassName() const { return className_; }
  void setManagedObjectClassName(std::string name) { className_ = std::move(name); }
  const foundation::Dictionary& userInfo() const { return userInfo_; }
  void setUserInfo(foundation::Dictionary userInfo) { userInfo_ = std::move(userInfo); }

  // Adds a property (its name must be new to this entity; a duplicate replaces the old one) and
  // returns it for further set-up. The entity must already be held by a shared_ptr.
  std::shared_ptr<AttributeDescription> addAttribute(const std::string& name, AttributeType type,
                                                     bool optional = true,
                                                     foundation::Value defaultValue = {});
  std::shared_ptr<RelationshipDescription> addRelationship(const std::string& name,
                                                           const std::string& destinationEntityName,
                                                           bool toMany = false,
                                                           const std::string& inverseName = {});
  void addProperty(std::shared_ptr<PropertyDescription> property);

  // Properties in the order they were added.
  const std::vector<std::shared_ptr<PropertyDescription>>& properties() const { return properties_; }
  std::vector<std::shared_ptr<const AttributeDescription>> attributes() const;
  std::vector<std::shared_ptr<const RelationshipDescription>> relationships() const;
  // The property of that name, or null.
  std::shared_ptr<const PropertyDescription> propertyNamed(const std::string& name) const;
  std::shared_ptr<const AttributeDescription> attributeNamed(const std::string& name) const;
  std::shared_ptr<const RelationshipDescription> relationshipNamed(const std::string& name) const;

  // A digest of what the store layout depends on: the entity name and each stored property's
  // name, kind, type, optionality and (for relationships) destination, to-many and ordered flags.
  // Class names, defaults and user info do not count. Stable across runs and builds.
  foundation::Data versionHash() const;

 private:
  std::string name_;
  std::string className_;
  foundation::Dictionary userInfo_;
  std::vector<std::shared_ptr<PropertyDescription>> properties_;
};

}  // namespace coredata
