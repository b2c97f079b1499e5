#include "platform/foundation/SystemPaths.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/ShellQuoting.h"

namespace foundation {
namespace {

struct Overrides {
  std::mutex mutex;
  std::optional<std::string> hostsFile;
  std::optional<std::string> flushCommand;
  std::optional<std::string> logFile;
  std::optional<std::string> machineId;
};

Overrides& overrides() {
  static Overrides instance;
  return instance;
}

std::optional<std::string> environment(const char* name) {
  const char* value = std::getenv(name);
  if (!value || !*value) return std::nullopt;
  return std::string(value);
}

// The override when set, else the environment, else the fallback.
std::string resolve(std::optional<std::string> Overrides::*slot, const char* variable,
                    const std::string& fallback) {
  {
    std::lock_guard lock(overrides().mutex);
    const auto& value = overrides().*slot;
    if (value) return *value;
  }
  return environment(variable).value_or(fallback);
}

void store(std::optional<std::string> Overrides::*slot, std::optional<std::string> value) {
  std::lock_guard lock(overrides().mutex);
  overrides().*slot = std::move(value);
}

}  // namespace

std::string SystemPaths::hostsFilePath() {
  return resolve(&Overrides::hostsFile, "QM_HOSTS_PATH", "/etc/hosts");
}

void SystemPaths::setHostsFilePathForTesting(std::optional<std::string> path) {
  store(&Overrides::hostsFile, std::move(path));
}

std::string SystemPaths::flushCacheCommand() {
  return resolve(&Overrides::flushCommand, "QM_FLUSH_COMMAND", shellQuoted(flushHelperPath()));
}

void SystemPaths::setFlushCacheCommandForTesting(std::optional<std::string> command) {
  store(&Overrides::flushCommand, std::move(command));
}

std::string SystemPaths::flushHelperPath() {
  std::string folder = executableDirectory();
  if (folder.empty()) return kFlushHelperName;
  return folder + "/" + kFlushHelperName;
}

std::string SystemPaths::privilegedRunLogPath() {
  return resolve(&Overrides::logFile, "QM_LOG_PATH", defaultPrivilegedRunLogPath());
}

// In the user's state folder rather than a shared one such as /tmp: there, the first account to
// make the file would own it, and no other account could replace it.
std::string SystemPaths::defaultPrivilegedRunLogPath() {
  const auto state = environment("XDG_STATE_HOME");
  // The XDG rules say a relative value is invalid and must be ignored.
  std::string folder =
      state && state->front() == '/' ? *state : FileManager::defaultManager().homeDirectory() + "/.local/state";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder + "/Quillmere/quillmere.log";
}

void SystemPaths::setPrivilegedRunLogPathForTesting(std::optional<std::string> path) {
  store(&Overrides::logFile, std::move(path));
}

std::string SystemPaths::machineIdPath() {
  return resolve(&Overrides::machineId, "QM_MACHINE_ID_PATH", "/etc/machine-id");
}

void SystemPaths::setMachineIdPathForTesting(std::optional<std::string> path) {
  store(&Overrides::machineId, std::move(path));
}

std::string SystemPaths::executableDirectory() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<std::size_t>(n));
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace foundation
