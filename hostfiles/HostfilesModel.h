#pragma once
// HostfilesModel builds the application's managed object model in code (the one entity
// "HostGroup" with its stored attributes) and makes it known to the persistence layer: the
// HostGroup class is registered for the entity and the model becomes the main bundle's model
// "Quillmere.momd", so that DataStack's set-up finds it without being told.
#include <memory>

#include "platform/coredata/ManagedObjectModel.h"

class HostfilesModel {
 public:
  HostfilesModel() = delete;

  // The bundle resource name under which registerModel() files the model.
  static constexpr const char* kModelName = "Quillmere.momd";

  // A new model holding the "HostGroup" entity, whose managed-object class is
  // "Quillmere.HostGroup". String attributes are optional; the Booleans and sortOrder are
  // mandatory with the defaults false and 0. Thread-safe.
  static std::shared_ptr<coredata::ManagedObjectModel> managedObjectModel();

  // Registers the HostGroup class for its entity and registers managedObjectModel() as the main
  // bundle's model (replacing an earlier registration of kModelName). Call before setting up the
  // stack; calling again is harmless. Thread-safe.
  static void registerModel();
};
