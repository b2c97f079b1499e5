// The common-schema side of TLAbstractLog: one common-schema log per transmission target.
#include "telemetry/core/Internals/Model/TLAbstractLog.h"

std::vector<std::shared_ptr<TLCommonSchemaLog>> TLAbstractLog::toCommonSchemaLogsWithFlags(TLFlags flags) const {
  std::vector<std::shared_ptr<TLCommonSchemaLog>> logs;
  const auto tokens = transmissionTargetTokens();
  if (!tokens) return logs;
  for (const std::string& token : *tokens) {
    if (auto log = toCommonSchemaLogForTargetToken(token, flags)) logs.push_back(std::move(log));
  }
  return logs;
}

// The common-schema envelope and its extensions are not part of this library yet, so no log
// has a common-schema form: every target answers none.
std::shared_ptr<TLCommonSchemaLog> TLAbstractLog::toCommonSchemaLogForTargetToken(const std::string&, TLFlags) const {
  return nullptr;
}
