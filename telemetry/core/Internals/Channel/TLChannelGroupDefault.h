#pragma once
// TLChannelGroupDefault owns the telemetry pipeline of the process: one serial queue on which all
// channel work runs, one log store, the default ingestion, and the channel units, one per log
// group, kept for the group's lifetime. It is the delegate of each of its units and passes every
// unit callback on to its own delegates, so a service that registers once hears about all units.
//
// The store unarchives a unit's stored logs when the unit first flushes, and deletes any whose
// class is unknown then: a service registers its archivable log classes before it adds its unit.
//
// Every public operation is thread-safe. Callbacks forwarded from the units run on the thread the
// unit raised them on (see TLChannelDelegate); the group's lock guards its delegate table and its
// list of units only, and no callback runs under it.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/WeakHashTable.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitProtocol.h"
#include "telemetry/core/Internals/Ingestion/TLTelemetryIngestion.h"
#include "telemetry/core/Internals/Storage/TLStorage.h"

// The label of the group's serial queue.
inline constexpr const char* kTLChannelGroupQueueLabel = "com.telemetry.sdk.ChannelGroupQueue";

class TLChannelGroupDefault : public TLChannelGroupProtocol,
                              public TLChannelDelegate,
                              public std::enable_shared_from_this<TLChannelGroupDefault> {
 public:
  // A group whose ingestion sends to `logUrl` with `installId` (initWithInstallId:logUrl:).
  static std::shared_ptr<TLChannelGroupDefault> create(const foundation::UUID& installId,
                                                       const std::optional<std::string>& logUrl);
  // A group sending through `ingestion` (may be null: its units then take no logs), storing in
  // `storage` (null: a new "Logs.sqlite" store) and working on `logsDispatchQueue` (null: a new
  // serial queue labelled kTLChannelGroupQueueLabel). Tests hand in their own queue to wait on.
  static std::shared_ptr<TLChannelGroupDefault> create(std::shared_ptr<TLTelemetryIngestion> ingestion,
                                                       std::shared_ptr<TLStorage> storage = nullptr,
                                                       std::shared_ptr<dispatch::Queue> logsDispatchQueue = nullptr);
  TLChannelGroupDefault(const TLChannelGroupDefault&) = delete;
  TLChannelGroupDefault& operator=(const TLChannelGroupDefault&) = delete;

  // ---- TLChannelGroupProtocol --------------------------------------------------------------------

  // Makes the unit, becomes its delegate, has it check its pending logs on the queue, keeps it,
  // tells the delegates (a unit they add from that callback is kept before it returns) and
  // registers the unit with the shared auth token context.
  std::shared_ptr<TLChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::optional<TLChannelUnitConfiguration>& configuration) override;
  std::shared_ptr<TLChannelUnitProtocol> addChannelUnitWithConfiguration(
      const std::optional<TLChannelUnitConfiguration>& configuration,
      const std::shared_ptr<TLIngestionProtocol>& ingestion) override;
  std::shared_ptr<TLChannelUnitProtocol> channelUnitForGroupId(const std::string& groupId) const override;
  void setLogUrl(const std::string& logUrl) override;
  void setAppSecret(const std::optional<std::string>& appSecret) override;
  void setMaxStorageSize(std::int64_t sizeInBytes, std::function<void(bool)> completionHandler) override;

  // ---- TLChannelProtocol -------------------------------------------------------------------------

  void addDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<TLChannelDelegate>& delegate) override;
  // The ingestion first, then every unit in order (their part runs later, on the queue), then the
  // delegates hear it with the group as the channel.
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
  // Switches the group's ingestion off (or on) without deletion, then pauses (or resumes) every
  // unit with `identifyingObject`.
  void pauseWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) override;
  void resumeWithIdentifyingObject(const TLIdentifyingObject& identifyingObject) override;

  // ---- TLChannelDelegate: the units' callbacks, passed on to the group's delegates ----------------

  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                            const std::string& internalId, TLFlags flags) override;
  void channelDidCompleteEnqueueingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                       const std::string& internalId) override;
  void channelWillSendLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                const std::optional<foundation::Error>& error) override;
  void channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled, bool deleteDataOnDisabled) override;
  void channelDidPauseWithIdentifyingObject(TLChannelProtocol& channel,
                                            const TLIdentifyingObject& identifyingObject) override;
  void channelDidResumeWithIdentifyingObject(TLChannelProtocol& channel,
                                             const TLIdentifyingObject& identifyingObject) override;
  // True once one of the group's delegates says so (the later ones are not asked); false with none.
  bool channelUnitShouldFilterLog(TLChannelUnitProtocol& channelUnit, const std::shared_ptr<TLLog>& log) override;

  // ---- State -------------------------------------------------------------------------------------

  const std::shared_ptr<TLTelemetryIngestion>& ingestion() const { return ingestion_; }
  const std::shared_ptr<TLStorage>& storage() const { return storage_; }
  const std::shared_ptr<dispatch::Queue>& logsDispatchQueue() const { return logsDispatchQueue_; }
  // The units in order of creation.
  std::vector<std::shared_ptr<TLChannelUnitProtocol>> channels() const;

 private:
  TLChannelGroupDefault(std::shared_ptr<TLTelemetryIngestion> ingestion, std::shared_ptr<TLStorage> storage,
                        std::shared_ptr<dispatch::Queue> logsDispatchQueue);

  const std::shared_ptr<TLTelemetryIngestion> ingestion_;
  const std::shared_ptr<TLStorage> storage_;
  const std::shared_ptr<dispatch::Queue> logsDispatchQueue_;
  foundation::WeakHashTable<TLChannelDelegate> delegates_;
  mutable std::mutex channelsMutex_;
  std::vector<std::shared_ptr<TLChannelUnitProtocol>> channels_;
};
