#include "telemetry/core/Internals/Model/TLLogContainer.h"

#include <algorithm>

#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/TLLogger.h"

TLLogContainer::TLLogContainer(std::optional<std::string> batchId, std::vector<std::shared_ptr<TLLog>> logs)
    : batchId_(std::move(batchId)), logs_(std::move(logs)) {}

std::optional<std::string> TLLogContainer::serializeLog() const { return serializeLogWithPrettyPrinting(false); }

std::optional<std::string> TLLogContainer::serializeLogWithPrettyPrinting(bool prettyPrint) const {
  foundation::Array list;
  list.reserve(logs_.size());
  for (const auto& log : logs_) {
    if (!log) continue;
    if (auto dictionary = log->serializeToDictionary()) list.emplace_back(std::move(*dictionary));
  }
  foundation::Error error;
  auto json = TLUtility::jsonStringFromObject(foundation::Dictionary{{"logs", std::move(list)}}, prettyPrint, &error);
  if (!json) TLLogError(kTLLogTag, "Couldn't serialize log container to json: %@", error.localizedDescription());
  return json;
}

bool TLLogContainer::isValid() const {
  if (logs_.empty()) return false;
  return std::all_of(logs_.begin(), logs_.end(), [](const auto& log) { return log && log->isValid(); });
}
