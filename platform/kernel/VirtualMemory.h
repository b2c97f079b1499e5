#pragma once
// Faultless reads of a process's memory, for code that runs inside a crashing process and must
// not fault on a bad pointer. The kernel copies the bytes (process_vm_readv), so an unmapped or
// unreadable source yields a result code instead of a signal.
#include <cstddef>
#include <cstdint>

#include "platform/kernel/KernelTypes.h"

namespace kernel {

// Copies `size` bytes at `address` in `task` to `destination`; `*outSize` (when not null) gets the
// bytes copied. Returns KERN_SUCCESS; KERN_INVALID_ADDRESS when part of the range is not mapped
// (or the range wraps past the end of the address space); KERN_PROTECTION_FAILURE when it is
// mapped but not readable; KERN_INVALID_ARGUMENT when the task does not exist or may not be read;
// KERN_FAILURE otherwise. On failure the destination may hold a prefix of the range.
// Async-signal-safe; allocates nothing.
kern_return_t vm_read_overwrite(task_t task, std::uint64_t address, std::uint64_t size,
                                void* destination, std::uint64_t* outSize);

}  // namespace kernel
