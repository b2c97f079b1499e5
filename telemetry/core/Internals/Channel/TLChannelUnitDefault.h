#pragma once
// TLChannelUnitDefault is the pipe of one log group: it completes each log handed to it, lets the
// channel delegates prepare, filter and follow it, keeps it in the shared log store, and sends the
// stored logs in batches through its ingestion, at once when a full batch waits at the default
// interval, else when its flush timer fires. Each batch goes out with the auth token of the time
// its logs were made. The store keeps a log until its batch is accepted, so nothing is lost when
// the process ends during a send: the log goes out again at the next start.
//
// Sending stops while any identifying object holds a pause (the ingestion when the network is
// gone, a service on request, the unit itself while disabled), and per transmission target for the
// target keys paused by token. Disabled with data deletion, the unit drops its stored logs and
// refuses new ones, failing each with error code 100.
//
// Threads: enqueueItem runs the prepare callbacks on the caller's thread and hands the rest to the
// logs queue (the channel group's serial queue), where all state changes, timers, store access and
// the other callbacks happen. The public operations may be called from any thread; the state
// accessors below read on the logs queue only.
//
// Each enqueued log is announced to the store before it is put on the queue, so that the store
// can commit the logs of a burst together; a log's completion (and its failure, when the store
// refused it) is reported once its transaction has committed, so a log reported stored is on disk.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/TimerSource.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/WeakHashTable.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitProtocol.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenContextDelegate.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenValidityInfo.h"
#include "telemetry/core/Internals/Ingestion/TLIngestionProtocol.h"
#include "telemetry/core/Internals/Model/TLLogContainer.h"
#include "telemetry/core/Internals/Storage/TLStorage.h"

// The settings key that keeps, per group, when the oldest unsent log began waiting.
inline constexpr const char* kTLStartTimestampPrefix = "TLChannelStartTimer";

class TLChannelUnitDefault : public TLChannelUnitProtocol,
                             public TLIngestionDelegate,
                             public TLAuthTokenContextDelegate,
                             public std::enable_shared_from_this<TLChannelUnitDefault> {
 public:
  // A unit of `configuration` that stores in `storage` and sends through `ingestion`, working on
  // `logsDispatchQueue` (a serial queue, not null); without an ingestion or a store it takes no
  // logs. It becomes a delegate of the ingestion, and starts paused by the ingestion when that is
  // paused. Thread-safe.
  static std::shared_ptr<TLChannelUnitDefault> create(std::shared_ptr<TLIngestionProtocol> ingestion,
                                                      std::shared_ptr<TLStorage> storage,
                                                      TLChannelUnitConfiguration configuration,
                                                      std::shared_ptr<dispatch::Queue> logsDispatchQueue);
  ~TLChannelUnitDefault() override;
  TLChannelUnitDefault(const TLChannelUnitDefault&) = delete;
  TLChannelUnitDefault& operator=(const TLChannelUnitDefault&) = delete;

  // ---- TLChannelProtocol and TLChannelUnitProtocol ------------------------------------------------

  void addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) override;
  void enqueueItem(const std::shared_ptr<TLLog>& item, TLFlags flags) override;
  // On the logs queue: the object holds a pause (twice holds one); the first holder stops the
  // flush timer. The delegates hear of every call.
  void pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) override;
  // On the logs queue: the object stops holding a pause; once no holder is left the unit resumes
  // and checks its pending logs. The delegates hear of every call.
  void resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) override;
  // The token's target key is computed at once, the pause changed later on the logs queue;
  // resuming recounts the stored logs and checks them.
  void pauseSendingLogsWithToken(const std::string& token) override;
  void resumeSendingLogsWithToken(const std::string& token) override;
  // On the logs queue. Disabling pauses the unit (with itself as the holder); with deletion it
  // also deletes the group's stored logs, failing each with error 100, and refuses new logs until
  // it is enabled, or disabled again without deletion. Enabling releases the unit's own pause.
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
  void checkPendingLogs() override;
  const TLChannelUnitConfiguration& configuration() const override { return configuration_; }
  const std::shared_ptr<dispatch::Queue>& logsDispatchQueue() const override { return logsDispatchQueue_; }

  // ---- TLIngestionDelegate and TLAuthTokenContextDelegate -----------------------------------------

  // The ingestion holds (or releases) a pause; a fatal answer disables the unit with deletion.
  void ingestionDidPause(TLIngestionProtocol& ingestion) override;
  void ingestionDidResume(TLIngestionProtocol& ingestion) override;
  void ingestionDidReceiveFatalError(TLIngestionProtocol& ingestion) override;
  // A new token: logs waiting for one are checked, later on the logs queue.
  void authTokenContextDidUpdateAuthToken(TLAuthTokenContext& context,
                                          const std::optional<std::string>& authToken) override;

  // ---- Sending, on the logs queue ------------------------------------------------------------------

  // Sends what is stored, unless the unit has no ingestion, is disabled, or the ingestion is not
  // ready; while paused or saturated it only notes that a full batch waits.
  void flushQueue();
  // Arms the flush timer `seconds` from now (not while disabled), replacing the armed one.
  void startTimer(std::uint64_t seconds);
  // Cancels the armed flush timer, if any.
  void resetTimer();
  // How long to wait before the next flush: the configured interval up to 3 seconds; for longer
  // ones what is left of it since the persisted start time (stored now when there is none, or
  // one in the future), 0 once it has passed (the start time is then removed).
  std::uint64_t resolveFlushInterval();
  // "TLChannelStartTimer:<group id>".
  std::string oldestPendingLogTimestampKey() const;
  // Loads one batch of the period `tokens[index]` and sends it, then goes on.
  void flushQueueForTokenArray(const std::vector<TLAuthTokenValidityInfo>& tokens, std::size_t index);
  // Loads the next batch unless the pending queue is full, moving to the next period once this
  // one is drained.
  void flushNextBatchFromQueueForTokenArray(const std::vector<TLAuthTokenValidityInfo>& tokens, std::size_t index);
  // Hands one batch to the ingestion with the token of `tokens[index]`.
  void sendLogContainer(const std::shared_ptr<TLLogContainer>& container,
                        const std::vector<TLAuthTokenValidityInfo>& tokens, std::size_t index);

  // ---- State, read on the logs queue ---------------------------------------------------------------

  // Logs stored since the last flush began.
  std::uint64_t itemsCount() const { return itemsCount_; }
  // Batches handed to the ingestion and not yet answered, oldest first.
  const std::vector<std::string>& pendingBatchIds() const { return pendingBatchIds_; }
  bool availableBatchFromStorage() const { return availableBatchFromStorage_; }
  bool pendingBatchQueueFull() const { return pendingBatchQueueFull_; }
  bool isEnabled() const { return enabled_; }
  bool isPaused() const { return paused_; }
  bool discardLogs() const { return discardLogs_; }
  const std::set<std::string>& pausedTargetKeys() const { return pausedTargetKeys_; }
  // The pause holders still alive.
  std::size_t pausedIdentifyingObjectsCount() const;
  const std::shared_ptr<TLIngestionProtocol>& ingestion() const { return ingestion_; }
  const std::shared_ptr<TLStorage>& storage() const { return storage_; }

 private:
  TLChannelUnitDefault(std::shared_ptr<TLIngestionProtocol> ingestion, std::shared_ptr<TLStorage> storage,
                       TLChannelUnitConfiguration configuration, std::shared_ptr<dispatch::Queue> logsDispatchQueue);

  // The steps of the enqueue that run on the logs queue.
  void enqueueOnQueue(const std::shared_ptr<TLLog>& item, const std::string& internalId, TLFlags flags);
  // The store's outcome for a log handed to it, once it holds for good.
  void didSaveLog(const std::shared_ptr<TLLog>& item, const std::string& internalId, bool saved);
  bool shouldFilterLog(const std::shared_ptr<TLLog>& item);
  void pauseWithIdentifyingObjectSync(const TLIdentifyingObject& identifyingObject);
  void resumeWithIdentifyingObjectSync(const TLIdentifyingObject& identifyingObject);
  void deleteAllLogsWithErrorSync(const foundation::Error& error);
  // The ingestion's answer for `batchId`, back on the logs queue.
  void handleAnswer(const std::string& batchId, int statusCode, const std::optional<foundation::Error>& error,
                    const std::shared_ptr<TLLogContainer>& container,
                    const std::vector<TLAuthTokenValidityInfo>& tokens, std::size_t index);
  // Tells each delegate channelWillSendLog and then channelDidFailSendingLog.
  void notifyFailureBeforeSendingForItem(const std::shared_ptr<TLLog>& item, const foundation::Error& error);
  // The ingestion as a pause holder: the unit's own reference when it is the unit's ingestion.
  TLIdentifyingObject identifyingObjectFor(TLIngestionProtocol& ingestion) const;
  void removePersistedStartTime();

  const TLChannelUnitConfiguration configuration_;
  const std::shared_ptr<dispatch::Queue> logsDispatchQueue_;
  const std::shared_ptr<TLIngestionProtocol> ingestion_;
  const std::shared_ptr<TLStorage> storage_;
  foundation::WeakHashTable<TLChannelDelegate> delegates_;

  // Changed on the logs queue only.
  std::shared_ptr<dispatch::TimerSource> timerSource_;
  std::uint64_t itemsCount_ = 0;
  std::vector<std::string> pendingBatchIds_;
  bool availableBatchFromStorage_ = false;
  bool pendingBatchQueueFull_ = false;
  bool enabled_ = true;
  bool paused_ = false;
  bool discardLogs_ = false;
  std::vector<std::weak_ptr<const void>> pausedIdentifyingObjects_;
  std::set<std::string> pausedTargetKeys_;
};
