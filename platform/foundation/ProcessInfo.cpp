#include "platform/foundation/ProcessInfo.h"

#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/foundation/Host.h"
#include "platform/foundation/String.h"

extern char** environ;

namespace foundation {

namespace {

std::string readFile(const char* path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

std::string kernelRelease() {
  utsname names{};
  if (uname(&names) != 0) return {};
  return names.release;
}

std::string osRelease() {
  std::string text = readFile("/etc/os-release");
  return text.empty() ? readFile("/usr/lib/os-release") : text;
}

// Undoes shell quoting of one assignment value: '...' literally, "..." and bare text with
// backslash escapes.
std::string unquote(std::string_view value) {
  std::string out;
  char quote = 0;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (quote == '\'') {
      if (c == '\'') quote = 0; else out.push_back(c);
    } else if (c == '\\' && i + 1 < value.size()) {
      out.push_back(value[++i]);
    } else if (quote == 0 && (c == '"' || c == '\'')) {
      quote = c;
    } else if (quote == '"' && c == '"') {
      quote = 0;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

ProcessInfo& ProcessInfo::processInfo() {
  static ProcessInfo* shared = new ProcessInfo();  // never destroyed: used by late loggers
  return *shared;
}

std::map<std::string, std::string> ProcessInfo::environment() const {
  std::map<std::string, std::string> out;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    out.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return out;
}

std::vector<std::string> ProcessInfo::arguments() const {
  const std::string cmdline = readFile("/proc/self/cmdline");
  std::vector<std::string> out;
  std::size_t start = 0;
  while (start < cmdline.size()) {
    std::size_t end = cmdline.find('\0', start);
    if (end == std::string::npos) end = cmdline.size();
    out.emplace_back(cmdline, start, end - start);
    start = end + 1;
  }
  return out;
}

int ProcessInfo::processIdentifier() const { return static_cast<int>(getpid()); }

std::string ProcessInfo::processName() const {
  std::lock_guard lock(mutex_);
  if (processName_) return *processName_;
  return program_invocation_short_name;
}

void ProcessInfo::setProcessName(std::string name) {
  std::lock_guard lock(mutex_);
  processName_ = std::move(name);
}

std::optional<OperatingSystemVersion> ProcessInfo::parseVersion(std::string_view text) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  long parts[3] = {0, 0, 0};
  std::size_t i = 0;
  for (int part = 0; part < 3; ++part) {
    if (i >= text.size() || text[i] < '0' || text[i] > '9') break;
    long value = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (value < 100000000) value = value * 10 + (text[i] - '0');
      ++i;
    }
    parts[part] = value;
    if (i >= text.size() || text[i] != '.') break;
    ++i;
  }
  return OperatingSystemVersion{parts[0], parts[1], parts[2]};
}

OperatingSystemVersion ProcessInfo::versionFrom(std::string_view osReleaseText,
                                                std::string_view kernel) {
  if (const auto id = shellAssignment(osReleaseText, "VERSION_ID")) {
    if (const auto version = parseVersion(*id)) return *version;
  }
  return parseVersion(kernel).value_or(OperatingSystemVersion{});
}

std::optional<std::string> ProcessInfo::shellAssignment(std::string_view contents,
                                                        std::string_view key) {
  std::optional<std::string> found;
  // Later assignments win, as when the file is sourced.
  enumerateLines(contents, [&](std::string_view line, bool&) {
    const std::string trimmed = trim(line);
    if (trimmed.size() <= key.size() || trimmed.compare(0, key.size(), key) != 0 ||
        trimmed[key.size()] != '=') {
      return;
    }
    found = unquote(std::string_view(trimmed).substr(key.size() + 1));
  });
  return found;
}

OperatingSystemVersion ProcessInfo::operatingSystemVersion() const {
  return versionFrom(osRelease(), kernelRelease());
}

std::string ProcessInfo::operatingSystemVersionString() const {
  const OperatingSystemVersion v = operatingSystemVersion();
  std::string text = stringWithFormat("Version %ld.%ld.%ld", v.majorVersion, v.minorVersion,
                                      v.patchVersion);
  const std::string kernel = kernelRelease();
  if (!kernel.empty()) text += " (Build " + kernel + ")";
  return text;
}

bool ProcessInfo::isOperatingSystemAtLeastVersion(const OperatingSystemVersion& version) const {
  return operatingSystemVersion() >= version;
}

std::string ProcessInfo::hostName() const { return Host::currentHostName(); }

std::uint64_t ProcessInfo::physicalMemory() const {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long size = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || size <= 0) return 0;
  return static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(size);
}

std::size_t ProcessInfo::processorCount() const {
  const long n = sysconf(_SC_NPROCESSORS_CONF);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

std::size_t ProcessInfo::activeProcessorCount() const {
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<std::size_t>(n) : 1;
}

double ProcessInfo::systemUptime() const {
  timespec now{};
  if (clock_gettime(CLOCK_BOOTTIME, &now) != 0) return 0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace foundation
