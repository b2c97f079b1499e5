#pragma once
// TLAuthTokenInfo is one entry of the auth token history: a bearer token (or none, for a period
// that belongs to nobody), its account, when it started to apply and when it expires. Read-only
// after creation; archived under "authTokenKey", "accountIdKey", "startTimeKey" and
// "expiresOnKey", absent fields left out.
#include <optional>
#include <string>

#include "platform/foundation/Coding.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/KeyedUnarchiver.h"

class TLAuthTokenInfo : public foundation::Coding {
 public:
  TLAuthTokenInfo(std::optional<std::string> authToken, std::optional<std::string> accountId,
                  std::optional<foundation::Date> startTime, std::optional<foundation::Date> expiresOn);
  // Reads the four keys back; a key of the wrong kind fails the whole unarchiving.
  explicit TLAuthTokenInfo(foundation::KeyedUnarchiver& coder);

  // Registers the class with the keyed archiver (name "TLAuthTokenInfo", secure coding); safe to
  // call any number of times from any thread.
  static void registerForCoding();

  const std::optional<std::string>& authToken() const { return authToken_; }
  const std::optional<std::string>& accountId() const { return accountId_; }
  const std::optional<foundation::Date>& startTime() const { return startTime_; }
  const std::optional<foundation::Date>& expiresOn() const { return expiresOn_; }

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

 private:
  std::optional<std::string> authToken_;
  std::optional<std::string> accountId_;
  std::optional<foundation::Date> startTime_;
  std::optional<foundation::Date> expiresOn_;
};
