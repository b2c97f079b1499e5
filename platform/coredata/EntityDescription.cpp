#include "platform/coredata/EntityDescription.h"

#include <algorithm>

#include "platform/coredata/ManagedObjectModel.h"

namespace coredata {

namespace {

bool isNumericType(AttributeType type) {
  switch (type) {
    case AttributeType::Integer16:
    case AttributeType::Integer32:
    case AttributeType::Integer64:
    case AttributeType::Decimal:
    case AttributeType::Double:
    case AttributeType::Float:
    case AttributeType::Boolean:
      return true;
    default:
      return false;
  }
}

// FNV-1a: a stable digest is all the version hash needs (it is compared, never trusted for
// security), and std::hash is not stable across builds.
foundation::Data digest(const std::string& text) {
  std::uint64_t hash = 14695981039346656037ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  foundation::Data bytes(8);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(hash >> (8 * (7 - i)));
  return bytes;
}

}  // namespace

bool AttributeDescription::acceptsValue(const foundation::Value& value) const {
  if (value.isNull()) return true;
  if (isNumericType(type_)) return value.isNumber();
  switch (type_) {
    case AttributeType::String:
      return value.isString();
    case AttributeType::Date:
      return value.isDate();
    case AttributeType::BinaryData:
      return value.isData();
    default:
      // Only what a store column can hold comes back as it went in; containers and objects would
      // be lost on the way to the file.
      return value.isNumber() || value.isString() || value.isData();
  }
}

std::shared_ptr<const EntityDescription> RelationshipDescription::destinationEntity() const {
  auto destination = destination_.lock();
  return destination && destination->name() == destinationName_ ? destination : nullptr;
}

std::shared_ptr<const RelationshipDescription> RelationshipDescription::inverseRelationship() const {
  if (inverseName_.empty()) return nullptr;
  auto destination = destinationEntity();
  return destination ? destination->relationshipNamed(inverseName_) : nullptr;
}

EntityDescription::EntityDescription(std::string name) : name_(std::move(name)), className_(name_) {}

std::shared_ptr<EntityDescription> EntityDescription::create(std::string name) {
  return std::make_shared<EntityDescription>(std::move(name));
}

std::shared_ptr<AttributeDescription> EntityDescription::addAttribute(const std::string& name, AttributeType type,
                                                                      bool optional, foundation::Value defaultValue) {
  auto attribute = std::make_shared<AttributeDescription>(name, type);
  attribute->setOptional(optional);
  attribute->setDefaultValue(std::move(defaultValue));
  addProperty(attribute);
  return attribute;
}

std::shared_ptr<RelationshipDescription> EntityDescription::addRelationship(const std::string& name,
                                                                            const std::string& destinationEntityName,
                                                                            bool toMany,
                                                                            const std::string& inverseName) {
  auto relationship = std::make_shared<RelationshipDescription>(name, destinationEntityName, toMany);
  relationship->setInverseName(inverseName);
  addProperty(relationship);
  return relationship;
}

void EntityDescription::addProperty(std::shared_ptr<PropertyDescription> property) {
  if (!property) return;
  property->entity_ = weak_from_this();
  auto same = std::find_if(properties_.begin(), properties_.end(),
                           [&](const auto& p) { return p->name() == property->name(); });
  if (same != properties_.end()) {
    *same = std::move(property);
    return;
  }
  properties_.push_back(std::move(property));
}

std::vector<std::shared_ptr<const AttributeDescription>> EntityDescription::attributes() const {
  std::vector<std::shared_ptr<const AttributeDescription>> result;
  for (const auto& p : properties_)
    if (p->kind() == PropertyDescription::Kind::Attribute)
      result.push_back(std::static_pointer_cast<const AttributeDescription>(p));
  return result;
}

std::vector<std::shared_ptr<const RelationshipDescription>> EntityDescription::relationships() const {
  std::vector<std::shared_ptr<const RelationshipDescription>> result;
  for (const auto& p : properties_)
    if (p->kind() == PropertyDescription::Kind::Relationship)
      result.push_back(std::static_pointer_cast<const RelationshipDescription>(p));
  return result;
}

std::shared_ptr<const PropertyDescription> EntityDescription::propertyNamed(const std::string& name) const {
  for (const auto& p : properties_)
    if (p->name() == name) return p;
  return nullptr;
}

std::shared_ptr<const AttributeDescription> EntityDescription::attributeNamed(const std::string& name) const {
  auto p = propertyNamed(name);
  if (!p || p->kind() != PropertyDescription::Kind::Attribute) return nullptr;
  return std::static_pointer_cast<const AttributeDescription>(p);
}

std::shared_ptr<const RelationshipDescription> EntityDescription::relationshipNamed(const std::string& name) const {
  auto p = propertyNamed(name);
  if (!p || p->kind() != PropertyDescription::Kind::Relationship) return nullptr;
  return std::static_pointer_cast<const RelationshipDescription>(p);
}

foundation::Data EntityDescription::versionHash() const {
  std::vector<std::string> parts;
  for (const auto& p : properties_) {
    if (p->isTransient()) continue;
    std::string part = p->name() + ":" + (p->isOptional() ? "o" : "m");
    if (p->kind() == PropertyDescription::Kind::Attribute) {
      const auto& a = static_cast<const AttributeDescription&>(*p);
      part = "A:" + part + ":" + std::to_string(static_cast<unsigned long>(a.attributeType()));
    } else {
      const auto& r = static_cast<const RelationshipDescription&>(*p);
      part = "R:" + part + ":" + r.destinationEntityName() + ":" + (r.isToMany() ? "n" : "1") +
             (r.isOrdered() ? "o" : "u");
    }
    parts.push_back(std::move(part));
  }
  std::sort(parts.begin(), parts.end());
  std::string text = "E:" + name_ + ";";
  for (const auto& part : parts) text += part + ";";
  return digest(text);
}

}  // namespace coredata
