#pragma once
// TLWrapperLogger lets an SDK that wraps this one log through TLLogger: its lines carry the
// wrapper logger's own function name and line instead of a site of this SDK.
#include <string_view>

#include "telemetry/core/TLLogger.h"

class TLWrapperLogger {
 public:
  TLWrapperLogger() = delete;

  // Hands the message to TLLogger::logMessage with the function name
  // "+[TLWrapperLogger TLWrapperLog:tag:level:]" and line 10. Thread-safe.
  static void TLWrapperLog(const TLLogMessageProvider& messageProvider, std::string_view tag,
                           TLLogLevel level);
};
