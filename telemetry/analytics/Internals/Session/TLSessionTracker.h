#pragma once
// TLSessionTracker decides when a new analytics session begins, keeps the current session id in
// the session context, stamps it on every log the channels enqueue (except those that opt out),
// and hands its delegate a start-session log each time a session begins.
//
// A session times out once no log has been created for the session timeout (20 seconds) and the
// application has spent at least as long away from the active state; the next activation then
// begins a new session. Starting while the application is active begins one at once. Preparing a
// log never renews the session by itself.
//
// Threads: start, stop and the renewal may run on any thread and hold the tracker's re-entrant
// lock; the activation handlers run where the notifications are posted (the main thread) and take
// it too. channelPrepareLog runs on each enqueuing thread without that lock: it reads the session
// context (locked by itself) and writes the last log time, which is atomic.
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Monitor.h"
#include "platform/foundation/NotificationCenter.h"
#include "telemetry/analytics/Internals/Session/TLSessionTrackerDelegate.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"
#include "telemetry/core/TLConstants.h"

class TLSessionTracker : public TLChannelDelegate {
 public:
  // Answers "now".
  using Clock = std::function<foundation::Date()>;
  // Answers the application's state when the tracker starts.
  using ApplicationStateProvider = std::function<TLApplicationState()>;

  // The session timeout, in seconds.
  static constexpr double kTLSessionTimeOut = 20.0;
  // The settings entry of earlier SDK versions that the tracker removes when made.
  static constexpr const char* kTLPastSessionsKey = "pastSessionsKey";

  // A stopped tracker over the shared session context, the real clock and the application's
  // state, observing the default notification centre. Removes "pastSessionsKey" from the SDK's
  // settings.
  TLSessionTracker();
  // The same over `context`, `clock`, `applicationState` and `center` (which must outlive the
  // tracker). For tests.
  TLSessionTracker(std::shared_ptr<TLSessionContext> context, Clock clock, ApplicationStateProvider applicationState,
                   foundation::NotificationCenter& center);
  // Stops observing.
  ~TLSessionTracker() override;
  TLSessionTracker(const TLSessionTracker&) = delete;
  TLSessionTracker& operator=(const TLSessionTracker&) = delete;

  // When stopped: marks the tracker started, renews the session when the application is active
  // or inactive, and begins observing the activation notifications. Otherwise nothing.
  void start();
  // When started: stops observing, marks the tracker stopped and clears the context's session id.
  // Otherwise nothing.
  void stop();
  // While started, under the lock: when there is no session id or the session has timed out, a
  // new id becomes current (INFO line) and the delegate gets a start-session log carrying it.
  void renewSessionId();
  // Whether the current session has timed out (see the class comment). Under the lock.
  bool hasSessionTimedOut();

  // The handlers of the notifications "did resign active" and "will become active": the first
  // notes the time; the second notes it and renews the session.
  void applicationDidEnterBackground();
  void applicationWillEnterForeground();

  // Stamps the current session id on `log` and notes the time, unless `log` is a start-session
  // or start-service log; logs that opt out of session ids get only the time noted.
  void channelPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;

  // ---- State -----------------------------------------------------------------------------------

  bool isStarted();
  // Held weakly: the service that owns the tracker is its delegate.
  void setDelegate(std::weak_ptr<TLSessionTrackerDelegate> delegate);
  std::shared_ptr<TLSessionTrackerDelegate> delegate();
  double sessionTimeout();
  void setSessionTimeout(double seconds);
  std::optional<foundation::Date> lastCreatedLogTime() const;
  void setLastCreatedLogTime(std::optional<foundation::Date> time);
  std::optional<foundation::Date> lastEnteredForegroundTime();
  std::optional<foundation::Date> lastEnteredBackgroundTime();
  const std::shared_ptr<TLSessionContext>& context() const { return context_; }

 private:
  foundation::Monitor monitor_;
  const std::shared_ptr<TLSessionContext> context_;
  const Clock clock_;
  const ApplicationStateProvider applicationState_;
  foundation::NotificationCenter& center_;

  // Guarded by monitor_.
  bool started_ = false;
  std::weak_ptr<TLSessionTrackerDelegate> delegate_;
  double sessionTimeout_ = kTLSessionTimeOut;
  std::optional<foundation::Date> lastEnteredForegroundTime_;
  std::optional<foundation::Date> lastEnteredBackgroundTime_;
  std::vector<foundation::NotificationCenter::ObserverToken> observers_;

  // Written by every enqueuing thread; seconds since the reference date, NaN for none.
  std::atomic<double> lastCreatedLogTime_;
};
