#include "platform/kernel/KernelTypes.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace kernel {

task_t task_self() { return static_cast<task_t>(getpid()); }

thread_t thread_self() { return static_cast<thread_t>(syscall(SYS_gettid)); }

}  // namespace kernel
