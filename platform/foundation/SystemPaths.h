#pragma once
// SystemPaths is the one place that names the system files and helpers the program touches: the
// hosts file, the DNS-cache flush helper, the privileged run's log and the machine id. Each can be pointed
// elsewhere by an environment variable (read at every call) and, more strongly, by a setter meant
// for tests, so that no test ever writes the real /etc/hosts.
#include <optional>
#include <string>

namespace foundation {

// The application's bundle identifier, a fixed reverse-DNS text: it names the application's own
// folder under the data directory.
inline constexpr const char* kApplicationBundleIdentifier = "org.quillmere.Quillmere";

// The name of the flush helper, installed beside the executable.
inline constexpr const char* kFlushHelperName = "quillmere-flush-dns";

class SystemPaths {
 public:
  // The system hosts file: the test override, else $QM_HOSTS_PATH when set and not empty, else
  // "/etc/hosts". Thread-safe.
  static std::string hostsFilePath();
  // Sets (or, with nullopt, clears) the test override of hostsFilePath. Thread-safe.
  static void setHostsFilePathForTesting(std::optional<std::string> path);

  // The shell command that flushes the system's DNS caches: the test override, else
  // $QM_FLUSH_COMMAND when set and not empty (both taken as shell text, verbatim), else the path
  // of the flush helper beside the executable, quoted as one shell word. Thread-safe.
  static std::string flushCacheCommand();
  // Sets (or clears) the test override of flushCacheCommand. Thread-safe.
  static void setFlushCacheCommandForTesting(std::optional<std::string> command);

  // The flush helper's path: the folder of the running executable plus kFlushHelperName. When the
  // executable's folder cannot be found, the bare name (looked up in PATH by the shell).
  static std::string flushHelperPath();

  // The log of the last privileged run: the test override, else $QM_LOG_PATH when set and not
  // empty, else defaultPrivilegedRunLogPath(). Thread-safe.
  static std::string privilegedRunLogPath();
  // "quillmere.log" in the user's own state folder for the application: $XDG_STATE_HOME/Quillmere
  // when XDG_STATE_HOME is an absolute path, else ~/.local/state/Quillmere. Nothing is created
  // here. Thread-safe.
  static std::string defaultPrivilegedRunLogPath();
  // Sets (or clears) the test override of privilegedRunLogPath. Thread-safe.
  static void setPrivilegedRunLogPathForTesting(std::optional<std::string> path);

  // The file that holds the machine's id: the test override, else $QM_MACHINE_ID_PATH when set
  // and not empty, else "/etc/machine-id". Thread-safe.
  static std::string machineIdPath();
  // Sets (or clears) the test override of machineIdPath. Thread-safe.
  static void setMachineIdPathForTesting(std::optional<std::string> path);

  // The folder that holds the running executable, from /proc/self/exe; empty when unknown.
  static std::string executableDirectory();
};

}  // namespace foundation
