#pragma once
// TLAuthTokenValidityInfo is one period of the auth token history as the channel units use it:
// the logs written between its start and end are sent with its token. Absent times leave the
// period open at that end. A plain value; copies are independent.
#include <optional>
#include <string>

#include "platform/foundation/Date.h"

class TLAuthTokenValidityInfo {
 public:
  TLAuthTokenValidityInfo(std::optional<std::string> authToken, std::optional<foundation::Date> startTime,
                          std::optional<foundation::Date> endTime);

  const std::optional<std::string>& authToken() const { return authToken_; }
  const std::optional<foundation::Date>& startTime() const { return startTime_; }
  const std::optional<foundation::Date>& endTime() const { return endTime_; }

  // Whether the period ends less than 600 seconds after `now`, or has ended; never for an open
  // period.
  bool expiresSoon(foundation::Date now = foundation::Date::now()) const;

  bool operator==(const TLAuthTokenValidityInfo&) const = default;

 private:
  std::optional<std::string> authToken_;
  std::optional<foundation::Date> startTime_;
  std::optional<foundation::Date> endTime_;
};
