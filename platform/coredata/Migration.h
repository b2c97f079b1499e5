#pragma once
// Migration holds what the SQLite store records about the model that wrote it (the stored
// schema) and the inference of a lightweight migration from that schema to a new model: which
// tables and columns to add or drop. Changes that need more than that (an attribute that changes
// type, a new mandatory attribute without a default, an optional attribute that becomes
// mandatory without a default) cannot be inferred.
#include <optional>
#include <string>
#include <vector>

#include "platform/coredata/ManagedObjectModel.h"
#include "platform/foundation/Value.h"

namespace coredata {

struct StoredProperty {
  std::string name;
  bool relationship = false;
  unsigned long attributeType = 0;
  bool optional = true;
  std::string destination;
  bool toMany = false;
  bool ordered = false;
};

struct StoredEntity {
  std::string name;
  std::vector<StoredProperty> properties;
  const StoredProperty* property(const std::string& propertyName) const;
};

using StoredSchema = std::vector<StoredEntity>;

// The stored form of `model` (transient properties left out).
StoredSchema storedSchemaOf(const ManagedObjectModel& model);

// One step of a lightweight migration, applied by the store in one transaction.
struct MigrationStep {
  enum class Kind {
    CreateEntity,      // a new entity: its table and join tables
    DropEntity,        // an entity the new model lacks: its table and join tables
    AddAttribute,      // a new column, filled with `defaultValue` (null for none)
    DropAttribute,     // a column the new model lacks
    FillNulls,         // an attribute that became mandatory: nulls take `defaultValue`
    AddToOne,          // a new foreign-key column (empty)
    AddToMany,         // a new join table (empty)
    DropToOne,
    DropToMany,
  };
  Kind kind;
  std::string entity;
  std::string property;
  foundation::Value defaultValue;
};

// The steps that take `source` to `destination`, or nothing with `*reason` (a sentence naming the
// entity and property) when the change cannot be inferred.
std::optional<std::vector<MigrationStep>> inferLightweightMigration(const StoredSchema& source,
                                                                    const ManagedObjectModel& destination,
                                                                    std::string* reason);

}  // namespace coredata
