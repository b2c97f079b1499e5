#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace test {
namespace {

int gTraceFd = -1;

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace

bool ChildResult::exitedWith(int code) const {
  return !timedOut && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

bool ChildResult::killedBy(int signo) const {
  return !timedOut && WIFSIGNALED(status) && WTERMSIG(status) == signo;
}

bool ChildResult::endedAs(int signo, int exitCode) const {
  return signo == 0 ? exitedWith(exitCode) : killedBy(signo);
}

std::string ChildResult::describe() const {
  std::string text = timedOut ? "timed out" : WIFEXITED(status) ? "exited " + std::to_string(WEXITSTATUS(status))
                              : WIFSIGNALED(status) ? std::string("killed by ") + strsignal(WTERMSIG(status))
                                                    : "status " + std::to_string(status);
  return text + ", trace \"" + trace + "\"";
}

ChildResult runInChild(int (*body)(), double timeoutSeconds) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    gTraceFd = fds[1];
    _exit(body());
  }
  close(fds[1]);

  ChildResult result;
  const double deadline = now() + timeoutSeconds;
  bool open = true;
  while (open) {
    pollfd reader{fds[0], POLLIN, 0};
    const double left = deadline - now();
    if (left <= 0) {
      result.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (poll(&reader, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
    char buffer[256];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    // A child looping in its handler writes without end; keep what a failure message can show.
    if (n > 0 && result.trace.size() < 4096) result.trace.append(buffer, static_cast<std::size_t>(n));
    if (n == 0) open = false;
  }
  close(fds[0]);
  waitpid(pid, &result.status, 0);
  return result;
}

int traceFd() { return gTraceFd; }

void trace(const char* text) {
  if (gTraceFd >= 0) (void)!write(gTraceFd, text, strlen(text));
}

}  // namespace test
