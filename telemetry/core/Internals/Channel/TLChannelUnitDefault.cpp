#include "telemetry/core/Internals/Channel/TLChannelUnitDefault.h"

#include <algorithm>
#include <utility>

#include "platform/foundation/String.h"
#include "platform/foundation/UUID.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContext.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/Internals/Ingestion/TLHttpIngestion.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

foundation::Error connectionPausedError() {
  return foundation::Error::withDescription(kTLErrorDomain, TLConnectionPausedErrorCode, kTLConnectionPausedErrorDesc);
}

bool sameOwner(const std::weak_ptr<const void>& a, const std::weak_ptr<const void>& b) {
  return !a.owner_before(b) && !b.owner_before(a);
}

}  // namespace

// ---- Creation -------------------------------------------------------------------------------------

TLChannelUnitDefault::TLChannelUnitDefault(std::shared_ptr<TLIngestionProtocol> ingestion,
                                           std::shared_ptr<TLStorage> storage,
                                           TLChannelUnitConfiguration configuration,
                                           std::shared_ptr<dispatch::Queue> logsDispatchQueue)
    : configuration_(std::move(configuration)),
      logsDispatchQueue_(std::move(logsDispatchQueue)),
      ingestion_(std::move(ingestion)),
      storage_(std::move(storage)) {}

std::shared_ptr<TLChannelUnitDefault> TLChannelUnitDefault::create(std::shared_ptr<TLIngestionProtocol> ingestion,
                                                                   std::shared_ptr<TLStorage> storage,
                                                                   TLChannelUnitConfiguration configuration,
                                                                   std::shared_ptr<dispatch::Queue> logsDispatchQueue) {
  std::shared_ptr<TLChannelUnitDefault> unit(new TLChannelUnitDefault(
      std::move(ingestion), std::move(storage), std::move(configuration), std::move(logsDispatchQueue)));
  if (unit->ingestion_) {
    unit->ingestion_->addDelegate(unit);
    if (unit->ingestion_->isPaused()) unit->pauseWithIdentifyingObject(unit->ingestion_);
  }
  return unit;
}

TLChannelUnitDefault::~TLChannelUnitDefault() { resetTimer(); }

// ---- Delegates ------------------------------------------------------------------------------------

// Synchronous, so that a log enqueued right after the call already reaches the new delegate.
void TLChannelUnitDefault::addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) { delegates_.add(delegate); }

void TLChannelUnitDefault::removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) {
  delegates_.remove(delegate);
}

void TLChannelUnitDefault::notifyFailureBeforeSendingForItem(const std::shared_ptr<TLLog>& item,
                                                             const foundation::Error& error) {
  delegates_.forEach([&](TLChannelDelegate& delegate) {
    delegate.channelWillSendLog(*this, item);
    delegate.channelDidFailSendingLog(*this, item, error);
  });
}

// ---- Enqueue --------------------------------------------------------------------------------------

void TLChannelUnitDefault::enqueueItem(const std::shared_ptr<TLLog>& item, TLFlags flags) {
  if (!item) {
    TLLogWarning(kTLLogTag, "Log is not valid.");
    return;
  }
  if (!item->timestamp()) item->setTimestamp(foundation::Date::now());
  if (!item->device()) item->setDevice(TLDeviceTracker::sharedInstance()->device());
  if (!item->isValid()) {
    TLLogWarning(kTLLogTag, "Log is not valid.");
    return;
  }
  delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelPrepareLog(*this, item); });
  const std::string internalId = foundation::UUID().UUIDString();
  delegates_.forEach(
      [&](TLChannelDelegate& delegate) { delegate.channelDidPrepareLog(*this, item, internalId, flags); });
  // The store may hold this log's save back for the ones announced behind it.
  if (storage_) storage_->announceSave();
  logsDispatchQueue_->async([self = shared_from_this(), item, internalId, flags] {
    self->enqueueOnQueue(item, internalId, flags);
  });
}

bool TLChannelUnitDefault::shouldFilterLog(const std::shared_ptr<TLLog>& item) {
  for (const auto& delegate : delegates_.allObjects()) {
    if (delegate->channelUnitShouldFilterLog(*this, item)) return true;
  }
  return false;
}

void TLChannelUnitDefault::enqueueOnQueue(const std::shared_ptr<TLLog>& item, const std::string& internalId,
                                          TLFlags flags) {
  const auto complete = [&] {
    // A log that is not saved may end the wait of logs held for saving together before it: they
    // are committed, and reported, first.
    if (storage_) storage_->withdrawSave();
    delegates_.forEach(
        [&](TLChannelDelegate& delegate) { delegate.channelDidCompleteEnqueueingLog(*this, item, internalId); });
  };
  if (shouldFilterLog(item)) {
    TLLogDebug(kTLLogTag, "Log of type '%@' was filtered out by delegate(s)", item->type());
    return complete();
  }
  if (!ingestion_ || !ingestion_->isReadyToSend()) {
    TLLogDebug(kTLLogTag, "Log of type '%@' was not filtered out by delegate(s) but ingestion is not ready to send it.",
               item->type());
    return complete();
  }
  if (discardLogs_) {
    TLLogWarning(kTLLogTag, "Channel %@ disabled in log discarding mode, discard this log.", configuration_.groupId());
    if (storage_) storage_->withdrawSave();
    notifyFailureBeforeSendingForItem(item, connectionPausedError());
    delegates_.forEach(
        [&](TLChannelDelegate& delegate) { delegate.channelDidCompleteEnqueueingLog(*this, item, internalId); });
    return;
  }
  if (!storage_) {
    didSaveLog(item, internalId, false);
    return;
  }
  TLLogDebug(kTLLogTag, "Saving log, type: %@, flags: %u.", item->type(), flags);
  // The outcome comes once the log's transaction is committed, with the logs saved together with it.
  const bool held = storage_->saveLogWhenReady(item, configuration_.groupId(), flags,
                                               [weak = weak_from_this(), item, internalId](bool stored) {
                                                 if (const auto self = weak.lock()) self->didSaveLog(item, internalId, stored);
                                               });
  // Whatever becomes of the logs announced behind it, the held log is committed once the blocks
  // on the queue now have run.
  if (held) logsDispatchQueue_->async([storage = storage_] { storage->commitWaitingSaves(); });
}

void TLChannelUnitDefault::didSaveLog(const std::shared_ptr<TLLog>& item, const std::string& internalId, bool saved) {
  // A log the store refused will never be sent: its delegates hear so rather than waiting for it.
  if (!saved) {
    notifyFailureBeforeSendingForItem(
        item, foundation::Error::withDescription(kTLErrorDomain, TLLogNotStoredErrorCode, kTLLogNotStoredErrorDesc));
  }
  delegates_.forEach(
      [&](TLChannelDelegate& delegate) { delegate.channelDidCompleteEnqueueingLog(*this, item, internalId); });
  if (!saved) return;
  ++itemsCount_;
  checkPendingLogs();
}

// ---- Flushing -------------------------------------------------------------------------------------

void TLChannelUnitDefault::checkPendingLogs() {
  if (!paused_ && configuration_.flushInterval() == TLChannelUnitConfiguration::kDefaultFlushInterval &&
      itemsCount_ >= configuration_.batchSizeLimit()) {
    flushQueue();
    return;
  }
  if (itemsCount_ == 0) return;
  const std::uint64_t interval = resolveFlushInterval();
  if (paused_) return;
  if (interval > 0) {
    startTimer(interval);
  } else {
    flushQueue();
  }
}

std::string TLChannelUnitDefault::oldestPendingLogTimestampKey() const {
  return foundation::stringWithFormat("%@:%@", kTLStartTimestampPrefix, configuration_.groupId());
}

void TLChannelUnitDefault::removePersistedStartTime() {
  TLUserDefaults::shared().removeObjectForKey(oldestPendingLogTimestampKey());
}

std::uint64_t TLChannelUnitDefault::resolveFlushInterval() {
  const std::uint64_t interval = configuration_.flushInterval();
  if (interval < 4) return interval;
  const std::string key = oldestPendingLogTimestampKey();
  const foundation::Value stored = TLUserDefaults::shared().objectForKey(key);
  const foundation::Date now = foundation::Date::now();
  if (stored.isDate() && now >= stored.dateValue()) {
    const double elapsed = now.timeIntervalSince(stored.dateValue());
    if (elapsed > static_cast<double>(interval)) {
      TLUserDefaults::shared().removeObjectForKey(key);
      return 0;
    }
    return interval - static_cast<std::uint64_t>(elapsed);
  }
  TLUserDefaults::shared().setObject(now, key);
  return interval;
}

void TLChannelUnitDefault::startTimer(std::uint64_t seconds) {
  if (!enabled_) return;
  resetTimer();
  timerSource_ = dispatch::TimerSource::create(logsDispatchQueue_);
  timerSource_->setEventHandler([weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self) return;
    if (self->itemsCount_ > 0) self->flushQueue();
    self->resetTimer();
    self->removePersistedStartTime();
  });
  timerSource_->setTimer(dispatch::seconds(static_cast<double>(seconds)), dispatch::seconds(1), dispatch::seconds(1));
  timerSource_->resume();
}

void TLChannelUnitDefault::resetTimer() {
  if (timerSource_) timerSource_->cancel();
}

void TLChannelUnitDefault::flushQueue() {
  if (!ingestion_ || !storage_ || !enabled_ || !ingestion_->isReadyToSend()) return;
  resetTimer();
  if (!paused_ && !pendingBatchQueueFull_) {
    itemsCount_ = 0;
    flushQueueForTokenArray(TLAuthTokenContext::sharedInstance()->authTokenValidityArray(), 0);
  } else if (itemsCount_ >= configuration_.batchSizeLimit()) {
    // The logs stay stored; the next free slot or flush takes them.
    availableBatchFromStorage_ = true;
    itemsCount_ = 0;
  }
}

void TLChannelUnitDefault::flushQueueForTokenArray(const std::vector<TLAuthTokenValidityInfo>& tokens,
                                                   std::size_t index) {
  if (index >= tokens.size()) return;
  const TLAuthTokenValidityInfo& period = tokens[index];
  std::optional<std::vector<std::string>> excludedTargetKeys;
  if (!pausedTargetKeys_.empty()) excludedTargetKeys.emplace(pausedTargetKeys_.begin(), pausedTargetKeys_.end());
  bool loadedAny = false;
  const bool more = storage_->loadLogsWithGroupId(
      configuration_.groupId(), configuration_.batchSizeLimit(), excludedTargetKeys, period.startTime(),
      period.endTime(), [&](const std::vector<std::shared_ptr<TLLog>>& logs, const std::optional<std::string>& batchId) {
        TLAuthTokenContext::sharedInstance()->checkIfTokenNeedsToBeRefreshed(period);
        if (!logs.empty() && batchId) {
          loadedAny = true;
          sendLogContainer(std::make_shared<TLLogContainer>(batchId, logs), tokens, index);
        } else if (index == 0 && period.endTime() && storage_->countLogsBeforeDate(*period.endTime()) == 0) {
          // Every log of the oldest token has gone out: the token is no longer needed.
          TLAuthTokenContext::sharedInstance()->removeAuthToken(period.authToken());
        }
      });
  // A load that answers "more" without handing out a log (a batch size of 0) would loop forever.
  availableBatchFromStorage_ = more && loadedAny;
  flushNextBatchFromQueueForTokenArray(tokens, index);
}

void TLChannelUnitDefault::flushNextBatchFromQueueForTokenArray(const std::vector<TLAuthTokenValidityInfo>& tokens,
                                                                std::size_t index) {
  if (pendingBatchQueueFull_) return;
  if (!availableBatchFromStorage_) {
    ++index;
    if (index >= tokens.size()) return;
  }
  flushQueueForTokenArray(tokens, index);
}

void TLChannelUnitDefault::sendLogContainer(const std::shared_ptr<TLLogContainer>& container,
                                            const std::vector<TLAuthTokenValidityInfo>& tokens, std::size_t index) {
  const std::string batchId = container->batchId().value_or("");
  pendingBatchIds_.push_back(batchId);
  if (pendingBatchIds_.size() >= configuration_.pendingBatchesLimit()) {
    pendingBatchQueueFull_ = true;
  }
  const auto& logs = container->logs();
  if (TLLogger::currentLogLevel() <= TLLogLevelDebug) {
    for (std::size_t k = 0; k < logs.size(); ++k) {
      const auto dictionary = logs[k]->serializeToDictionary();
      const auto payload = dictionary ? TLUtility::jsonStringFromObject(*dictionary, true) : std::nullopt;
      TLLogDebug(kTLLogTag, "Sending %tu/%tu log, group Id: %@, batch Id: %@, session Id: %@, payload:\n%@", k + 1,
                 logs.size(), configuration_.groupId(), batchId, logs[k]->sid(), payload);
    }
  }
  for (const auto& log : logs) {
    delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelWillSendLog(*this, log); });
  }
  ingestion_->sendAsync(
      container, tokens[index].authToken(),
      [weak = weak_from_this(), queue = logsDispatchQueue_, container, tokens, index](
          const std::string& callId, std::shared_ptr<const net::HTTPURLResponse> response,
          std::optional<foundation::Data>, std::optional<foundation::Error> error) {
        const int statusCode = response ? static_cast<int>(response->statusCode()) : 0;
        queue->async([weak, callId, statusCode, error = std::move(error), container, tokens, index] {
          if (const auto self = weak.lock()) self->handleAnswer(callId, statusCode, error, container, tokens, index);
        });
      });
}

void TLChannelUnitDefault::handleAnswer(const std::string& batchId, int statusCode,
                                        const std::optional<foundation::Error>& error,
                                        const std::shared_ptr<TLLogContainer>& container,
                                        const std::vector<TLAuthTokenValidityInfo>& tokens, std::size_t index) {
  if (std::find(pendingBatchIds_.begin(), pendingBatchIds_.end(), batchId) == pendingBatchIds_.end()) {
    TLLogWarning(kTLLogTag, "Batch Id %@ not expected, ignore.", batchId);
    return;
  }
  const bool succeeded = statusCode == 200;
  if (succeeded) {
    TLLogDebug(kTLLogTag, "Log(s) sent with success, batch Id:%@.", batchId);
    for (const auto& log : container->logs()) {
      delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelDidSucceedSendingLog(*this, log); });
    }
    storage_->deleteLogsWithBatchId(batchId, configuration_.groupId());
  } else {
    // The logs stay in the store, pending under this batch until the next launch sends them again.
    TLLogError(kTLLogTag, "Log(s) sent with failure, batch Id:%@, status code:%tu", batchId, statusCode);
    for (const auto& log : container->logs()) {
      delegates_.forEach([&](TLChannelDelegate& delegate) { delegate.channelDidFailSendingLog(*this, log, error); });
    }
  }
  std::erase(pendingBatchIds_, batchId);
  if (pendingBatchQueueFull_ && pendingBatchIds_.size() < configuration_.pendingBatchesLimit()) {
    pendingBatchQueueFull_ = false;
    // A unit paused (or disabled) meanwhile sends nothing more until it resumes.
    if (succeeded && !paused_) flushNextBatchFromQueueForTokenArray(tokens, index);
  }
}

// ---- Pausing --------------------------------------------------------------------------------------

std::size_t TLChannelUnitDefault::pausedIdentifyingObjectsCount() const {
  return static_cast<std::size_t>(std::count_if(pausedIdentifyingObjects_.begin(), pausedIdentifyingObjects_.end(),
                                                [](const auto& weak) { return !weak.expired(); }));
}

void TLChannelUnitDefault::pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) {
  logsDispatchQueue_->async(
      [self = shared_from_this(), identifyingObject] { self->pauseWithIdentifyingObjectSync(identifyingObject); });
}

void TLChannelUnitDefault::resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) {
  logsDispatchQueue_->async(
      [self = shared_from_this(), identifyingObject] { self->resumeWithIdentifyingObjectSync(identifyingObject); });
}

void TLChannelUnitDefault::pauseWithIdentifyingObjectSync(const TLIdentifyingObject& identifyingObject) {
  std::erase_if(pausedIdentifyingObjects_, [](const auto& weak) { return weak.expired(); });
  const std::weak_ptr<const void> holder = identifyingObject;
  const bool held = std::any_of(pausedIdentifyingObjects_.begin(), pausedIdentifyingObjects_.end(),
                                [&](const auto& weak) { return sameOwner(weak, holder); });
  if (identifyingObject && !held) pausedIdentifyingObjects_.push_back(holder);
  TLLogVerbose(kTLLogTag, "Identifying object %@ added to pause lane for channel %@.", identifyingObject.get(),
               configuration_.groupId());
  if (!paused_) {
    TLLogDebug(kTLLogTag, "Pause channel %@.", configuration_.groupId());
    paused_ = true;
    resetTimer();
  }
  delegates_.forEach(
      [&](TLChannelDelegate& delegate) { delegate.channelDidPauseWithIdentifyingObject(*this, identifyingObject); });
}

void TLChannelUnitDefault::resumeWithIdentifyingObjectSync(const TLIdentifyingObject& identifyingObject) {
  const std::weak_ptr<const void> holder = identifyingObject;
  if (identifyingObject) {
    std::erase_if(pausedIdentifyingObjects_, [&](const auto& weak) { return sameOwner(weak, holder); });
  }
  TLLogVerbose(kTLLogTag, "Identifying object %@ removed from pause lane for channel %@.", identifyingObject.get(),
               configuration_.groupId());
  if (pausedIdentifyingObjectsCount() == 0) {
    TLLogDebug(kTLLogTag, "Resume channel %@.", configuration_.groupId());
    paused_ = false;
    checkPendingLogs();
  }
  delegates_.forEach(
      [&](TLChannelDelegate& delegate) { delegate.channelDidResumeWithIdentifyingObject(*this, identifyingObject); });
}

void TLChannelUnitDefault::pauseSendingLogsWithToken(const std::string& token) {
  logsDispatchQueue_->async([self = shared_from_this(), key = TLUtility::targetKeyFromTargetToken(token)] {
    TLLogDebug(kTLLogTag, "Pause channel for target key %@.", key);
    // A token without a target key names no stored log, so there is nothing to hold back.
    if (key) self->pausedTargetKeys_.insert(*key);
  });
}

void TLChannelUnitDefault::resumeSendingLogsWithToken(const std::string& token) {
  logsDispatchQueue_->async([self = shared_from_this(), key = TLUtility::targetKeyFromTargetToken(token)] {
    TLLogDebug(kTLLogTag, "Resume channel for target key %@.", key);
    if (key) self->pausedTargetKeys_.erase(*key);
    // The held-back logs count toward the next flush.
    self->itemsCount_ = self->storage_ ? self->storage_->countLogs() : 0;
    self->checkPendingLogs();
  });
}

TLIdentifyingObject TLChannelUnitDefault::identifyingObjectFor(TLIngestionProtocol& ingestion) const {
  if (&ingestion == ingestion_.get()) return ingestion_;
  if (auto* http = dynamic_cast<TLHttpIngestion*>(&ingestion)) return http->shared_from_this();
  return nullptr;
}

void TLChannelUnitDefault::ingestionDidPause(TLIngestionProtocol& ingestion) {
  pauseWithIdentifyingObject(identifyingObjectFor(ingestion));
}

void TLChannelUnitDefault::ingestionDidResume(TLIngestionProtocol& ingestion) {
  resumeWithIdentifyingObject(identifyingObjectFor(ingestion));
}

void TLChannelUnitDefault::ingestionDidReceiveFatalError(TLIngestionProtocol&) { setEnabled(false, true); }

void TLChannelUnitDefault::authTokenContextDidUpdateAuthToken(TLAuthTokenContext&, const std::optional<std::string>&) {
  logsDispatchQueue_->async([self = shared_from_this()] {
    TLLogInfo(kTLLogTag, "New auth token received, flushing queue.");
    self->checkPendingLogs();
  });
}

// ---- Enabled state --------------------------------------------------------------------------------

void TLChannelUnitDefault::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  logsDispatchQueue_->async([self = shared_from_this(), isEnabled, deleteDataOnDisabled] {
    if (self->enabled_ != isEnabled) {
      self->enabled_ = isEnabled;
      if (isEnabled) {
        self->resumeWithIdentifyingObjectSync(self);
      } else {
        self->pauseWithIdentifyingObjectSync(self);
      }
    }
    if (!isEnabled && deleteDataOnDisabled) {
      TLLogDebug(kTLLogTag, "Delete all logs for group Id %@", self->configuration_.groupId());
      self->deleteAllLogsWithErrorSync(connectionPausedError());
      self->itemsCount_ = 0;
      self->availableBatchFromStorage_ = false;
      self->pendingBatchQueueFull_ = false;
      self->removePersistedStartTime();
      self->discardLogs_ = true;
    } else {
      self->discardLogs_ = false;
    }
    self->delegates_.forEach([&](TLChannelDelegate& delegate) {
      delegate.channelDidSetEnabled(*self, isEnabled, deleteDataOnDisabled);
    });
  });
}

void TLChannelUnitDefault::deleteAllLogsWithErrorSync(const foundation::Error& error) {
  if (!storage_) return;
  // The logs in flight leave the store now; their answers still reach the delegates.
  for (const std::string& batchId : pendingBatchIds_) storage_->deleteLogsWithBatchId(batchId, configuration_.groupId());
  for (const auto& log : storage_->deleteLogsWithGroupId(configuration_.groupId())) {
    notifyFailureBeforeSendingForItem(log, error);
  }
}
