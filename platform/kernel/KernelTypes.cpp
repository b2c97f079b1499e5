#include "platform/kernel/KernelTypes.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace kernel {

task_t task_self() { return static_cast<task_t>(getpid()); }

thread_t thread_self() { return static_cast<thread_t>(syscall(SYS_gettid)); }

// Signal 0 only asks whether the thread exists within this process.
bool thread_alive(thread_t thread) { return thread > 0 && syscall(SYS_tgkill, task_self(), thread, 0) == 0; }

}  // namespace kernel
