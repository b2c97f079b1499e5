#include "platform/foundation/ShellRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

extern char** environ;

namespace foundation {
namespace {

constexpr const char* kShell = "/bin/sh";
// Printed by the elevated shell before it runs the command, so that a 126 or 127 from the
// command itself ("not executable", "not found") is never taken for a refused authorization.
constexpr std::string_view kAuthorizedMarker = "quillmere: authorized\n";
constexpr const char* kElevatedScript =
    "printf 'quillmere: authorized\\n' >&2 && exec /bin/sh -c \"$1\"";

using Result = ShellRunner::Result;

Result launchFailed(std::string reason) {
  Result result;
  result.outcome = Result::Outcome::LaunchFailed;
  result.status = -1;
  result.standardError = std::move(reason);
  return result;
}

class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) fds_[0] = fds_[1] = -1;
  }
  ~Pipe() {
    closeRead();
    closeWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  bool ok() const { return fds_[0] >= 0; }
  int readEnd() const { return fds_[0]; }
  int writeEnd() const { return fds_[1]; }
  void closeRead() { closeFd(fds_[0]); }
  void closeWrite() { closeFd(fds_[1]); }

 private:
  static void closeFd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
  int fds_[2];
};

// Reads both pipes to their ends without letting either fill up and stall the child.
void drain(Pipe& out, Pipe& err, std::string& outText, std::string& errText) {
  std::array<pollfd, 2> fds{{{out.readEnd(), POLLIN, 0}, {err.readEnd(), POLLIN, 0}}};
  std::array<std::string*, 2> sinks{&outText, &errText};
  int open = 2;
  char buffer[8192];
  while (open > 0) {
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
        continue;
      }
      fds[i].fd = -1;
      --open;
    }
  }
}

int waitForExit(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

Result spawnAndCollect(const std::vector<std::string>& arguments, bool searchPath) {
  Pipe out, err;
  if (!out.ok() || !err.ok()) return launchFailed(std::string("pipe: ") + std::strerror(errno));

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.writeEnd(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.writeEnd(), STDERR_FILENO);

  std::vector<char*> argv;
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t pid = 0;
  int rc = searchPath ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                      : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return launchFailed(arguments[0] + ": " + std::strerror(rc));

  out.closeWrite();
  err.closeWrite();
  Result result;
  drain(out, err, result.standardOutput, result.standardError);
  result.status = waitForExit(pid);
  return result;
}

// Sorts out what the elevator's exit means: with the marker the command ran and its status
// stands; without it the command never started.
Result interpretElevated(Result result, const std::string& elevator) {
  if (result.outcome != Result::Outcome::Ran) return result;
  if (result.standardError.starts_with(kAuthorizedMarker)) {
    result.standardError.erase(0, kAuthorizedMarker.size());
    return result;
  }
  // pkexec's own codes: 126 when the user dismissed its dialog, 127 when no rights could be had
  // at all (no agent, no polkit, not allowed), which the user must hear as such, not as a cancel.
  if (result.status == 126 || result.status == 127) {
    result.outcome = result.status == 126 ? Result::Outcome::AuthorizationRefused
                                          : Result::Outcome::AuthorizationUnavailable;
    return result;
  }
  std::string reason = result.standardError.empty()
                           ? elevator + " failed with status " + std::to_string(result.status)
                           : result.standardError;
  return launchFailed(std::move(reason));
}

}  // namespace

SystemShellRunner::SystemShellRunner() : SystemShellRunner(Options{}) {}

SystemShellRunner::SystemShellRunner(Options options) : options_(std::move(options)) {}

ShellRunner::Result SystemShellRunner::run(const std::string& command, bool privileged) {
  if (command.find('\0') != std::string::npos) {
    return launchFailed("The command holds a NUL character and cannot be passed to the shell.");
  }
  bool root = options_.runningAsRoot.value_or(geteuid() == 0);
  if (!privileged || root) return spawnAndCollect({kShell, "-c", command}, false);

  const std::string& elevator = options_.elevator;
  bool searchPath = elevator.find('/') == std::string::npos;
  Result result = spawnAndCollect({elevator, kShell, "-c", kElevatedScript, "quillmere", command}, searchPath);
  if (result.outcome == Result::Outcome::LaunchFailed) {
    result.standardError = "Administrator rights need " + elevator + ", which could not be started (" +
                           result.standardError + ").";
  }
  return interpretElevated(std::move(result), elevator);
}

}  // namespace foundation
