#pragma once
// AppleScript stands in for the platform's script object, for the one kind of script this program
// runs: `do shell script "<command>"`, optionally followed by `with administrator privileges`.
// Any other source is a syntax error. The string literal takes the escapes \" \\ \n \r and \t;
// escapedForScriptStringLiteral (ShellQuoting.h) writes literals that read back unchanged.
//
// The command runs through the installed ShellRunner: by default a SystemShellRunner, which asks
// polkit for administrator rights unless the process is root already. Errors come back as the
// platform's error-information dictionary (keys below). What it leaves out: every other statement,
// script objects, handlers and Apple events.
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/ShellRunner.h"
#include "platform/foundation/String.h"
#include "platform/foundation/Value.h"

namespace foundation {

// Keys of the error-information dictionary, with the platform's names.
inline constexpr const char* kAppleScriptErrorMessage = "NSAppleScriptErrorMessage";
inline constexpr const char* kAppleScriptErrorNumber = "NSAppleScriptErrorNumber";
inline constexpr const char* kAppleScriptErrorBriefMessage = "NSAppleScriptErrorBriefMessage";
inline constexpr const char* kAppleScriptErrorRange = "NSAppleScriptErrorRange";

// Error numbers the runner reports besides a command's own exit status.
inline constexpr long kAppleScriptSyntaxError = -2741;
inline constexpr long kAppleScriptUserCanceled = -128;
inline constexpr long kAppleScriptPrivilegeError = -10004;

// The value under kAppleScriptErrorRange: a span of UTF-16 units of the source.
class AppleScriptErrorRange : public Object {
 public:
  explicit AppleScriptErrorRange(Range range) : range_(range) {}
  Range range() const { return range_; }
  // "NSRange: {location, length}", as the platform prints a range value.
  std::string description() const override;
  bool isEqual(const Object& other) const override;

 private:
  Range range_;
};

class AppleScript {
 public:
  // Keeps the source; nothing is parsed until compile or execute.
  explicit AppleScript(std::string source);
  AppleScript(const AppleScript&) = delete;
  AppleScript& operator=(const AppleScript&) = delete;

  const std::string& source() const { return source_; }
  bool isCompiled() const { return compiled_.has_value(); }

  // Parses the source. Returns true on success. On a syntax error returns false and, when
  // `errorInfo` is given, fills it with message, brief message, number -2741 and the range.
  bool compileAndReturnError(Dictionary* errorInfo);

  // Compiles if needed, then runs the command and waits for it. Returns the command's standard
  // output (one trailing line feed removed) on exit status 0. Otherwise returns nullopt and fills
  // `errorInfo` (when given): a non-zero exit gives its standard error text and its status; a
  // dismissed authorization dialog gives -128 "User canceled."; rights that could not be obtained
  // give -10004 "Administrator rights could not be obtained: " and the elevator's message; an
  // elevation that cannot be started gives -10004 with the reason. Blocks the calling thread; not safe to call on one
  // object from two threads at once.
  std::optional<std::string> executeAndReturnError(Dictionary* errorInfo);

  // Replaces the runner that every script uses from now on; nullptr restores the system runner.
  // Thread-safe; meant for tests, which install a recording fake.
  static void setRunnerForTesting(std::shared_ptr<ShellRunner> runner);
  // The runner in use. Thread-safe.
  static std::shared_ptr<ShellRunner> runner();

 private:
  struct Compiled {
    std::string command;
    bool privileged = false;
    Range statement;  // the statement's span in the source, for run-time error ranges
  };

  std::string source_;
  std::optional<Compiled> compiled_;
};

}  // namespace foundation
