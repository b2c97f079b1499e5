#include "crash/engine/CrashAsyncSignalInfo.h"

namespace {

struct SignalName {
  int signo;
  const char* name;
};

struct CodeName {
  int signo;
  int code;
  const char* name;
};

// Searched in order: 6 is found as SIGABRT before SIGIOT.
constexpr SignalName kSignalNames[] = {
    {1, "SIGHUP"},     {2, "SIGINT"},   {3, "SIGQUIT"},  {4, "SIGILL"},    {5, "SIGTRAP"},
    {6, "SIGABRT"},    {6, "SIGIOT"},   {7, "SIGEMT"},   {8, "SIGFPE"},    {9, "SIGKILL"},
    {10, "SIGBUS"},    {11, "SIGSEGV"}, {12, "SIGSYS"},  {13, "SIGPIPE"},  {14, "SIGALRM"},
    {15, "SIGTERM"},   {16, "SIGURG"},  {17, "SIGSTOP"}, {18, "SIGTSTP"},  {19, "SIGCONT"},
    {20, "SIGCHLD"},   {21, "SIGTTIN"}, {22, "SIGTTOU"}, {23, "SIGIO"},    {24, "SIGXCPU"},
    {25, "SIGXFSZ"},   {26, "SIGVTALRM"}, {27, "SIGPROF"}, {28, "SIGWINCH"}, {29, "SIGINFO"},
    {30, "SIGUSR1"},   {31, "SIGUSR2"},
};

constexpr CodeName kCodeNames[] = {
    {4, 0, "ILL_NOOP"},    {4, 1, "ILL_ILLOPC"},  {4, 2, "ILL_ILLTRP"},  {4, 3, "ILL_PRVOPC"},
    {4, 4, "ILL_ILLOPN"},  {4, 5, "ILL_ILLADR"},  {4, 6, "ILL_PRVREG"},  {4, 7, "ILL_COPROC"},
    {4, 8, "ILL_BADSTK"},
    {8, 0, "FPE_NOOP"},    {8, 1, "FPE_FLTDIV"},  {8, 2, "FPE_FLTOVF"},  {8, 3, "FPE_FLTUND"},
    {8, 4, "FPE_FLTRES"},  {8, 5, "FPE_FLTINV"},  {8, 6, "FPE_FLTSUB"},  {8, 7, "FPE_INTDIV"},
    {8, 8, "FPE_INTOVF"},
    {11, 0, "SEGV_NOOP"},  {11, 1, "SEGV_MAPERR"}, {11, 2, "SEGV_ACCERR"},
    {10, 0, "BUS_NOOP"},   {10, 1, "BUS_ADRALN"}, {10, 2, "BUS_ADRERR"}, {10, 3, "BUS_OBJERR"},
    {5, 1, "TRAP_BRKPT"},  {5, 2, "TRAP_TRACE"},
    {6, 0, "#0"},
};

}  // namespace

const char* crash_async_signal_signame(int signo) {
  for (const SignalName& entry : kSignalNames) {
    if (entry.signo == signo) return entry.name;
  }
  return nullptr;
}

const char* crash_async_signal_sigcode(int signo, int code) {
  for (const CodeName& entry : kCodeNames) {
    if (entry.signo == signo && entry.code == code) return entry.name;
  }
  return nullptr;
}
