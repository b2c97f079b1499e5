#pragma once
// Listing, suspending and inspecting the threads of the calling process, for the crash engine,
// which must stop every other thread and read their registers while its own process is dying.
//
// The kernel has no call that stops one thread of a process from outside it. A thread is
// suspended by sending it a real-time signal (PARK_SIGNAL) whose handler records the thread's
// registers and then parks the thread in a futex wait until it is resumed. The handler blocks
// every other signal while the thread is parked. Both waits are bounded: the suspender waits
// at most half a second for the thread to park, and a parked thread resumes on its own after ten
// seconds, so a suspender that never resumes cannot hang the process for good. A thread that
// blocks PARK_SIGNAL cannot be suspended; thread_suspend says so at once.
//
// Suspensions nest: a thread runs again after as many resumes as it had suspends. At most 1024
// threads are suspended at once. Everything here is async-signal-safe and allocates nothing.
#include <cstddef>
#include <cstdint>

#include "platform/kernel/KernelTypes.h"

namespace kernel {

// The real-time signal that parks a thread (SIGRTMAX - 3); installed on first suspension.
int park_signal();

// Writes up to `capacity` thread ids of `task` to `threads` and sets `*count` to the number of
// threads the task has (which may exceed `capacity`; only `capacity` are written). Returns
// KERN_SUCCESS, or KERN_INVALID_ARGUMENT when the task's thread list cannot be read.
kern_return_t task_threads(task_t task, thread_t* threads, std::size_t capacity,
                           std::size_t* count);

// Stops `thread`, a thread of the calling process other than the caller, and records its
// registers. Returns KERN_SUCCESS once it is parked (or when it already was: the count goes up);
// KERN_INVALID_ARGUMENT for the calling thread or a thread that does not exist;
// KERN_FAILURE when the thread blocks PARK_SIGNAL; KERN_OPERATION_TIMED_OUT when it did not park
// in time; KERN_RESOURCE_SHORTAGE when too many threads are suspended.
kern_return_t thread_suspend(thread_t thread);

// Undoes one thread_suspend; the thread runs again when its count reaches 0. Returns
// KERN_SUCCESS, or KERN_FAILURE when the thread is not suspended.
kern_return_t thread_resume(thread_t thread);

// Copies the registers of a suspended thread as `flavor` into `state`, which holds `*count`
// 32-bit words; `*count` becomes the words written. A thread that waits for the answer to an
// exception (ExceptionPorts.h) gives its registers at the fault, suspended or not. Flavors: x86_THREAD_STATE,
// x86_THREAD_STATE64, x86_EXCEPTION_STATE, x86_EXCEPTION_STATE64 (see MachineContext.h).
// Returns KERN_SUCCESS; KERN_INVALID_ARGUMENT for another flavor or a too small `*count`;
// KERN_FAILURE when the thread is neither that nor parked (not suspended, or it resumed on its own).
kern_return_t thread_get_state(thread_t thread, int flavor, void* state, std::uint32_t* count);

}  // namespace kernel
