#include "platform/kernel/Sysctl.h"

#include <errno.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "platform/foundation/DeviceInfo.h"

namespace kernel {
namespace {

// The first line of a small text file, without surrounding blanks; empty when unreadable.
std::string firstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return {};
  const auto begin = line.find_first_not_of(" \t\r");
  const auto end = line.find_last_not_of(" \t\r");
  return begin == std::string::npos ? std::string() : line.substr(begin, end - begin + 1);
}

std::int32_t logicalProcessors() {
  const long count = sysconf(_SC_NPROCESSORS_CONF);
  return count > 0 ? static_cast<std::int32_t>(count) : 1;
}

// A core is counted at its first hardware thread: the processor that leads its sibling list.
std::int32_t physicalProcessors() {
  const std::int32_t logical = logicalProcessors();
  std::int32_t cores = 0;
  for (std::int32_t cpu = 0; cpu < logical; ++cpu) {
    const std::string siblings = firstLine("/sys/devices/system/cpu/cpu" + std::to_string(cpu) +
                                           "/topology/thread_siblings_list");
    if (siblings.empty()) continue;
    if (std::stol(siblings) == cpu) ++cores;
  }
  return cores > 0 ? cores : logical;
}

int answerBytes(const void* value, std::size_t size, void* oldValue, std::size_t* oldLength) {
  if (oldValue != nullptr) {
    if (*oldLength < size) {
      errno = ENOMEM;
      return -1;
    }
    std::memcpy(oldValue, value, size);
  }
  *oldLength = size;
  return 0;
}

int answerString(const std::string& value, void* oldValue, std::size_t* oldLength) {
  return answerBytes(value.c_str(), value.size() + 1, oldValue, oldLength);
}

int answerInt(std::int32_t value, void* oldValue, std::size_t* oldLength) {
  return answerBytes(&value, sizeof value, oldValue, oldLength);
}

// Wall-clock time now minus the time since boot: the moment of boot, to the nanosecond.
timespec bootTime() {
  timespec realtime{}, sinceBoot{};
  clock_gettime(CLOCK_REALTIME, &realtime);
  clock_gettime(CLOCK_BOOTTIME, &sinceBoot);
  std::int64_t nanos = (realtime.tv_sec - sinceBoot.tv_sec) * 1'000'000'000LL +
                       (realtime.tv_nsec - sinceBoot.tv_nsec);
  return {static_cast<time_t>(nanos / 1'000'000'000), static_cast<long>(nanos % 1'000'000'000)};
}

}  // namespace

int sysctlbyname(const char* name, void* oldValue, std::size_t* oldLength, const void* newValue,
                 std::size_t) {
  if (name == nullptr || oldLength == nullptr) {
    errno = EINVAL;
    return -1;
  }
  const std::string_view key(name);
  const bool known = key == "kern.osrelease" || key == "kern.osversion" || key == "hw.model" ||
                     key == "hw.cputype" || key == "hw.cpusubtype" ||
                     key == "hw.physicalcpu_max" || key == "hw.logicalcpu_max" ||
                     key == "sysctl.proc_native";
  if (!known) {
    errno = ENOENT;
    return -1;
  }
  if (newValue != nullptr) {
    errno = EPERM;
    return -1;
  }

  if (key == "kern.osrelease" || key == "kern.osversion") {
    utsname names{};
    if (uname(&names) != 0) return -1;
    return answerString(key == "kern.osrelease" ? names.release : names.version, oldValue, oldLength);
  }
  if (key == "hw.model") return answerString(foundation::DeviceInfo().model(), oldValue, oldLength);
  if (key == "hw.cputype") return answerInt(CPU_TYPE_X86_64, oldValue, oldLength);
  if (key == "hw.cpusubtype") return answerInt(CPU_SUBTYPE_X86_64_ALL, oldValue, oldLength);
  if (key == "hw.physicalcpu_max") return answerInt(physicalProcessors(), oldValue, oldLength);
  if (key == "hw.logicalcpu_max") return answerInt(logicalProcessors(), oldValue, oldLength);
  return answerInt(1, oldValue, oldLength);  // sysctl.proc_native
}

bool process_record(pid_t pid, ProcessRecord* out) {
  const std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream statFile(dir + "/stat");
  std::string stat;
  if (!statFile || !std::getline(statFile, stat)) {
    errno = ENOENT;
    return false;
  }
  // "pid (command) state ppid ...": the command may itself hold ") ", so split at the last one.
  const auto open = stat.find('(');
  const auto close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close < open) {
    errno = EINVAL;
    return false;
  }
  *out = ProcessRecord{};
  out->pid = pid;
  const std::string command = stat.substr(open + 1, close - open - 1);
  std::memcpy(out->command, command.data(), std::min(command.size(), sizeof out->command - 1));

  // Fields after the command, numbered from 3 (state): 4 is the parent, 22 the start time in
  // clock ticks after boot.
  std::istringstream rest(stat.substr(close + 1));
  std::string field;
  unsigned long long startTicks = 0;
  for (int number = 3; number <= 22 && rest >> field; ++number) {
    if (number == 4) out->parentPid = static_cast<pid_t>(std::stol(field));
    if (number == 22) startTicks = std::stoull(field);
  }
  const long ticksPerSecond = sysconf(_SC_CLK_TCK);
  const timespec boot = bootTime();
  const long long startNanos = boot.tv_sec * 1'000'000'000LL + boot.tv_nsec +
                               static_cast<long long>(startTicks) * (1'000'000'000LL / ticksPerSecond);
  out->startTime.tv_sec = static_cast<time_t>(startNanos / 1'000'000'000);
  out->startTime.tv_usec = static_cast<suseconds_t>(startNanos % 1'000'000'000 / 1000);

  std::ifstream status(dir + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("TracerPid:", 0) == 0) {
      out->traced = std::stol(line.substr(sizeof "TracerPid:" - 1)) != 0;
      break;
    }
  }
  return true;
}

}  // namespace kernel
