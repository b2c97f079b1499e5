#pragma once
// TLSessionContext knows the current telemetry session id and which one was current at any
// earlier time, so that a crash read at the next launch joins the session it happened in.
//
// The history is kept in the settings under "SessionIdHistory", oldest first; each launch adds
// at most one entry, holding the last session id set in it and when it was set. The current id
// itself is not persisted: every process starts without one.
//
// Every operation is thread-safe (the context's own re-entrant lock).
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Monitor.h"
#include "telemetry/core/Internals/Context/Session/TLSessionHistoryInfo.h"

class TLSessionContext {
 public:
  // The settings key of the persisted history.
  static constexpr const char* kSessionIdHistoryKey = "SessionIdHistory";

  // The shared context, made on first call. Never null; thread-safe.
  static std::shared_ptr<TLSessionContext> sharedInstance();
  // Drops the shared context; the next sharedInstance makes a new one. Thread-safe.
  static void resetSharedInstance();

  // Loads the history from `settings` (an unreadable one is dropped with an ERROR line) and
  // appends this launch's entry, without a session id and stamped now; stores nothing yet.
  // `settings` must outlive the context.
  explicit TLSessionContext(TLUserDefaults& settings = TLUserDefaults::shared(),
                            TLHistoryInfo::Clock clock = &foundation::Date::now);
  TLSessionContext(const TLSessionContext&) = delete;
  TLSessionContext& operator=(const TLSessionContext&) = delete;

  // The current session id, or nothing.
  std::optional<std::string> sessionId();
  // Makes `sessionId` (absent allowed) current from now on, rewriting this launch's entry, and
  // stores the history.
  void setSessionId(std::optional<std::string> sessionId);
  // The session id that was current at `date`: that of the newest entry stamped strictly before
  // it; nothing when there is none (or that entry has no id).
  std::optional<std::string> sessionIdAt(foundation::Date date);
  // Empties the history, keeping this launch's entry when asked, and stores it (an empty list is
  // stored, not removed).
  void clearSessionHistoryAndKeepCurrentSession(bool keepCurrentSession);

 private:
  void storeHistory();

  foundation::Monitor monitor_;
  TLUserDefaults& settings_;
  TLHistoryInfo::Clock clock_;
  std::shared_ptr<TLSessionHistoryInfo> currentSessionInfo_;
  std::vector<std::shared_ptr<TLSessionHistoryInfo>> sessionHistory_;
};
