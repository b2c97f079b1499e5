#pragma once
// Exception ports of the process and of its threads, and the bridge that turns this system's
// fault signals into exceptions sent to them, standing in for a kernel that reports a faulting
// thread's exception to a registered port and lets the thread go on only when that port answers.
//
// Registering a port for an exception type (task_swap_exception_ports, thread_swap_...) installs
// one signal handler for the signals of that type:
//
//   EXC_BAD_ACCESS       SIGSEGV: codes {KERN_INVALID_ADDRESS (unmapped) or KERN_PROTECTION_FAILURE
//                        or EXC_I386_GPFLT (general protection), address};
//                        SIGBUS: {KERN_MEMORY_ERROR, address}
//   EXC_BAD_INSTRUCTION  SIGILL: {EXC_I386_INVOP, address}
//   EXC_ARITHMETIC       SIGFPE: {EXC_I386_DIV, EXC_I386_INTO or EXC_I386_SSEEXTERR, address}
//   EXC_BREAKPOINT       SIGTRAP: {EXC_I386_BPT, or EXC_I386_SGL for a single step, address}
//
// The address is the one the kernel reported with the signal. Only faults the kernel raised
// become exceptions; a signal another thread or process sent stays a signal. On a fault the
// handler, on the faulting thread, sends the exception to the thread's port for that type, else
// to the process's, with the registered behavior and flavor, and waits for the answer. While it
// waits, thread_get_state on that thread gives its registers at the fault (see
// thread_exception_state). KERN_SUCCESS from a port resumes the thread where it stopped; any
// other answer passes the exception to the next port, and after the last to the signal: to the
// action that was installed before the bridge, or, for the default or ignore action, to the
// default action, raised again so that the process ends by the signal it got.
//
// A port that no live thread other than the faulting one receives on is passed over, so a fault
// in a server's own thread, or in a child forked from a process whose server thread stayed behind,
// ends as a signal instead of waiting for ever.
//
// Left out: exceptions of other types (software, guard, crash and the rest are never raised
// here), host-level ports, the new state a state-behavior port answers with (the thread resumes
// with its own), and the protected behaviors. The handler needs some stack: a thread reports a
// stack overflow only when it has an alternate signal stack. A handler another component installs
// later for one of these signals replaces the bridge for it until the next registration, which
// puts the bridge back in front of it.
#include <cstdint>

#include "platform/kernel/MachException.h"
#include "platform/kernel/MachineContext.h"

namespace kernel {

// Replaces the process's registrations for every type in `mask` with (`port`, `behavior`,
// `flavor`); MACH_PORT_NULL removes them. The registrations replaced come back grouped in the
// four arrays of `*count` entries (capacity in, entries out), one per distinct (port, behavior,
// flavor) with the mask of its types; each port named there brings the caller a send user
// reference (MACH_PORT_DEAD when its port has died). The process keeps a send right of its own on
// `port` for each type. Returns KERN_SUCCESS; KERN_INVALID_ARGUMENT for another task, a mask
// outside EXC_MASK_VALID, or an unknown behavior or flavor; KERN_INVALID_RIGHT when `port` is
// not null and the caller holds no send right for it. Thread-safe; not for the crash path.
kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, mach_msg_type_number_t* count,
                                        mach_port_t* ports, exception_behavior_t* behaviors,
                                        thread_state_flavor_t* flavors);

// The same for one thread of this process; KERN_INVALID_ARGUMENT for a thread that is not one.
// A thread's registrations stay until replaced. At most 64 threads have registrations of their
// own (KERN_RESOURCE_SHORTAGE beyond).
kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                          exception_behavior_t behavior, thread_state_flavor_t flavor,
                                          exception_mask_t* masks, mach_msg_type_number_t* count,
                                          mach_port_t* ports, exception_behavior_t* behaviors,
                                          thread_state_flavor_t* flavors);

// The current registrations for the types in `mask`, grouped as the swap calls return them, each
// port with a send user reference for the caller. KERN_SUCCESS or KERN_INVALID_ARGUMENT.
kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       mach_msg_type_number_t* count, mach_port_t* ports,
                                       exception_behavior_t* behaviors, thread_state_flavor_t* flavors);
kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask, exception_mask_t* masks,
                                         mach_msg_type_number_t* count, mach_port_t* ports,
                                         exception_behavior_t* behaviors, thread_state_flavor_t* flavors);

// The registers `thread` had when it raised the exception it is waiting to have answered; false
// when it waits for none. Async-signal-safe.
bool thread_exception_state(thread_t thread, x86_mcontext64* out);

}  // namespace kernel
