#pragma once
// Every URL session task of the process announces its own resume and suspend through two
// internal notifications, so that each session manager can re-post them, for the tasks it made,
// as its public resume and suspend notifications. The announcement comes from the one process-
// wide hook that platform/net offers around resume() and suspend() (URLSessionTask::
// installResumeSuspendHook): the platform's practice of exchanging the task classes' methods at
// run time has no equivalent here, and the hook gives the same reach.
//
// The hook posts synchronously on the thread that resumed or suspended the task, with the task
// as object and no user info: the resume notification when the task was not running before the
// call, the suspend notification when it was not suspended before it.

inline constexpr const char* RLNetworkingTaskResumeInternalNotification = "com.relay.networking.nsurlsessiontask.resume";
inline constexpr const char* RLNetworkingTaskSuspendInternalNotification =
    "com.relay.networking.nsurlsessiontask.suspend";

// Installs the hook, once per process; later calls do nothing. Answers whether the hook is ours:
// false when other code took the process's one hook first. Thread-safe.
bool RLInstallTaskResumeSuspendHook();
