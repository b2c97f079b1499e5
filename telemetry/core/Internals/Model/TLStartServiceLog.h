#pragma once
// TLStartServiceLog announces the services the SDK started. It is sent without a session id.
#include <optional>
#include <string>
#include <vector>

#include "telemetry/core/Internals/Model/TLAbstractLog.h"

class TLStartServiceLog : public TLAbstractLog, public TLNoAutoAssignSessionIdLog {
 public:
  // Type "startService", no services.
  TLStartServiceLog();
  // Reads back the base keys and "services"; a value of the wrong kind fails the unarchiving.
  explicit TLStartServiceLog(foundation::KeyedUnarchiver& coder);

  // The base keys, then "services".
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, plus "services" when the list is present (an empty list as []).
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // Whether `other` is a TLStartServiceLog equal as a base log and with the same services in
  // the same order.
  bool isEqual(const foundation::Object& other) const override;

  // The names of the started services ("Crashes", "Analytics"); absent until set.
  const std::optional<std::vector<std::string>>& services() const { return services_; }
  void setServices(std::optional<std::vector<std::string>> services) { services_ = std::move(services); }

 private:
  std::optional<std::vector<std::string>> services_;
};
