#include "net/callbacks/RLTaskResumeSuspendHook.h"

#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLSessionTask.h"

namespace {

using net::URLSessionTask;
using net::URLSessionTaskState;

void announce(const std::shared_ptr<URLSessionTask>& task, URLSessionTask::Transition transition,
              URLSessionTaskState stateBefore) {
  const bool resume = transition == URLSessionTask::Transition::Resume;
  if (resume && stateBefore == URLSessionTaskState::Running) return;
  if (!resume && stateBefore == URLSessionTaskState::Suspended) return;
  foundation::NotificationCenter::defaultCenter().post(
      resume ? RLNetworkingTaskResumeInternalNotification : RLNetworkingTaskSuspendInternalNotification,
      std::static_pointer_cast<foundation::Object>(task));
}

bool install() {
  static const bool ours = URLSessionTask::installResumeSuspendHook(announce);
  return ours;
}

// Installed before main whenever this file is part of the program, as the platform installs its
// exchange when the class loads; the session managers call install() too, which does nothing more.
const bool kInstalledAtStart = install();

}  // namespace

bool RLInstallTaskResumeSuspendHook() { return install(); }
