#pragma once
// ShellRunner is the seam through which the AppleScript runner starts shell commands: the real
// SystemShellRunner starts /bin/sh (elevated through pkexec where administrator rights are asked
// for and the process is not root yet), and tests install a recording fake instead so that no test
// ever needs a password or touches system files.
#include <optional>
#include <string>

namespace foundation {

class ShellRunner {
 public:
  struct Result {
    enum class Outcome {
      Ran,                   // the command ran; `status` is its exit status
      AuthorizationRefused,  // the user dismissed the authorization dialog; nothing ran
      // Administrator rights could not be obtained (no authentication agent, no polkit service,
      // not allowed); nothing ran, and `standardError` holds the elevator's own message.
      AuthorizationUnavailable,
      LaunchFailed,  // the command could not be started; `standardError` says why
    };
    Outcome outcome = Outcome::Ran;
    // The exit status; 128 plus the signal number when a signal ended the command.
    int status = 0;
    std::string standardOutput;
    std::string standardError;
  };

  virtual ~ShellRunner() = default;

  // Runs `command` with /bin/sh -c, with administrator rights when `privileged`, waits for it and
  // returns its outcome and output. Blocks the calling thread for the whole run (including any
  // password dialog). Implementations must be safe to call from any one thread at a time.
  virtual Result run(const std::string& command, bool privileged) = 0;
};

// The runner that starts real processes.
class SystemShellRunner : public ShellRunner {
 public:
  struct Options {
    // The elevation program; a name without "/" is looked up in PATH.
    std::string elevator = "pkexec";
    // Whether the process counts as root; unset means "ask geteuid()". Tests set it to reach the
    // elevated path while running as root.
    std::optional<bool> runningAsRoot;
  };

  SystemShellRunner();
  explicit SystemShellRunner(Options options);

  // Unprivileged, or privileged while root: /bin/sh -c command, directly. Privileged otherwise:
  // elevator /bin/sh -c ..., which runs the command only after authorization succeeded; an elevator
  // exit of 126 before the command started is AuthorizationRefused, of 127 AuthorizationUnavailable,
  // of anything else LaunchFailed, as is a missing elevator. A command holding a NUL byte cannot
  // be passed to a shell and is LaunchFailed. Standard input is /dev/null; the environment is
  // inherited.
  Result run(const std::string& command, bool privileged) override;

 private:
  Options options_;
};

}  // namespace foundation
