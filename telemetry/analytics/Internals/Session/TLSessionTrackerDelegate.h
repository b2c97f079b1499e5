#pragma once
// TLSessionTrackerDelegate receives the start-session logs of a session tracker, to enqueue them.
#include <memory>

#include "telemetry/core/Internals/Model/TLLog.h"

class TLSessionTracker;

class TLSessionTrackerDelegate {
 public:
  virtual ~TLSessionTrackerDelegate() = default;
  // A new session began; `log` announces it and carries its id. Called under the tracker's lock,
  // on the thread that renewed the session.
  virtual void sessionTrackerProcessLog(TLSessionTracker& sessionTracker, const std::shared_ptr<TLLog>& log) = 0;
};
