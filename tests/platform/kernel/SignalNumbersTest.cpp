#include "platform/kernel/SignalNumbers.h"

#include <gtest/gtest.h>
#include <signal.h>

namespace {

TEST(SignalNumbers, SignalsTakeTheReportNumbering) {
  const std::pair<int, int> moved[] = {
      {SIGBUS, 10}, {SIGUSR1, 30}, {SIGUSR2, 31}, {SIGSYS, 12},  {SIGURG, 16},
      {SIGSTOP, 17}, {SIGTSTP, 18}, {SIGCONT, 19}, {SIGCHLD, 20}, {SIGIO, 23},
      {SIGSEGV, 11}, {SIGABRT, 6},  {SIGILL, 4},   {SIGFPE, 8},   {SIGTRAP, 5},
  };
  for (auto [signo, expected] : moved) {
    int number = -1;
    EXPECT_TRUE(kernel::report_signal_number(signo, &number)) << signo;
    EXPECT_EQ(number, expected) << signo;
  }
  for (int signo : {SIGSTKFLT, SIGPWR, SIGRTMIN, SIGRTMAX, 0, 65}) {
    int number = -1;
    EXPECT_FALSE(kernel::report_signal_number(signo, &number)) << signo;
    EXPECT_EQ(number, -1) << signo;
  }
}

TEST(SignalNumbers, CodesTakeTheReportNumbering) {
  struct Case {
    int signo;
    int code;
    int expected;
  };
  const Case cases[] = {
      {SIGILL, ILL_ILLOPC, 1}, {SIGILL, ILL_ILLOPN, 4}, {SIGILL, ILL_ILLADR, 5},
      {SIGILL, ILL_ILLTRP, 2}, {SIGILL, ILL_PRVOPC, 3}, {SIGILL, ILL_BADSTK, 8},
      {SIGFPE, FPE_INTDIV, 7}, {SIGFPE, FPE_INTOVF, 8}, {SIGFPE, FPE_FLTDIV, 1},
      {SIGFPE, FPE_FLTSUB, 6},
      {SIGSEGV, SEGV_MAPERR, 1}, {SIGSEGV, SEGV_ACCERR, 2}, {SIGBUS, BUS_ADRERR, 2},
      {SIGTRAP, TRAP_BRKPT, 1}, {SIGTRAP, SI_KERNEL, 1},  // int3 comes as SI_KERNEL
      {SIGABRT, SI_TKILL, 0},  {SIGSEGV, SI_USER, 0},  {SIGUSR1, SI_QUEUE, 0},
      {SIGSEGV, SI_KERNEL, SI_KERNEL}, {SIGFPE, 9, 9},  // no counterpart: unchanged
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kernel::report_signal_code(c.signo, c.code), c.expected) << c.signo << "/" << c.code;
  }
}

}  // namespace
