#pragma once
// The crash-safe side of exception handling: the plain record of the exception-port
// registrations the engine replaced, forwarding an exception to them, and the signal a report
// shows for an exception.
//
// Everything here allocates nothing and takes no lock; it runs on the exception server's thread
// while the faulting thread waits.
#include <signal.h>

#include <cstdint>

#include "platform/kernel/MachException.h"

// Registrations as the crash path reads them: entry i of the four arrays is one registration
// (its port holds a send right owned elsewhere). All zero: none.
struct crash_mach_exception_port_set {
  std::uint32_t count;
  kernel::exception_mask_t masks[kernel::EXC_TYPES_COUNT];
  kernel::mach_port_t ports[kernel::EXC_TYPES_COUNT];
  kernel::exception_behavior_t behaviors[kernel::EXC_TYPES_COUNT];
  kernel::thread_state_flavor_t flavors[kernel::EXC_TYPES_COUNT];
};

// Sends the exception of `thread` in `task` to the first registration of `port_state` whose port
// is valid and whose mask holds the exception's type, in the form its behavior names (with the
// thread's state of its flavor for the state forms, and the low 32 bits of each code for a
// registration without MACH_EXCEPTION_CODES). Returns that port's answer (KERN_SUCCESS: handled);
// KERN_FAILURE when no registration matches or the behavior is unknown, the thread_get_state
// result when the state cannot be read, or the failure of the send (diagnostic lines say which).
kernel::kern_return_t CrashMachExceptionForward(kernel::task_t task, kernel::thread_t thread,
                                                kernel::exception_type_t exception_type,
                                                const kernel::mach_exception_data_type_t* codes,
                                                kernel::mach_msg_type_number_t code_count,
                                                const crash_mach_exception_port_set* port_state);

// Fills `siginfo` (zeroed first) with the signal, signal code and address (always codes[1]) that
// a report shows for the exception, in the numbering of crash reports (CrashAsyncSignalInfo.h),
// ready for the crashed-signal record. Returns false for fewer than 2 codes (with a diagnostic
// line) and for types without a signal; EXC_GUARD maps to SIGKILL (9), code 0, because a guard
// violation ends the process. `cpu_type` is not used.
bool crash_async_mach_exception_get_siginfo(kernel::exception_type_t exception_type,
                                            const kernel::mach_exception_data_type_t* codes,
                                            kernel::mach_msg_type_number_t code_count, int cpu_type,
                                            siginfo_t* siginfo);
