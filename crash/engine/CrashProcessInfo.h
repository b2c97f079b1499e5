#pragma once
// CrashProcessInfo describes one live process as the kernel's per-process query gives it: its id,
// short name, parent, start time and whether it is being traced. The log writer records these for
// the crashed process and its parent.
//
// Made in healthy code (it allocates); immutable afterwards and safe to read from any thread.
#include <sys/time.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>

class CrashProcessInfo {
 public:
  // The calling process; null when it cannot be described.
  static std::shared_ptr<const CrashProcessInfo> currentProcessInfo();
  // Process `pid`; null with errno set when there is no such process or it cannot be read
  // (logged "Unexpected sysctl error %d: %s" when the query says the process does not exist).
  static std::shared_ptr<const CrashProcessInfo> initWithProcessID(pid_t pid);

  pid_t processID() const { return processID_; }
  // The longest valid UTF-8 start of the kernel's command name (at most 16 bytes); none when
  // that is empty ("Failed to decode p_comm for pid=%jd as UTF-8!" is logged).
  const std::optional<std::string>& processName() const { return processName_; }
  pid_t parentProcessID() const { return parentProcessID_; }
  // Wall-clock time the process started.
  timeval startTime() const { return startTime_; }
  bool isTraced() const { return traced_; }

 private:
  CrashProcessInfo() = default;

  pid_t processID_ = 0;
  std::optional<std::string> processName_;
  pid_t parentProcessID_ = 0;
  timeval startTime_{};
  bool traced_ = false;
};
