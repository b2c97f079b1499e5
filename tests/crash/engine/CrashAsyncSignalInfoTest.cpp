#include "crash/engine/CrashAsyncSignalInfo.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "crash/engine/CrashSignalHandler.h"
#include "platform/kernel/SignalNumbers.h"
#include "tests/support/ChildProcess.h"

namespace {

std::string nameOr(const char* name) { return name != nullptr ? name : "(none)"; }

// The report's names for a signal as this kernel delivers it.
std::string reportNames(int signo, int code) {
  int number = 0;
  if (!kernel::report_signal_number(signo, &number)) return "(no number)";
  return nameOr(crash_async_signal_signame(number)) + " " +
         nameOr(crash_async_signal_sigcode(number, kernel::report_signal_code(signo, code)));
}

TEST(SignalNames, Tables) {
  struct Case {
    int signo;
    int code;
    const char* name;
    const char* codeName;
  };
  const Case cases[] = {
      {6, 0, "SIGABRT", "#0"},  // never SIGIOT
      {5, 0, "SIGTRAP", nullptr},
      {5, 2, "SIGTRAP", "TRAP_TRACE"},
      {4, 0, "SIGILL", "ILL_NOOP"},
      {4, 8, "SIGILL", "ILL_BADSTK"},
      {8, 7, "SIGFPE", "FPE_INTDIV"},
      {10, 3, "SIGBUS", "BUS_OBJERR"},
      {11, 2, "SIGSEGV", "SEGV_ACCERR"},
      {11, 3, "SIGSEGV", nullptr},
      {29, 0, "SIGINFO", nullptr},
      {31, 0, "SIGUSR2", nullptr},
      {0, 0, nullptr, nullptr},
      {32, 0, nullptr, nullptr},
      {-6, 0, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(nameOr(crash_async_signal_signame(c.signo)), nameOr(c.name)) << c.signo;
    EXPECT_EQ(nameOr(crash_async_signal_sigcode(c.signo, c.code)), nameOr(c.codeName)) << c.signo << "/" << c.code;
  }
}

TEST(SignalNames, KernelSignalsAreNamedAfterTranslation) {
  struct Case {
    int signo;
    int code;
    const char* expected;
  };
  const Case cases[] = {
      {SIGBUS, BUS_ADRERR, "SIGBUS BUS_ADRERR"},
      {SIGILL, ILL_ILLOPN, "SIGILL ILL_ILLOPN"},
      {SIGILL, ILL_PRVOPC, "SIGILL ILL_PRVOPC"},
      {SIGFPE, FPE_INTDIV, "SIGFPE FPE_INTDIV"},
      {SIGFPE, FPE_FLTINV, "SIGFPE FPE_FLTINV"},
      {SIGABRT, SI_TKILL, "SIGABRT #0"},
      {SIGTRAP, SI_KERNEL, "SIGTRAP TRAP_BRKPT"},
      {SIGSYS, 1, "SIGSYS (none)"},
      {SIGUSR1, SI_USER, "SIGUSR1 (none)"},
      {SIGSTKFLT, 0, "(no number)"},
  };
  for (const Case& c : cases) EXPECT_EQ(reportNames(c.signo, c.code), c.expected) << c.signo;
}

// Real faults, each in a child whose handler writes the report names of what it received.
bool traceNames(int signo, siginfo_t* info, ucontext_t*, void*, crash_signal_next_handler*) {
  test::trace(reportNames(signo, info->si_code).c_str());
  return false;
}

void catchFatalSignals() {
  for (int signo : {SIGILL, SIGTRAP, SIGABRT, SIGFPE, SIGSEGV, SIGBUS}) {
    CrashSignalHandler::sharedHandler().registerHandlerForSignal(signo, traceNames, nullptr, nullptr);
  }
}

int undefinedInstruction() { catchFatalSignals(); asm volatile("ud2"); return 0; }
int breakpoint() { catchFatalSignals(); asm volatile("int3"); return 0; }
int abortCall() { catchFatalSignals(); abort(); }
int divideByZero() {
  catchFatalSignals();
  int zero = 0, result = 0;
  asm volatile("cltd\n\tidivl %1" : "+a"(result) : "r"(zero) : "edx");
  return result;
}
// Sanitizer builds would report the null read as undefined behaviour before it happens.
__attribute__((no_sanitize("undefined"))) int nullRead() {
  catchFatalSignals();
  return *static_cast<volatile int*>(nullptr);
}
int readOnlyWrite() {
  catchFatalSignals();
  void* page = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  *static_cast<volatile int*>(page) = 1;
  return 0;
}
int pastEndOfFile() {
  catchFatalSignals();
  char path[] = "/tmp/qm-bus-XXXXXX";
  const int fd = mkstemp(path);
  unlink(path);
  void* page = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);  // the file is empty
  return *static_cast<volatile int*>(page);
}

TEST(SignalNames, RealFaultsAreNamedAsReportsShowThem) {
  struct Case {
    const char* name;
    int (*body)();
    int signo;
    const char* expected;
  };
  const Case cases[] = {
      {"ud2", undefinedInstruction, SIGILL, "SIGILL ILL_ILLOPN"},
      {"int3", breakpoint, SIGTRAP, "SIGTRAP TRAP_BRKPT"},
      {"abort", abortCall, SIGABRT, "SIGABRT #0"},
      {"idiv by 0", divideByZero, SIGFPE, "SIGFPE FPE_INTDIV"},
      {"null read", nullRead, SIGSEGV, "SIGSEGV SEGV_MAPERR"},
      {"read-only write", readOnlyWrite, SIGSEGV, "SIGSEGV SEGV_ACCERR"},
      {"past end of file", pastEndOfFile, SIGBUS, "SIGBUS BUS_ADRERR"},
  };
  for (const Case& c : cases) {
    const test::ChildResult result = test::runInChild(c.body);
    EXPECT_TRUE(result.killedBy(c.signo)) << c.name << ": " << result.describe();
    EXPECT_EQ(result.trace, c.expected) << c.name;
  }
}

}  // namespace
