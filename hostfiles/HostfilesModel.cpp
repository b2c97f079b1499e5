#include "hostfiles/HostfilesModel.h"

#include "hostfiles/HostGroup.h"
#include "platform/coredata/EntityDescription.h"
#include "platform/coredata/ManagedObject.h"

using coredata::AttributeType;
using foundation::Value;

std::shared_ptr<coredata::ManagedObjectModel> HostfilesModel::managedObjectModel() {
  auto entity = coredata::EntityDescription::create(HostGroup::kEntityName);
  entity->setManagedObjectClassName(HostGroup::kClassName);
  entity->addAttribute("title", AttributeType::String);
  entity->addAttribute("contents", AttributeType::String);
  entity->addAttribute("guid", AttributeType::String);
  entity->addAttribute("isEnabled", AttributeType::Boolean, false, Value(false));
  entity->addAttribute("isEditable", AttributeType::Boolean, false, Value(false));
  entity->addAttribute("isRemote", AttributeType::Boolean, false, Value(false));
  entity->addAttribute("isEtcHostsPreview", AttributeType::Boolean, false, Value(false));
  entity->addAttribute("remoteURL", AttributeType::String);
  entity->addAttribute("sortOrder", AttributeType::Integer64, false, Value(0));
  auto model = coredata::ManagedObjectModel::create();
  model->addEntity(entity);
  return model;
}

void HostfilesModel::registerModel() {
  coredata::ManagedObject::registerEntityClass(HostGroup::kClassName,
                                               [] { return std::make_shared<HostGroup>(); });
  coredata::ManagedObjectModel::registerBundleModel(kModelName, managedObjectModel());
}
