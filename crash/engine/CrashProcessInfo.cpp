#include "crash/engine/CrashProcessInfo.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include <cstdint>

#include "crash/engine/CrashSysctl.h"
#include "platform/foundation/Log.h"
#include "platform/kernel/Sysctl.h"

std::shared_ptr<const CrashProcessInfo> CrashProcessInfo::currentProcessInfo() { return initWithProcessID(getpid()); }

std::shared_ptr<const CrashProcessInfo> CrashProcessInfo::initWithProcessID(pid_t pid) {
  kernel::ProcessRecord record;
  if (!kernel::process_record(pid, &record)) {
    const int saved = errno;
    if (saved == ENOENT) foundation::NSLog("Unexpected sysctl error %d: %s", saved, std::string(strerror(saved)));
    errno = saved;
    return nullptr;
  }

  std::shared_ptr<CrashProcessInfo> info(new CrashProcessInfo());
  info->processID_ = pid;
  info->parentProcessID_ = record.parentPid;
  info->startTime_ = record.startTime;
  info->traced_ = record.traced;
  const std::size_t length =
      crash_sysctl_valid_utf8_bytes_max(reinterpret_cast<const std::uint8_t*>(record.command), sizeof record.command - 1);
  if (length > 0) {
    info->processName_ = std::string(record.command, length);
  } else {
    foundation::NSLog("Failed to decode p_comm for pid=%jd as UTF-8!", static_cast<std::intmax_t>(pid));
  }
  return info;
}
