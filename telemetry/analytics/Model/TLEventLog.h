#pragma once
// TLEventLog is the log of one tracked analytics event (type "event"): a name, string
// properties, a fresh event id, and the typed properties when the event has any.
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "telemetry/analytics/Model/TLLogWithNameAndProperties.h"
#include "telemetry/analytics/TLEventProperties.h"

class TLEventLog : public TLLogWithNameAndProperties {
 public:
  // Type "event"; the metadata type ids {"long": 4, "double": 6, "dateTime": 9}.
  TLEventLog();
  // Reads back the base keys, "id" and "typedProperties"; a value of the wrong kind fails the
  // unarchiving. The metadata type ids are not archived: a decoded log has none.
  explicit TLEventLog(foundation::KeyedUnarchiver& coder);

  // The base keys, then "id" and "typedProperties".
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, plus "id" when present and "typedProperties" (one dictionary per typed
  // property) when a bag is set.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // Valid as a named log and with an event id.
  bool isValid() const override;
  // Whether `other` is a TLEventLog equal as a named log, with the same event id. The typed
  // properties take no part.
  bool isEqual(const foundation::Object& other) const override;

  // The base's common-schema log for `token`, with the event's name, its typed properties as the
  // "data" tree with their type metadata (TLEventLog+CommonSchema.h), and the event's tag.
  std::shared_ptr<TLCommonSchemaLog> toCommonSchemaLogForTargetToken(const std::string& token,
                                                                     TLFlags flags) const override;

  const std::optional<std::string>& eventId() const { return eventId_; }
  void setEventId(std::optional<std::string> eventId) { eventId_ = std::move(eventId); }
  // The typed properties, shared with whoever set them; null when the event has none.
  const std::shared_ptr<TLEventProperties>& typedProperties() const { return typedProperties_; }
  void setTypedProperties(std::shared_ptr<TLEventProperties> properties) { typedProperties_ = std::move(properties); }
  // The common-schema metadata type id of each numeric and date property kind.
  const std::optional<std::map<std::string, int>>& metadataTypeIdMapping() const { return metadataTypeIdMapping_; }
  void setMetadataTypeIdMapping(std::optional<std::map<std::string, int>> mapping) {
    metadataTypeIdMapping_ = std::move(mapping);
  }

 private:
  std::optional<std::string> eventId_;
  std::shared_ptr<TLEventProperties> typedProperties_;
  std::optional<std::map<std::string, int>> metadataTypeIdMapping_;
};
