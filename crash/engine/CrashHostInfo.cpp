#include "crash/engine/CrashHostInfo.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "crash/engine/CrashSysctl.h"
#include "platform/foundation/Log.h"

namespace {

// Reads the decimal number at `at` into `*value`; false when no digit is there.
bool scanNumber(std::string_view text, std::size_t& at, std::uint64_t* value) {
  const std::size_t start = at;
  std::uint64_t number = 0;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') number = number * 10 + (text[at++] - '0');
  if (at == start) return false;
  *value = number;
  return true;
}

bool scanDot(std::string_view text, std::size_t& at) {
  if (at >= text.size() || text[at] != '.') return false;
  ++at;
  return true;
}

}  // namespace

std::shared_ptr<const CrashHostInfo> CrashHostInfo::currentHostInfo() {
  char* release = crash_sysctl_string("kern.osrelease");
  if (release == nullptr) {
    const int number = errno;
    foundation::NSLog("Failed to fetch kern.osrelease value %d: %s", number, std::string(strerror(number)));
    return nullptr;
  }
  auto info = initWithRelease(release);
  free(release);
  return info;
}

std::shared_ptr<const CrashHostInfo> CrashHostInfo::initWithRelease(std::string_view release) {
  std::shared_ptr<CrashHostInfo> info(new CrashHostInfo());
  CrashHostInfoVersion& version = info->version_;
  std::size_t at = 0;
  const bool complete = scanNumber(release, at, &version.major) && scanDot(release, at) &&
                        scanNumber(release, at, &version.minor) && scanDot(release, at) &&
                        scanNumber(release, at, &version.revision);
  if (!complete) foundation::NSLog("Unexpected kern.osrelease string format: %@", release);
  return info;
}
