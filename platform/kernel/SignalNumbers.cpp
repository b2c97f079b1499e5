#include "platform/kernel/SignalNumbers.h"

#include <signal.h>

#include <cstddef>

namespace kernel {
namespace {

struct Pair {
  int from;
  int to;
};

constexpr Pair kSignals[] = {
    {SIGHUP, 1},   {SIGINT, 2},     {SIGQUIT, 3},    {SIGILL, 4},     {SIGTRAP, 5},
    {SIGABRT, 6},  {SIGFPE, 8},     {SIGKILL, 9},    {SIGBUS, 10},    {SIGSEGV, 11},
    {SIGSYS, 12},  {SIGPIPE, 13},   {SIGALRM, 14},   {SIGTERM, 15},   {SIGURG, 16},
    {SIGSTOP, 17}, {SIGTSTP, 18},   {SIGCONT, 19},   {SIGCHLD, 20},   {SIGTTIN, 21},
    {SIGTTOU, 22}, {SIGIO, 23},     {SIGXCPU, 24},   {SIGXFSZ, 25},   {SIGVTALRM, 26},
    {SIGPROF, 27}, {SIGWINCH, 28},  {SIGUSR1, 30},   {SIGUSR2, 31},
};

constexpr Pair kIllegalInstructionCodes[] = {
    {ILL_ILLOPC, 1}, {ILL_ILLTRP, 2}, {ILL_PRVOPC, 3}, {ILL_ILLOPN, 4},
    {ILL_ILLADR, 5}, {ILL_PRVREG, 6}, {ILL_COPROC, 7}, {ILL_BADSTK, 8},
};

constexpr Pair kFloatingPointCodes[] = {
    {FPE_FLTDIV, 1}, {FPE_FLTOVF, 2}, {FPE_FLTUND, 3}, {FPE_FLTRES, 4},
    {FPE_FLTINV, 5}, {FPE_FLTSUB, 6}, {FPE_INTDIV, 7}, {FPE_INTOVF, 8},
};

template <std::size_t N>
const Pair* find(const Pair (&table)[N], int from) {
  for (const Pair& pair : table) {
    if (pair.from == from) return &pair;
  }
  return nullptr;
}

}  // namespace

bool report_signal_number(int signo, int* reportSigno) {
  const Pair* pair = find(kSignals, signo);
  if (pair == nullptr) return false;
  *reportSigno = pair->to;
  return true;
}

int report_signal_code(int signo, int code) {
  if (code <= 0) return 0;
  if (signo == SIGTRAP && code == SI_KERNEL) return 1;  // TRAP_BRKPT
  const Pair* pair = nullptr;
  if (signo == SIGILL) pair = find(kIllegalInstructionCodes, code);
  if (signo == SIGFPE) pair = find(kFloatingPointCodes, code);
  return pair != nullptr ? pair->to : code;
}

}  // namespace kernel
