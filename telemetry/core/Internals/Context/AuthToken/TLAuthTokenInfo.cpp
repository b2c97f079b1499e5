#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenInfo.h"

#include <mutex>

#include "platform/foundation/KeyedArchiver.h"

namespace {

constexpr const char* kAuthTokenKey = "authTokenKey";
constexpr const char* kAccountIdKey = "accountIdKey";
constexpr const char* kStartTimeKey = "startTimeKey";
constexpr const char* kExpiresOnKey = "expiresOnKey";

std::optional<foundation::Date> decodeDate(foundation::KeyedUnarchiver& coder, const char* key) {
  const foundation::Value value = coder.decodeObjectOfClass(foundation::ArchiveClass::Date, key);
  if (!value.isDate()) return std::nullopt;
  return value.dateValue();
}

}  // namespace

TLAuthTokenInfo::TLAuthTokenInfo(std::optional<std::string> authToken, std::optional<std::string> accountId,
                                 std::optional<foundation::Date> startTime, std::optional<foundation::Date> expiresOn)
    : authToken_(std::move(authToken)),
      accountId_(std::move(accountId)),
      startTime_(startTime),
      expiresOn_(expiresOn) {}

TLAuthTokenInfo::TLAuthTokenInfo(foundation::KeyedUnarchiver& coder)
    : authToken_(coder.decodeStringForKey(kAuthTokenKey)),
      accountId_(coder.decodeStringForKey(kAccountIdKey)),
      startTime_(decodeDate(coder, kStartTimeKey)),
      expiresOn_(decodeDate(coder, kExpiresOnKey)) {}

void TLAuthTokenInfo::registerForCoding() {
  static std::once_flag once;
  std::call_once(once, [] { foundation::CodingRegistry::registerClass<TLAuthTokenInfo>("TLAuthTokenInfo", "", true); });
}

void TLAuthTokenInfo::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  if (authToken_) coder.encodeObject(*authToken_, kAuthTokenKey);
  if (accountId_) coder.encodeObject(*accountId_, kAccountIdKey);
  if (startTime_) coder.encodeObject(*startTime_, kStartTimeKey);
  if (expiresOn_) coder.encodeObject(*expiresOn_, kExpiresOnKey);
}
