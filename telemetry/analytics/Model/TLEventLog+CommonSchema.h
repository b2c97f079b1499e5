#pragma once
// The common-schema side of an event: how an event's typed properties become the nested "data"
// object of a common-schema log and the type metadata beside it. A property named a.b.c sits under
// a, then b, then c. The metadata tree mirrors the properties that have a type id (long 4,
// double 6, dateTime 9), each level keeping its children under "f". "baseType" and "baseData" are
// reserved: baseType must be a string and comes with properties under "baseData.", or both go.
//
// When two properties claim one place (a leaf where a dotted name needs an object, or a key that
// already has a value), the property met first keeps it; the other is skipped with a warning, and
// no metadata is left behind for it.
//
// Stateless; the trees are built on the caller's thread.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Model/TLTypedProperty.h"

class TLEventLogCommonSchema {
 public:
  using TypedProperties = std::vector<std::shared_ptr<TLTypedProperty>>;
  // The metadata type id of each property type that has one.
  using TypeIdMapping = std::map<std::string, int>;

  TLEventLogCommonSchema() = delete;

  // Fills the log's "data" with the property tree of `properties` (visited in the order given)
  // and its metadata extension with their type ids, each only when it has an entry; the
  // reserved-name rules and the clash rule above apply, with a WARNING each. Nothing happens
  // without properties. Logs under the analytics tag.
  static void setPropertiesAndMetadataForCSLog(TLCommonSchemaLog& log, const TypedProperties& properties,
                                               const TypeIdMapping& metadataTypeIdMapping);
  // Adds one property to both trees; a clash leaves both trees as they were.
  static void addTypedProperty(const TLTypedProperty& property, foundation::Dictionary& metadata,
                               foundation::Dictionary& properties, const TypeIdMapping& metadataTypeIdMapping);
  // Stores the property's value under `key` of `node`; true when stored. False, with the clash
  // warning, when there is no node or the key has a value already; false, silently, for a
  // property without a value (or of a kind the tree does not know).
  static bool addTypedPropertyToPropertyTree(const TLTypedProperty& property, foundation::Dictionary* node,
                                             const std::string& key);
};
