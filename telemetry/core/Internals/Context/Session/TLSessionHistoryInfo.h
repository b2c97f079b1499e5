#pragma once
// TLSessionHistoryInfo is one entry of the session history: the session id current from its
// timestamp on (absent when no session ran).
#include <optional>
#include <string>

#include "telemetry/core/Internals/Context/Session/TLHistoryInfo.h"

class TLSessionHistoryInfo : public TLHistoryInfo {
 public:
  TLSessionHistoryInfo(foundation::Date timestamp, std::optional<std::string> sessionId)
      : TLHistoryInfo(timestamp), sessionId_(std::move(sessionId)) {}
  // Reads "timestampKey" and "sessionIdKey" back.
  explicit TLSessionHistoryInfo(foundation::KeyedUnarchiver& coder)
      : TLHistoryInfo(coder), sessionId_(coder.decodeStringForKey(kSessionIdKey)) {}

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
    TLHistoryInfo::encodeWithCoder(coder);
    coder.encodeObject(sessionId_, kSessionIdKey);
  }

  const std::optional<std::string>& sessionId() const { return sessionId_; }
  void setSessionId(std::optional<std::string> sessionId) { sessionId_ = std::move(sessionId); }

 private:
  static constexpr const char* kSessionIdKey = "sessionIdKey";
  std::optional<std::string> sessionId_;
};
