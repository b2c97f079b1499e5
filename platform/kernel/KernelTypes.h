#pragma once
// The kernel's vocabulary as the crash engine sees it: result codes, and the task and thread
// handles that name the process and its threads.
//
// On this system a task is a process id and a thread is a kernel thread id, so handles need no
// reference counting: there is nothing to acquire or release. The result codes keep the numbers
// the engine's tables are written against (0 success, 1 invalid address, 2 protection failure).
// Everything here is async-signal-safe.
#include <cstdint>

namespace kernel {

using kern_return_t = int;
using task_t = std::int32_t;    // a process id
using thread_t = std::int32_t;  // a kernel thread id

inline constexpr kern_return_t KERN_SUCCESS = 0;
inline constexpr kern_return_t KERN_INVALID_ADDRESS = 1;
inline constexpr kern_return_t KERN_PROTECTION_FAILURE = 2;
inline constexpr kern_return_t KERN_INVALID_ARGUMENT = 4;
inline constexpr kern_return_t KERN_FAILURE = 5;
inline constexpr kern_return_t KERN_RESOURCE_SHORTAGE = 6;
inline constexpr kern_return_t KERN_OPERATION_TIMED_OUT = 49;

// The calling process. Asked afresh on each call, so a forked child gets its own id.
task_t task_self();
// The calling thread.
thread_t thread_self();
// Whether `thread` is a live thread of the calling process (after a fork, the child has only the
// thread that forked).
bool thread_alive(thread_t thread);

}  // namespace kernel
