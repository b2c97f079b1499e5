#pragma once
// ProcessInfo stands in for the platform's process information: the environment, the command
// line, the process identifier and name, the operating-system version (from /etc/os-release and
// the kernel release, as three numbers), the host name, memory, processors and uptime.
//
// The shared instance may be read from any thread. environment() reads the live environment, so
// it must not race with setenv() on another thread (a libc rule, not ours).
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace foundation {

struct OperatingSystemVersion {
  long majorVersion = 0;
  long minorVersion = 0;
  long patchVersion = 0;
  auto operator<=>(const OperatingSystemVersion&) const = default;
};

class ProcessInfo {
 public:
  // The process's shared instance; it lives until exit.
  static ProcessInfo& processInfo();

  // Every environment variable, as it is now.
  std::map<std::string, std::string> environment() const;
  // The command line from /proc/self/cmdline; empty when it cannot be read.
  std::vector<std::string> arguments() const;
  int processIdentifier() const;
  // The executable's name, unless setProcessName changed it.
  std::string processName() const;
  void setProcessName(std::string name);

  // The version of the running system: the os-release VERSION_ID ("12" gives 12.0.0, "22.04" gives
  // 22.4.0), else the kernel release ("6.1.0-18-amd64" gives 6.1.0), else 0.0.0.
  OperatingSystemVersion operatingSystemVersion() const;
  // "Version 12.0.0 (Build 6.1.0-18-amd64)": the version and the kernel release.
  std::string operatingSystemVersionString() const;
  bool isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const;

  // The host name (see Host::currentHostName).
  std::string hostName() const;
  // Installed memory in bytes; 0 when unknown.
  std::uint64_t physicalMemory() const;
  // Configured and online processors; at least 1.
  std::size_t processorCount() const;
  std::size_t activeProcessorCount() const;
  // Seconds since boot, including time suspended.
  double systemUptime() const;

  // Parsing helpers, pure, for the readers above and their tests.
  // The first one to three dot-separated leading numbers of `text`; nullopt when it does not
  // start with a digit.
  static std::optional<OperatingSystemVersion> parseVersion(std::string_view text);
  // The version from an os-release text and a kernel release, by the rule above.
  static OperatingSystemVersion versionFrom(std::string_view osRelease,
                                            std::string_view kernelRelease);
  // The value of `KEY=value` in a shell-style assignment file (os-release, machine-info), with
  // single or double quotes and backslash escapes removed; nullopt when the key is absent.
  static std::optional<std::string> shellAssignment(std::string_view contents,
                                                    std::string_view key);

 private:
  ProcessInfo() = default;
  mutable std::mutex mutex_;
  std::optional<std::string> processName_;
};

}  // namespace foundation
