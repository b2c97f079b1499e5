#include "hostfiles/HostfilesModel.h"

#include "hostfiles/HostGroup.h"
#include "platform/coredata/EntityDescription.h"
#include "platform/coredata/ManagedObject.h"

using coredata::AttributeType;
using foundation::Value;

std::shared_ptr<coredata::ManagedObjectModel> HostfilesModel::managedObjectModel() {
  auto entity = coredata::EntityDescription::create(HostGroup::kEntityName);
  entity->setManagedObjectClassName(HostGroup::kClassName);
  entity->addAttribute(HostGroup::kTitleKey, AttributeType::String);
  entity->addAttribute(HostGroup::kContentsKey, AttributeType::String);
  entity->addAttribute(HostGroup::kGuidKey, AttributeType::String);
  entity->addAttribute(HostGroup::kIsEnabledKey, AttributeType::Boolean, false, Value(false));
  entity->addAttribute(HostGroup::kIsEditableKey, AttributeType::Boolean, false, Value(false));
  entity->addAttribute(HostGroup::kIsRemoteKey, AttributeType::Boolean, false, Value(false));
  entity->addAttribute(HostGroup::kIsEtcHostsPreviewKey, AttributeType::Boolean, false, Value(false));
  entity->addAttribute(HostGroup::kRemoteURLKey, AttributeType::String);
  entity->addAttribute(HostGroup::kSortOrderKey, AttributeType::Integer64, false, Value(0));
  auto model = coredata::ManagedObjectModel::create();
  model->addEntity(entity);
  return model;
}

void HostfilesModel::registerModel() {
  coredata::ManagedObject::registerEntityClass(HostGroup::kClassName,
                                               [] { return std::make_shared<HostGroup>(); });
  coredata::ManagedObjectModel::registerBundleModel(kModelName, managedObjectModel());
}
