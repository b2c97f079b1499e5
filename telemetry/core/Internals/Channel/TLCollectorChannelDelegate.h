#pragma once
// TLCollectorChannelDelegate routes the logs addressed to transmission targets to the
// common-schema collector. Registered on the channel group, it adds for every unit the group makes
// a companion unit whose group id is the unit's followed by "/one" and which sends through the one
// collector ingestion; it turns each targeted log into one common-schema log per target token and
// queues those in the companion, keeping the targeted log out of its own unit; it stamps every
// common-schema log with the epoch and sequence number of its instrumentation key and with the
// install id; it drops common-schema logs whose event name breaks the name rule; and it mirrors
// enable, disable, pause and resume of each unit onto its companion.
//
// Epochs and sequence numbers live in memory: each run starts a new epoch per instrumentation
// key, as does disabling the whole group with deletion.
//
// Thread-safe: one lock guards the companion and counter maps, and no unit is called under it.
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/UUID.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitProtocol.h"
#include "telemetry/core/Internals/Ingestion/TLCollectorIngestion.h"
#include "telemetry/core/Internals/Model/TLCSEpochAndSeq.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"

// The suffix of a companion unit's group id.
inline constexpr const char* kTLCollectorGroupIdSuffix = "/one";

class TLCollectorChannelDelegate : public TLChannelDelegate {
 public:
  // The collector's address when none is given: a build setting, empty unless configured.
  static std::string defaultBaseUrl();

  // A delegate stamping `installId`, whose ingestion sends to `baseUrl` (nothing: defaultBaseUrl).
  TLCollectorChannelDelegate(const foundation::UUID& installId, const std::optional<std::string>& baseUrl);
  TLCollectorChannelDelegate(const TLCollectorChannelDelegate&) = delete;
  TLCollectorChannelDelegate& operator=(const TLCollectorChannelDelegate&) = delete;

  // Points the collector ingestion, and so every companion, at `logUrl`; baseUrl() keeps its
  // first value.
  void setLogUrl(const std::string& logUrl);

  // ---- TLChannelDelegate -------------------------------------------------------------------------

  // Adds the companion of a unit whose group id is not a companion's itself.
  void channelGroupDidAddChannelUnit(TLChannelGroupProtocol& channelGroup,
                                     const std::shared_ptr<TLChannelUnitProtocol>& channelUnit) override;
  // Stamps a common-schema log with its key's epoch, next sequence number and the install id.
  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  // Queues a common-schema log of a regular unit, or the common-schema logs converted from a
  // targeted log, in the unit's companion with the same flags.
  void channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                            const std::string& internalId, TLFlags flags) override;
  // Keeps common-schema logs out of regular units, ill-named ones out of companions, and targeted
  // logs out of every unit.
  bool channelUnitShouldFilterLog(TLChannelUnitProtocol& channelUnit, const std::shared_ptr<TLLog>& log) override;
  // A unit's companion follows it; the group disabled with deletion starts new epochs.
  void channelDidSetEnabled(TLChannelProtocol& channel, bool isEnabled, bool deleteDataOnDisabled) override;
  void channelDidPauseWithIdentifyingObject(TLChannelProtocol& channel,
                                            const TLIdentifyingObject& identifyingObject) override;
  void channelDidResumeWithIdentifyingObject(TLChannelProtocol& channel,
                                             const TLIdentifyingObject& identifyingObject) override;

  // ---- Decisions ---------------------------------------------------------------------------------

  // Whether `groupId` ends with "/one".
  static bool isCollectorGroup(const std::string& groupId);
  // Whether `log` has a target token, converts itself, and is not a common-schema log already.
  static bool shouldSendLogToCollector(const TLLog& log);
  // Whether the log's name passes validateLogName.
  static bool validateLog(const TLCommonSchemaLog& log);
  // Whether `name` is 4 to 100 characters: an ASCII letter or digit, then letters, digits, "_"
  // and single dots that do not end the name. ERROR lines say why a name fails.
  static bool validateLogName(const std::optional<std::string>& name);

  // ---- State -------------------------------------------------------------------------------------

  const std::shared_ptr<TLCollectorIngestion>& collectorIngestion() const { return collectorIngestion_; }
  const std::string& baseUrl() const { return baseUrl_; }
  const foundation::UUID& installId() const { return installId_; }
  // The companion of the regular unit of `groupId`, or null.
  std::shared_ptr<TLChannelUnitProtocol> collectorChannelForGroupId(const std::string& groupId) const;
  // A copy of the counter of `iKey`, or nothing.
  std::optional<TLCSEpochAndSeq> epochAndSeqForIKey(const std::string& iKey) const;

 private:
  // The companion of the unit `channel` is, when it is a regular unit that has one.
  std::shared_ptr<TLChannelUnitProtocol> companionOf(TLChannelProtocol& channel) const;

  const foundation::UUID installId_;
  const std::string baseUrl_;
  const std::shared_ptr<TLCollectorIngestion> collectorIngestion_;
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<TLChannelUnitProtocol>> collectorChannels_;
  std::map<std::string, TLCSEpochAndSeq> epochsAndSeqsByIKey_;
};
