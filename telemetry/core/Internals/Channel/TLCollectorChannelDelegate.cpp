#include "telemetry/core/Internals/Channel/TLCollectorChannelDelegate.h"

#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/String.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"
#include "telemetry/core/TLLogger.h"

#ifndef QM_TELEMETRY_COLLECTOR_URL
#define QM_TELEMETRY_COLLECTOR_URL ""
#endif

namespace {

constexpr const char* kLogNamePattern = R"(^[a-zA-Z0-9]((\.(?!(\.|$)))|[_a-zA-Z0-9]){3,99}$)";
constexpr const char* kValidationFailed = "Log validation failed.";

}  // namespace

std::string TLCollectorChannelDelegate::defaultBaseUrl() { return QM_TELEMETRY_COLLECTOR_URL; }

TLCollectorChannelDelegate::TLCollectorChannelDelegate(const foundation::UUID& installId,
                                                       const std::optional<std::string>& baseUrl)
    : installId_(installId),
      baseUrl_(baseUrl.value_or(defaultBaseUrl())),
      // Without an address the ingestion has no URL to send to, so companions only store.
      collectorIngestion_(TLCollectorIngestion::create(baseUrl_.empty() ? std::nullopt : std::optional(baseUrl_))) {}

void TLCollectorChannelDelegate::setLogUrl(const std::string& logUrl) { collectorIngestion_->setBaseURL(logUrl); }

bool TLCollectorChannelDelegate::isCollectorGroup(const std::string& groupId) {
  return groupId.ends_with(kTLCollectorGroupIdSuffix);
}

std::shared_ptr<TLChannelUnitProtocol> TLCollectorChannelDelegate::collectorChannelForGroupId(
    const std::string& groupId) const {
  std::lock_guard lock(mutex_);
  const auto it = collectorChannels_.find(groupId);
  return it == collectorChannels_.end() ? nullptr : it->second;
}

std::optional<TLCSEpochAndSeq> TLCollectorChannelDelegate::epochAndSeqForIKey(const std::string& iKey) const {
  std::lock_guard lock(mutex_);
  const auto it = epochsAndSeqsByIKey_.find(iKey);
  if (it == epochsAndSeqsByIKey_.end()) return std::nullopt;
  return it->second;
}

std::shared_ptr<TLChannelUnitProtocol> TLCollectorChannelDelegate::companionOf(TLChannelProtocol& channel) const {
  const auto* unit = dynamic_cast<TLChannelUnitProtocol*>(&channel);
  if (!unit) return nullptr;
  const std::string& groupId = unit->configuration().groupId();
  if (isCollectorGroup(groupId)) return nullptr;
  return collectorChannelForGroupId(groupId);
}

// ---- Companions -----------------------------------------------------------------------------------

void TLCollectorChannelDelegate::channelGroupDidAddChannelUnit(TLChannelGroupProtocol& channelGroup,
                                                               const std::shared_ptr<TLChannelUnitProtocol>& channelUnit) {
  if (!channelUnit) return;
  const TLChannelUnitConfiguration& configuration = channelUnit->configuration();
  // The group reports the companion's own addition too.
  if (isCollectorGroup(configuration.groupId())) return;
  const std::string companionGroupId =
      foundation::stringWithFormat("%@%@", configuration.groupId(), kTLCollectorGroupIdSuffix);
  auto companion = channelGroup.addChannelUnitWithConfiguration(
      TLChannelUnitConfiguration::defaultConfiguration(companionGroupId, configuration.flushInterval()),
      collectorIngestion_);
  std::lock_guard lock(mutex_);
  collectorChannels_[configuration.groupId()] = std::move(companion);
}

// ---- Stamping and routing -------------------------------------------------------------------------

void TLCollectorChannelDelegate::channelPrepareLog(TLChannelProtocol&, const std::shared_ptr<TLLog>& log) {
  const auto commonSchemaLog = std::dynamic_pointer_cast<TLCommonSchemaLog>(log);
  if (!commonSchemaLog) return;
  const auto& ext = commonSchemaLog->ext();
  const auto& sdk = ext ? ext->sdkExt : nullptr;
  // Without an iKey there is no counter to attribute the log to: it only gets the install id.
  if (const auto& iKey = commonSchemaLog->iKey()) {
    TLCSEpochAndSeq counter("");
    {
      std::lock_guard lock(mutex_);
      auto it = epochsAndSeqsByIKey_.find(*iKey);
      if (it == epochsAndSeqsByIKey_.end()) {
        it = epochsAndSeqsByIKey_.emplace(*iKey, TLCSEpochAndSeq(foundation::UUID().UUIDString())).first;
      }
      ++it->second.seq;
      counter = it->second;
    }
    if (sdk) {
      sdk->epoch = counter.epoch;
      sdk->seq = static_cast<std::int64_t>(counter.seq);
    }
  }
  if (sdk) sdk->installId = installId_;
}

void TLCollectorChannelDelegate::channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                                      const std::string&, TLFlags flags) {
  if (!log) return;
  const auto companion = companionOf(channel);
  if (std::dynamic_pointer_cast<TLCommonSchemaLog>(log)) {
    // A common-schema log in a regular unit moves to the companion as it is.
    if (companion) companion->enqueueItem(log, flags);
    return;
  }
  if (!companion || !shouldSendLogToCollector(*log)) return;
  const auto* conversion = dynamic_cast<const TLLogConversion*>(log.get());
  for (const auto& commonSchemaLog : conversion->toCommonSchemaLogsWithFlags(flags)) {
    companion->enqueueItem(commonSchemaLog, flags);
  }
}

bool TLCollectorChannelDelegate::shouldSendLogToCollector(const TLLog& log) {
  const auto tokens = log.transmissionTargetTokens();
  return tokens && !tokens->empty() && dynamic_cast<const TLLogConversion*>(&log) &&
         !dynamic_cast<const TLCommonSchemaLog*>(&log);
}

bool TLCollectorChannelDelegate::channelUnitShouldFilterLog(TLChannelUnitProtocol& channelUnit,
                                                            const std::shared_ptr<TLLog>& log) {
  if (!log) return false;
  if (const auto commonSchemaLog = std::dynamic_pointer_cast<TLCommonSchemaLog>(log)) {
    if (!isCollectorGroup(channelUnit.configuration().groupId())) return true;
    return !validateLog(*commonSchemaLog);
  }
  const auto tokens = log->transmissionTargetTokens();
  return tokens && !tokens->empty();
}

bool TLCollectorChannelDelegate::validateLog(const TLCommonSchemaLog& log) { return validateLogName(log.name()); }

bool TLCollectorChannelDelegate::validateLogName(const std::optional<std::string>& name) {
  if (!name || name->empty()) {
    TLLogError(kTLLogTag, "%@ Name must not be nil or empty.", kValidationFailed);
    return false;
  }
  static const auto expression = foundation::RegularExpression::create(kLogNamePattern);
  if (expression && expression->numberOfMatches(*name) > 0) return true;
  TLLogError(kTLLogTag, "%@ Name must match '%@' but was '%@'", kValidationFailed, kLogNamePattern, *name);
  return false;
}

// ---- Mirroring --------------------------------------------------------------------------------------

void TLCollectorChannelDelegate::channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled,
                                                      bool deleteDataOnDisabled) {
  if (dynamic_cast<TLChannelUnitProtocol*>(&channel)) {
    if (const auto companion = companionOf(channel)) companion->setEnabled(isEnabled, deleteDataOnDisabled);
    return;
  }
  if (dynamic_cast<TLChannelGroupProtocol*>(&channel) && !isEnabled && deleteDataOnDisabled) {
    std::lock_guard lock(mutex_);
    epochsAndSeqsByIKey_.clear();
  }
}

void TLCollectorChannelDelegate::channelDidPauseWithIdentifyingObject(TLChannelProtocol& channel,
                                                                      const TLIdentifyingObject& identifyingObject) {
  if (const auto companion = companionOf(channel)) companion->pauseWithIdentifyingObject(identifyingObject);
}

void TLCollectorChannelDelegate::channelDidResumeWithIdentifyingObject(TLChannelProtocol& channel,
                                                                       const TLIdentifyingObject& identifyingObject) {
  if (const auto companion = companionOf(channel)) companion->resumeWithIdentifyingObject(identifyingObject);
}
