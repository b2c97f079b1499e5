#pragma once
// TLLogWithNameAndProperties is the base of the analytics logs that carry a name beside their
// string properties: events and pages.
#include <optional>
#include <string>

#include "telemetry/core/Internals/Model/TLLogWithProperties.h"

class TLLogWithNameAndProperties : public TLLogWithProperties {
 public:
  TLLogWithNameAndProperties() = default;
  // Reads back the base keys and "name"; a value that is not text fails the unarchiving.
  explicit TLLogWithNameAndProperties(foundation::KeyedUnarchiver& coder);

  // The base keys, then "name".
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, plus "name" when present.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // Valid as a base log and with a name (an empty one counts; the analytics filter drops it).
  bool isValid() const override;
  // Whether `other` is a TLLogWithNameAndProperties (or subclass) equal as a base log, with the
  // same name.
  bool isEqual(const foundation::Object& other) const override;

  // The event or page name; absent until set.
  const std::optional<std::string>& name() const { return name_; }
  void setName(std::optional<std::string> name) { name_ = std::move(name); }

 private:
  std::optional<std::string> name_;
};
