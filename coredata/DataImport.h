#pragma once
// The data import: key-value data (dictionaries and arrays such as decoded JSON) turned into
// managed objects, driven by the model. For each attribute and relationship of the target entity
// the importer finds the source key, converts the value to the attribute's type, finds or creates
// related objects by their identifying attribute and connects them.
//
// Mapping hints live in the user info of the model's entities, attributes and relationships:
//   "mappedKeyName" (attribute, relationship)  key path in the source; default the property name.
//   "mappedKeyName.1" ... ".9" (attribute)     further key paths, tried in order.
//   "relatedByAttribute" (entity, relationship) the identifying attribute; default the entity name
//                                               with a lower-case first character plus "ID".
//   "attributeValueClassName" (attribute)      no type conversion; a name ending in "Color" parses
//                                               colour text ("rgba(255,0,0,1)") into a DSColor.
//   "dateFormat" (date attribute)              pattern of date text, default
//                                               "yyyy-MM-dd'T'HH:mm:ssz" (GMT); "UnixTime" makes
//                                               numbers count milliseconds instead of seconds.
//   "useDefaultValueWhenNotPresent" (attribute) a missing source value imports the default value.
// A source value that is present but null clears the attribute; a missing one leaves it alone.
//
// Hooks: the platform finds optional per-class methods by name at run time. Here a managed-object
// class opts in by also deriving from DataStackDataImportProtocol and overriding what it needs;
// each hook's default answers "not implemented". The per-key hooks (import<Key>:,
// shouldImport<Key>:) receive the key as DS_capitalizedFirstCharacterString makes it ("Title").
// Ordered to-many relationships need no "<name>Set" collection: the stand-in keeps their order,
// so related objects are added to them like to any other to-many relationship.
//
// Threads: DS_importFromObject and DS_importFromArray run each import inside the context's queue
// while the caller waits, so they may be called from any thread (a save block is the usual place,
// which also saves the batch). The per-object operations work in the object's context on the
// calling thread: call them inside that context's queue. Failures never reach the caller: missing
// entities or attributes are logged and the import goes on with defaults; fetch errors go to
// DataStack::handleErrors.
#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "coredata/Color.h"
#include "coredata/ObjectCategories.h"
#include "platform/coredata/EntityDescription.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"

// User-info keys of the import.
inline constexpr const char* kDataStackImportMapKey = "mappedKeyName";
inline constexpr const char* kDataStackImportRelationshipPrimaryKey = "relatedByAttribute";
inline constexpr const char* kDataStackImportAttributeValueClassNameKey = "attributeValueClassName";
inline constexpr const char* kDataStackImportAttributeDateFormatKey = "dateFormat";
inline constexpr const char* kDataStackImportAttributeUseDefaultValueWhenNotPresent = "useDefaultValueWhenNotPresent";
inline constexpr const char* kDataStackImportDefaultDateFormat = "yyyy-MM-dd'T'HH:mm:ssz";
inline constexpr const char* kDataStackImportUnixTimeString = "UnixTime";
// The numbered alternatives of "mappedKeyName" go up to this number.
inline constexpr unsigned long kDataStackImportMaximumAttributeFailoverDepth = 9;

// The optional import hooks of a managed-object class (derive from it beside ManagedObject).
class DataStackDataImportProtocol {
 public:
  virtual ~DataStackDataImportProtocol() = default;
  // shouldImport: false skips the whole object. Nothing: not implemented (import it).
  virtual std::optional<bool> shouldImport(const foundation::Value& /*data*/) { return std::nullopt; }
  // willImport: before attributes are set; didImport: after relationships are set.
  virtual void willImport(const foundation::Value& /*data*/) {}
  virtual void didImport(const foundation::Value& /*data*/) {}
  // import<Key>: the converted attribute value (for a relationship the whole source object);
  // true means the hook handled the property and the default assignment is skipped. Nothing: no
  // hook for that key.
  virtual std::optional<bool> importValueForKey(const std::string& /*capitalizedKey*/,
                                                const foundation::Value& /*value*/) {
    return std::nullopt;
  }
  // shouldImport<Key>: the relationship's source value; false skips that relationship.
  virtual std::optional<bool> shouldImportRelationship(const std::string& /*capitalizedKey*/,
                                                       const foundation::Value& /*relatedData*/) {
    return std::nullopt;
  }
};

// Called once per related value of a relationship while importing an object.
using DSRelationshipBlock =
    std::function<void(const coredata::RelationshipDescription& relationship, const foundation::Value& data)>;
using DSAttributePtr = std::shared_ptr<const coredata::AttributeDescription>;
using DSRelationshipPtr = std::shared_ptr<const coredata::RelationshipDescription>;

// The import operations of managed objects (category DataStack_DataImport of the object class).
struct DSManagedObjectImport {
  // Imports one source into the entity: updates the first object whose identifying attribute
  // equals the source's value, else creates one. A source without an identifying value always
  // makes a new object. Null when the context's model lacks the entity. Runs in the context's
  // queue, waiting.
  static coredata::ManagedObjectPtr DS_importFromObject(const std::string& entityName, const foundation::Value& data,
                                                        const DSInContext& context = {});
  // DS_importFromObject for each element, in order; the results in input order (an element that
  // could not be imported is left out).
  static DSObjects DS_importFromArray(const std::string& entityName, const foundation::Array& list,
                                      const DSInContext& context = {});

  // Imports the source's values into `object` with the default relationship handling; false when
  // a shouldImport hook vetoed (nothing was changed).
  static bool DS_importValuesForKeysWithObject(const coredata::ManagedObjectPtr& object, const foundation::Value& data);
  // The import of values with `relationshipBlock` called per related value.
  static bool DS_performDataImportFromObject(const coredata::ManagedObjectPtr& object, const foundation::Value& data,
                                             const DSRelationshipBlock& relationshipBlock);
  // shouldImport (false ends the import) then willImport; didImport. DS_postImport is always true.
  static bool DS_preImport(const coredata::ManagedObjectPtr& object, const foundation::Value& data);
  static bool DS_postImport(const coredata::ManagedObjectPtr& object, const foundation::Value& data);
  // Sets each named attribute from the source (converted), its default when asked for and the
  // source lacks it, or leaves it alone.
  static void DS_setAttributes(const coredata::ManagedObjectPtr& object, const std::vector<DSAttributePtr>& attributes,
                               const foundation::Value& data);
  // Handles each named relationship whose source value is present and not null; an exception
  // while handling one is logged and the next one follows.
  static void DS_setRelationships(const coredata::ManagedObjectPtr& object,
                                  const std::vector<DSRelationshipPtr>& relationships, const foundation::Value& data,
                                  const DSRelationshipBlock& relationshipBlock);
  // True when the object's import<Key> hook exists and answered true.
  static bool DS_importValue(const coredata::ManagedObjectPtr& object, const foundation::Value& value,
                             const std::string& key);
  // The related object the value identifies (a dictionary through its identifying key, anything
  // else by itself), in the object's context; null when none matches or nothing identifies it.
  static coredata::ManagedObjectPtr DS_findObjectForRelationship(const coredata::ManagedObjectPtr& object,
                                                                 const coredata::RelationshipDescription& relationship,
                                                                 const foundation::Value& data);
  // Sets (to-one) or adds (to-many) `related`; a refusal is logged, not thrown.
  static void DS_addObject(const coredata::ManagedObjectPtr& object, const coredata::ManagedObjectPtr& related,
                           const coredata::RelationshipDescription& relationship);
};

// The import operations of the model's descriptions.
struct DSEntityDescription {
  // The attribute that identifies objects of the entity ("relatedByAttribute" or the default
  // name); null, after logging, when the entity has no such attribute.
  static DSAttributePtr DS_primaryAttributeToRelateBy(const coredata::EntityDescription& entity);
  // The first attribute of that name, or null.
  static DSAttributePtr DS_attributeDescriptionForName(const coredata::EntityDescription& entity,
                                                       const std::string& name);
  // A new object of the entity in the context (call inside its queue).
  static coredata::ManagedObjectPtr DS_createInstanceInContext(const coredata::EntityDescription& entity,
                                                               const DSContextPtr& context) {
    return DSManagedObject::DS_createInstanceInContext(entity, context);
  }
};

struct DSAttributeDescription {
  // The value at `keyPath` of the source converted to the attribute's type; null for a missing,
  // null or unparsable date value.
  static foundation::Value DS_valueForKeyPath(const coredata::AttributeDescription& attribute,
                                              const std::string& keyPath, const foundation::Value& data);
  // Attributes have no primary key of their own: always nothing.
  static std::optional<std::string> DS_primaryKey(const coredata::AttributeDescription&) { return std::nullopt; }
};

struct DSRelationshipDescription {
  // The relationship's "relatedByAttribute", else the default name made from the destination
  // entity's name.
  static std::string DS_primaryKey(const coredata::RelationshipDescription& relationship);
};

// The value-source operations: any Value can be a source (dictionaries and key-value-coding
// objects by key path; text and numbers have no keys and stand for themselves when related).
struct DSImportSource {
  // The value at the dotted key path, null included; nothing when a step is missing. Dictionaries
  // are read by key, key-value-coding objects by their known keys; text and numbers have no keys.
  static std::optional<foundation::Value> valueAtKeyPath(const foundation::Value& data, const std::string& keyPath);
  // The key path under which the source has a value (null counts as a value) for the
  // attribute: its mapped key or name, then the numbered alternatives; nothing when none does.
  static std::optional<std::string> DS_lookupKeyForAttribute(const foundation::Value& data,
                                                             const coredata::AttributeDescription& attribute);
  // The raw value at that key path, or null.
  static foundation::Value DS_valueForAttribute(const foundation::Value& data,
                                                const coredata::AttributeDescription& attribute);
  // The relationship's mapped key or its name.
  static std::string DS_lookupKeyForRelationship(const foundation::Value& data,
                                                 const coredata::RelationshipDescription& relationship);
  // The identifying value of the related object the source describes: for a dictionary its value
  // for the destination's identifying attribute, for anything else the source itself; null when
  // the relationship has no destination entity (logged).
  static foundation::Value DS_relatedValueForRelationship(const foundation::Value& data,
                                                          const coredata::RelationshipDescription& relationship);
};

// --- Plain functions (thread-safe) ------------------------------------------------------------
// An empty text unchanged; else the first character capitalised and the rest unchanged.
std::string DS_capitalizedFirstCharacterString(const std::string& text);
// The first character capitalised, the rest unchanged ("hostGroup" gives "HostGroup").
std::string DS_attributeNameFromString(const std::string& text);
// The first character lower-cased, the rest unchanged, then "ID" ("HostGroup" gives "hostGroupID").
std::string DS_primaryKeyNameFromString(const std::string& text);
// The date `text` denotes under `format` in GMT with the current locale, or nothing.
std::optional<foundation::Date> DS_dateFromString(const std::string& text, const std::string& format);
// The number's value as seconds since 1970 (milliseconds when `milliseconds`).
foundation::Date DS_dateFromNumber(const foundation::Value& number, bool milliseconds);
// The text's leading number as a double (0 when it has none).
foundation::Value DS_numberFromString(const std::string& text);
// `date` plus the system time zone's daylight-saving offset at that date.
foundation::Date DS_adjustDateForDST(foundation::Date date);
// Red, green, blue and alpha read as integers from "rgba(r, g, b, a)"; nothing for any other
// prefix. Scanning stops after four components and at text that is not a number; components that
// are missing read 0, a missing alpha 1.
std::optional<std::array<int, 4>> DS_newColorComponentsFromString(const std::string& text);
// A device RGB colour of those components (red, green and blue divided by 255, alpha as read),
// or null.
std::shared_ptr<DSColor> DS_colorFromString(const std::string& text);
