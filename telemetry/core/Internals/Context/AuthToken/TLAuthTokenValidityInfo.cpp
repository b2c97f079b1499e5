#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenValidityInfo.h"

namespace {

// How long before its end a token is due for a refresh.
constexpr double kRefreshThreshold = 10 * 60;

}  // namespace

TLAuthTokenValidityInfo::TLAuthTokenValidityInfo(std::optional<std::string> authToken,
                                                 std::optional<foundation::Date> startTime,
                                                 std::optional<foundation::Date> endTime)
    : authToken_(std::move(authToken)), startTime_(startTime), endTime_(endTime) {}

bool TLAuthTokenValidityInfo::expiresSoon(foundation::Date now) const {
  return endTime_ && now.addingTimeInterval(kRefreshThreshold) > *endTime_;
}
