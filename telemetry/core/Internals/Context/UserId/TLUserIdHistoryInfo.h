#pragma once
// TLUserIdHistoryInfo is one entry of the user-id history: the user id current from its
// timestamp on (absent when none was set).
#include <optional>
#include <string>

#include "telemetry/core/Internals/Context/Session/TLHistoryInfo.h"

class TLUserIdHistoryInfo : public TLHistoryInfo {
 public:
  TLUserIdHistoryInfo(foundation::Date timestamp, std::optional<std::string> userId)
      : TLHistoryInfo(timestamp), userId_(std::move(userId)) {}
  // Reads "timestampKey" and "userIdKey" back.
  explicit TLUserIdHistoryInfo(foundation::KeyedUnarchiver& coder)
      : TLHistoryInfo(coder), userId_(coder.decodeStringForKey(kUserIdKey)) {}

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
    TLHistoryInfo::encodeWithCoder(coder);
    coder.encodeObject(userId_, kUserIdKey);
  }

  const std::optional<std::string>& userId() const { return userId_; }
  void setUserId(std::optional<std::string> userId) { userId_ = std::move(userId); }

 private:
  static constexpr const char* kUserIdKey = "userIdKey";
  std::optional<std::string> userId_;
};
