#pragma once
// TLStorage is the persistent log queue as the channel group and its channel units see it: logs
// are saved per group, handed out in batches that stay pending until they are deleted, and
// deleted by batch or by group. Implementations are used from one serial queue and need no lock.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "telemetry/core/Internals/Model/TLLog.h"
#include "telemetry/core/TLConstants.h"

class TLStorage {
 public:
  // Receives the logs of one load (shared with the store's caller, owned by nobody else) and the
  // batch id under which they are pending; an empty list and no batch id when nothing matched.
  using LoadCompletion =
      std::function<void(const std::vector<std::shared_ptr<TLLog>>& logs, const std::optional<std::string>& batchId)>;

  virtual ~TLStorage() = default;

  // Stores `log` for `groupId` with the persistence priority in the low byte of `flags`. True when
  // it was stored; false for no log, a log too large for the size limit, a full store with nothing
  // of equal or lower priority left to evict, or a failure (all logged).
  virtual bool saveLog(const std::shared_ptr<TLLog>& log, const std::string& groupId, TLFlags flags) = 0;
  // Loads at most `limit` logs of `groupId` that are not pending, leaving out those whose target
  // key is in `excludedTargetKeys` and those outside [afterDate, beforeDate) (an absent bound is
  // open), highest priority first, then oldest. The loaded logs become pending under a new batch
  // id. Calls `completionHandler` (when given) before returning. Answers whether more matching
  // logs wait beyond the limit.
  virtual bool loadLogsWithGroupId(const std::string& groupId, std::uint64_t limit,
                                   const std::optional<std::vector<std::string>>& excludedTargetKeys,
                                   const std::optional<foundation::Date>& afterDate,
                                   const std::optional<foundation::Date>& beforeDate,
                                   const LoadCompletion& completionHandler) = 0;
  // Deletes the logs of a pending batch and forgets the batch; an unknown batch changes nothing.
  virtual void deleteLogsWithBatchId(const std::string& batchId, const std::string& groupId) = 0;
  // Deletes every log of `groupId` and forgets its pending batches and those of its companion
  // groups (ids that continue with "/"). Answers the logs it read before deleting them.
  virtual std::vector<std::shared_ptr<TLLog>> deleteLogsWithGroupId(const std::string& groupId) = 0;
  // The number of stored logs of every group; 0 when counting fails.
  virtual std::uint64_t countLogs() = 0;
  // The number of stored logs whose timestamp is at or before `date`; 0 when counting fails.
  virtual std::uint64_t countLogsBeforeDate(const foundation::Date& date) = 0;
  // Sets the size limit, rounded up to whole pages; calls `completionHandler` (when given) before
  // returning, with whether the limit changed.
  virtual void setMaxStorageSize(std::int64_t sizeInBytes, const std::function<void(bool)>& completionHandler) = 0;

  // ---- Saves committed together ------------------------------------------------------------------
  //
  // A channel unit announces each log it puts on the store's queue (announceSave, from any
  // thread); on the queue it then hands the log over (saveLogWhenReady) or withdraws the
  // announcement (withdrawSave). A store may hold the logs handed over while announced ones are
  // still waiting on the queue, and commit them in one transaction: at the latest once none is
  // waiting, when kMaximumWaitingSaves are held, kMaximumWaitMilliseconds after the first, before
  // any other operation of the store, and when commitWaitingSaves runs. These defaults save each
  // log at once.

  // Whether a log handed to saveLogWhenReady was stored, known once its transaction committed.
  using SaveCompletion = std::function<void(bool stored)>;
  static constexpr std::size_t kMaximumWaitingSaves = 500;
  static constexpr int kMaximumWaitMilliseconds = 50;

  // Thread-safe.
  virtual void announceSave() {}
  // On the store's queue: the announced log will not come. The logs held are committed and
  // reported now, so that outcomes reach the callers in the order the logs came.
  virtual void withdrawSave() {}
  // On the store's queue: saves `log` as saveLog does. `completion` runs on the queue, inside
  // this call or a later call of the store, with the outcome saveLog would answer, and only once
  // that outcome holds for good: a log reported stored is committed. Answers true when `log` is
  // the first of the logs now held: the caller then puts commitWaitingSaves on the queue, so that
  // nothing is held past the blocks waiting there now, whatever happens to the announced ones.
  virtual bool saveLogWhenReady(const std::shared_ptr<TLLog>& log, const std::string& groupId, TLFlags flags,
                                const SaveCompletion& completion) {
    const bool stored = saveLog(log, groupId, flags);
    if (completion) completion(stored);
    return false;
  }
  // On the store's queue: commits the logs held, then reports their outcomes in the order they
  // were handed over. Nothing to do when none is held.
  virtual void commitWaitingSaves() {}
};
