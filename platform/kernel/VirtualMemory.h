#pragma once
// Faultless access to a process's memory, for code that runs inside a crashing process and must
// not fault on a bad pointer: copies that the kernel makes (process_vm_readv), so an unmapped or
// unreadable source yields a result code instead of a signal; read-only views of a range whose
// pages were found readable; and anonymous pages for scratch space.
//
// A view of the calling process's own memory is the memory itself, after every page was probed:
// nothing is copied, so a view of a large table costs no more than a small one. A view of another
// process is a private copy made when the view is created. Either way the view holds what a later
// read of it returns; a range that is unmapped behind a live view of the own process is not
// detected, which the crash engine accepts because every other thread is stopped while it reads.
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

// The size of a page. Async-signal-safe.
std::uint64_t vm_page_size();

// Makes the `size` bytes at the page-aligned `address` in `task` readable in the calling process.
// With `requireFull`, every page must be readable; without it the view covers the readable
// pages at the start of the range. On KERN_SUCCESS `*localAddress` is where the first byte can be
// read and `*mappedSize` how many bytes can (a multiple of the page size, at most `size` rounded
// up to a page). Returns KERN_INVALID_ADDRESS when no page (or, with `requireFull`, not every
// page) is readable or the range wraps; KERN_INVALID_ARGUMENT for a size of 0 or an address that
// is not page-aligned; KERN_RESOURCE_SHORTAGE when no memory is left for the copy of another
// process. Release the view with vm_unmap_readonly. Async-signal-safe; allocates no heap.
kern_return_t vm_map_readonly(task_t task, std::uint64_t address, std::uint64_t size, bool requireFull,
                              std::uint64_t* localAddress, std::uint64_t* mappedSize);

// Releases a view made by vm_map_readonly for `task`. Async-signal-safe.
void vm_unmap_readonly(task_t task, std::uint64_t localAddress, std::uint64_t mappedSize);

// Reserves `size` bytes (rounded up to pages) of zeroed, readable and writable memory.
// Returns KERN_SUCCESS with `*address` set, or KERN_RESOURCE_SHORTAGE. Async-signal-safe.
kern_return_t vm_allocate(std::uint64_t size, std::uint64_t* address);

// Releases memory from vm_allocate. Returns KERN_SUCCESS, or KERN_INVALID_ARGUMENT when the range
// is not page-aligned. Async-signal-safe.
kern_return_t vm_deallocate(std::uint64_t address, std::uint64_t size);

// Maps the whole file at `path` read-only into the calling process. Returns KERN_SUCCESS with
// `*address` and `*size` (the file's length, above 0) set; KERN_INVALID_ARGUMENT when the file
// cannot be opened, is empty or is not a regular file; KERN_RESOURCE_SHORTAGE when it cannot be
// mapped. Release it with vm_unmap_file. Not for the crash path (it opens a file).
kern_return_t vm_map_file(const char* path, std::uint64_t* address, std::uint64_t* size);

// Releases a mapping made by vm_map_file. Async-signal-safe.
void vm_unmap_file(std::uint64_t address, std::uint64_t size);

}  // namespace kernel
