#include "telemetry/core/Internals/Channel/TLChannelGroupDefault.h"

#include <utility>

#include "telemetry/core/Internals/Channel/TLChannelUnitDefault.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Storage/TLLogDBStorage.h"
#include "telemetry/core/TLArchivableClasses.h"

TLChannelGroupDefault::TLChannelGroupDefault(std::shared_ptr<TLTelemetryIngestion> ingestion,
                                             std::shared_ptr<TLStorage> storage,
                                             std::shared_ptr<dispatch::Queue> logsDispatchQueue)
    : ingestion_(std::move(ingestion)), storage_(std::move(storage)), logsDispatchQueue_(std::move(logsDispatchQueue)) {}

std::shared_ptr<TLChannelGroupDefault> TLChannelGroupDefault::create(const foundation::UUID& installId,
                                                                     const std::optional<std::string>& logUrl) {
  return create(TLTelemetryIngestion::create(logUrl, installId.UUIDString()));
}

std::shared_ptr<TLChannelGroupDefault> TLChannelGroupDefault::create(std::shared_ptr<TLTelemetryIngestion> ingestion,
                                                                     std::shared_ptr<TLStorage> storage,
                                                                     std::shared_ptr<dispatch::Queue> logsDispatchQueue) {
  // The core's log classes are known before any stored log can be read back.
  TLRegisterArchivableClasses();
  if (!storage) storage = std::make_shared<TLLogDBStorage>();
  if (!logsDispatchQueue) logsDispatchQueue = dispatch::Queue::createSerial(kTLChannelGroupQueueLabel);
  return std::shared_ptr<TLChannelGroupDefault>(
      new TLChannelGroupDefault(std::move(ingestion), std::move(storage), std::move(logsDispatchQueue)));
}

// ---- Units --------------------------------------------------------------------------------------

std::shared_ptr<TLChannelUnitProtocol> TLChannelGroupDefault::addChannelUnitWithConfiguration(
    const std::optional<TLChannelUnitConfiguration>& configuration) {
  return addChannelUnitWithConfiguration(configuration, ingestion_);
}

std::shared_ptr<TLChannelUnitProtocol> TLChannelGroupDefault::addChannelUnitWithConfiguration(
    const std::optional<TLChannelUnitConfiguration>& configuration,
    const std::shared_ptr<TLIngestionProtocol>& ingestion) {
  if (!configuration) return nullptr;
  std::shared_ptr<TLIngestionProtocol> unitIngestion = ingestion;
  if (!unitIngestion) unitIngestion = ingestion_;
  auto unit = TLChannelUnitDefault::create(std::move(unitIngestion), storage_, *configuration, logsDispatchQueue_);
  unit->addDelegate(shared_from_this());
  logsDispatchQueue_->async([unit] { unit->checkPendingLogs(); });
  {
    std::lock_guard lock(channelsMutex_);
    channels_.push_back(unit);
  }
  const std::shared_ptr<TLChannelUnitProtocol> added = unit;
  delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelGroupDidAddChannelUnit(*this, added); });
  TLAuthTokenContext::sharedInstance()->addDelegate(unit);
  return added;
}

std::shared_ptr<TLChannelUnitProtocol> TLChannelGroupDefault::channelUnitForGroupId(const std::string& groupId) const {
  std::lock_guard lock(channelsMutex_);
  for (const auto& unit : channels_) {
    if (unit->configuration().groupId() == groupId) return unit;
  }
  return nullptr;
}

std::vector<std::shared_ptr<TLChannelUnitProtocol>> TLChannelGroupDefault::channels() const {
  std::lock_guard lock(channelsMutex_);
  return channels_;
}

// ---- Settings -----------------------------------------------------------------------------------

void TLChannelGroupDefault::setLogUrl(const std::string& logUrl) {
  if (ingestion_) ingestion_->setBaseURL(logUrl);
}

void TLChannelGroupDefault::setAppSecret(const std::optional<std::string>& appSecret) {
  if (ingestion_) ingestion_->setAppSecret(appSecret);
}

void TLChannelGroupDefault::setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) {
  logsDispatchQueue_->async([storage = storage_, sizeInBytes, completionHandler = std::move(completionHandler)] {
    storage->setMaxStorageSize(sizeInBytes, completionHandler);
  });
}

// ---- Fan-out ------------------------------------------------------------------------------------

void TLChannelGroupDefault::addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) { delegates_.add(delegate); }

void TLChannelGroupDefault::removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) {
  delegates_.remove(delegate);
}

void TLChannelGroupDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  if (ingestion_) ingestion_->setEnabled(isEnabled, deleteDataOnDisabled);
  for (const auto& unit : channels()) unit->setEnabled(isEnabled, deleteDataOnDisabled);
  delegates_.forEach(
      [&](TLChannelDelegate& delegate) { delegate.channelDidSetEnabled(*this, isEnabled, deleteDataOnDisabled); });
}

void TLChannelGroupDefault::pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) {
  if (ingestion_) ingestion_->setEnabled(false, false);
  for (const auto& unit : channels()) unit->pauseWithIdentifyingObject(identifyingObject);
}

void TLChannelGroupDefault::resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) {
  if (ingestion_) ingestion_->setEnabled(true, false);
  for (const auto& unit : channels()) unit->resumeWithIdentifyingObject(identifyingObject);
}

// ---- Forwarding ---------------------------------------------------------------------------------

void TLChannelGroupDefault::channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) {
  delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelPrepareLog(channel, log); });
}

void TLChannelGroupDefault::channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                                 const std::string& internalId, TLFlags flags) {
  delegates_.forEach(
      [&](TLChannelDelegate& delegate) { delegate.channelDidPrepareLog(channel, log, internalId, flags); });
}

void TLChannelGroupDefault::channelDidCompleteEnqueueingLog(TLChannelProtocol& channel,
                                                            const std::shared_ptr<TLLog>& log,
                                                            const std::string& internalId) {
  delegates_.forEach(
      [&](TLChannelDelegate& delegate) { delegate.channelDidCompleteEnqueueingLog(channel, log, internalId); });
}

void TLChannelGroupDefault::channelWillSendLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) {
  delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelWillSendLog(channel, log); });
}

void TLChannelGroupDefault::channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) {
  delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelDidSucceedSendingLog(channel, log); });
}

void TLChannelGroupDefault::channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                                     const std::optional<foundation::Error>& error) {
  delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelDidFailSendingLog(channel, log, error); });
}

void TLChannelGroupDefault::channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled,
                                                 bool deleteDataOnDisabled) {
  delegates_.forEach(
      [&](TLChannelDelegate& delegate) { delegate.channelDidSetEnabled(channel, isEnabled, deleteDataOnDisabled); });
}

void TLChannelGroupDefault::channelDidPauseWithIdentifyingObject(TLChannelProtocol& channel,
                                                                 const TLIdentifyingObject& identifyingObject) {
  delegates_.forEach([&](TLChannelDelegate& delegate) {
    delegate.channelDidPauseWithIdentifyingObject(channel, identifyingObject);
  });
}

void TLChannelGroupDefault::channelDidResumeWithIdentifyingObject(TLChannelProtocol& channel,
                                                                  const TLIdentifyingObject& identifyingObject) {
  delegates_.forEach([&](TLChannelDelegate& delegate) {
    delegate.channelDidResumeWithIdentifyingObject(channel, identifyingObject);
  });
}

bool TLChannelGroupDefault::channelUnitShouldFilterLog(TLChannelUnitProtocol& channelUnit,
                                                       const std::shared_ptr<TLLog>& log) {
  for (const auto& delegate : delegates_.allObjects()) {
    if (delegate->channelUnitShouldFilterLog(channelUnit, log)) return true;
  }
  return false;
}
