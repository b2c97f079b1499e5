#pragma once
// Runs a function in a forked child, for tests of code that changes process-wide state (signal
// handlers) or that must crash for real. The child may write a trace to traceFd(); the parent
// collects it with the child's wait status.
#include <string>

namespace test {

struct ChildResult {
  int status = 0;       // the waitpid status; killed by SIGKILL when it ran out of time
  bool timedOut = false;
  std::string trace;    // everything the child wrote to traceFd()

  bool exitedWith(int code) const;
  bool killedBy(int signo) const;
  // killedBy(signo), or exitedWith(exitCode) when `signo` is 0: one column of a table of cases.
  bool endedAs(int signo, int exitCode = 0) const;
  std::string describe() const;  // for failure messages
};

// Forks; the child runs `body` and exits with its result (or dies trying). The parent waits at
// most `timeoutSeconds`, then kills the child.
ChildResult runInChild(int (*body)(), double timeoutSeconds = 5);

// The write end of the trace pipe, valid in the child.
int traceFd();
// Writes `text` to the trace with one write call. Async-signal-safe.
void trace(const char* text);

}  // namespace test
