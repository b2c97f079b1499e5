#include "telemetry/core/TLWrapperLogger.h"

void TLWrapperLogger::TLWrapperLog(const TLLogMessageProvider& messageProvider, std::string_view tag,
                                   TLLogLevel level) {
  // Wrapper SDKs match their lines by this fixed name and line, so neither follows the source.
  TLLogger::logMessage(messageProvider, level, tag, __FILE__, "+[TLWrapperLogger TLWrapperLog:tag:level:]", 10);
}
