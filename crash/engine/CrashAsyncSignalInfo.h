#pragma once
// The names that crash reports give signals and signal codes. Numbers are those of the report
// numbering (SIGBUS 10, SIGSYS 12, SIGUSR1 30, ...); a signal received from this kernel is
// translated first (platform/kernel/SignalNumbers.h). Constant tables, linear lookups, no
// allocation: safe on the crash path.

// The name of signal `signo`, such as "SIGSEGV"; null when it has none.
const char* crash_async_signal_signame(int signo);

// The name of code `code` of signal `signo`, such as "SEGV_MAPERR"; null when the pair has none.
const char* crash_async_signal_sigcode(int signo, int code);
