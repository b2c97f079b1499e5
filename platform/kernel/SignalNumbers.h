#pragma once
// Translation of this kernel's signal numbers and signal codes into the numbering the crash
// engine's reports use, where SIGBUS is 10, SIGUSR1 30, SIGSYS 12 and the illegal-instruction and
// floating-point codes come in another order. Pure functions over constant tables; both are
// async-signal-safe.
namespace kernel {

// The report number of signal `signo`. Returns false for signals that have none (SIGSTKFLT,
// SIGPWR, the real-time signals) and leaves `*reportSigno` alone.
bool report_signal_number(int signo, int* reportSigno);

// The report code of code `code` of signal `signo` (both in this kernel's numbering):
// - codes sent by a process (kill, tgkill as in abort(), sigqueue: code 0 or below) become 0;
// - the breakpoint trap the kernel reports with SI_KERNEL becomes TRAP_BRKPT (1);
// - illegal-instruction and floating-point codes are reordered;
// - every other code stays as it is: those numbers have no counterpart, and no report name
//   uses them, so they cannot be mistaken for another code.
int report_signal_code(int signo, int code);

}  // namespace kernel
