#pragma once
// TLUserIdContext holds the id of the user on whose behalf telemetry is sent, keeps a history of
// ids so that a crash read at the next launch gets the id current when it happened, tells its
// delegates when the id changes, and owns the rules an id must meet for each back end: at most
// 256 characters for the ingestion, the "c" prefix for the common-schema collector.
//
// The history is kept in the settings under "UserIdHistory", oldest first; each launch adds one
// entry (stored at once), rewritten by every change of the id in that launch.
//
// Every operation is thread-safe (the context's own re-entrant lock); delegates are called
// outside it.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Monitor.h"
#include "platform/foundation/WeakHashTable.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdHistoryInfo.h"

class TLUserIdContext;

// Hears of changes of the user id; held weakly.
class TLUserIdContextDelegate {
 public:
  virtual ~TLUserIdContextDelegate() = default;
  // Called on the changing thread, outside the context's lock, with the new id (nothing when it
  // was cleared). Does nothing unless overridden.
  virtual void userIdContextDidUpdateUserId(TLUserIdContext& context, const std::optional<std::string>& userId) {
    (void)context;
    (void)userId;
  }
};

class TLUserIdContext {
 public:
  // The settings key of the persisted history.
  static constexpr const char* kUserIdHistoryKey = "UserIdHistory";
  // The longest id the ingestion takes, in UTF-16 units.
  static constexpr std::size_t kMaxUserIdLength = 256;
  // The prefix of user ids in common-schema logs, and what separates it from the id.
  static constexpr const char* kUserIdPrefix = "c";
  static constexpr const char* kUserIdPrefixSeparator = ":";

  // The shared context, made on first call. Never null; thread-safe.
  static std::shared_ptr<TLUserIdContext> sharedInstance();
  // Drops the shared context; the next sharedInstance makes a new one. Thread-safe.
  static void resetSharedInstance();

  // Loads the history from `settings` (an unreadable one is dropped with an ERROR line), appends
  // this launch's entry, without an id and stamped now, and stores the history.
  // `settings` must outlive the context.
  explicit TLUserIdContext(TLUserDefaults& settings = TLUserDefaults::shared(),
                           TLHistoryInfo::Clock clock = &foundation::Date::now);
  TLUserIdContext(const TLUserIdContext&) = delete;
  TLUserIdContext& operator=(const TLUserIdContext&) = delete;

  // The current user id, or nothing.
  std::optional<std::string> userId();
  // Makes `userId` (absent allowed) current from now on, rewriting this launch's entry, stores
  // the history and then tells the delegates. Setting the id that is already current does
  // nothing at all.
  void setUserId(std::optional<std::string> userId);
  // The id that was current at `date`: that of the newest entry stamped strictly before it;
  // nothing when there is none (or that entry has no id).
  std::optional<std::string> userIdAt(foundation::Date date);
  // Cuts the history back to this launch's entry and stores it.
  void clearUserIdHistory();

  // Adds or removes a delegate; the context does not keep it alive.
  void addDelegate(const std::shared_ptr<TLUserIdContextDelegate>& delegate);
  void removeDelegate(const std::shared_ptr<TLUserIdContextDelegate>& delegate);

  // Whether the ingestion takes `userId`: absent ids pass; more than 256 characters fail with an
  // ERROR line. Stateless; thread-safe.
  static bool isUserIdValidForTelemetry(const std::optional<std::string>& userId);
  // Whether the collector takes `userId`: absent ids and ids without ":" pass; an empty id, or
  // "c:" alone, fails with "userId must not be empty."; a prefix (the text before the first ":")
  // other than "c" fails with an ERROR line naming it. Stateless; thread-safe.
  static bool isUserIdValidForCollector(const std::optional<std::string>& userId);
  // The id as common-schema logs carry it: "c:" before an id without ":", any other id (or
  // nothing) unchanged. Stateless; thread-safe.
  static std::optional<std::string> prefixedUserIdFromUserId(const std::optional<std::string>& userId);

 private:
  void storeHistory();

  foundation::Monitor monitor_;
  TLUserDefaults& settings_;
  TLHistoryInfo::Clock clock_;
  std::shared_ptr<TLUserIdHistoryInfo> currentUserIdInfo_;
  std::vector<std::shared_ptr<TLUserIdHistoryInfo>> userIdHistory_;
  foundation::WeakHashTable<TLUserIdContextDelegate> delegates_;
};
