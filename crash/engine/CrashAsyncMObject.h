#pragma once
// A memory object: a read-only view of a range of task memory with bounds checks, through which
// the engine reads every image's contents. The view is made once, when the object is created,
// from the pages that could be read then; every later read is checked against the range and
// returns a code instead of faulting.
//
// A plain record owned by its caller. Creating and releasing an object and every read are
// async-signal-safe; nothing is allocated on the heap.
#include <cstdint>

#include "crash/engine/CrashAsync.h"

struct crash_async_mobject {
  kernel::task_t task;
  std::uint64_t address;       // local pointer to the first requested byte
  std::uint64_t task_address;  // the requested address in the task
  std::uint64_t length;        // usable bytes from `address`
  std::int64_t vm_slide;       // task address - local address
  std::uint64_t vm_address;    // start of the whole local view, page-aligned
  std::uint64_t vm_length;     // length of the whole local view
};

// Makes a view of `length` bytes at `task_address` in `task`. Without `require_full` the object
// covers the readable pages at the start of the range (its length may then be shorter than
// asked); with it every page must be readable. Returns 0; 3 when nothing (or, with
// `require_full`, not everything) is readable; 5 when the range wraps past the end of the address
// space. An object of length 0 is valid and holds no bytes. Free it with crash_async_mobject_free.
crash_error_t crash_async_mobject_init(crash_async_mobject* mobj, kernel::task_t task,
                                       std::uint64_t task_address, std::uint64_t length,
                                       bool require_full);

// Releases the view.
void crash_async_mobject_free(crash_async_mobject* mobj);

// The task address of the first byte, the usable length and the task.
std::uint64_t crash_async_mobject_base_address(const crash_async_mobject* mobj);
std::uint64_t crash_async_mobject_length(const crash_async_mobject* mobj);
kernel::task_t crash_async_mobject_task(const crash_async_mobject* mobj);

// Whether the `length` bytes at local `pointer` + `offset` lie inside the object, with no
// address arithmetic wrapping.
bool crash_async_mobject_verify_local_pointer(const crash_async_mobject* mobj, std::uint64_t pointer,
                                              std::int64_t offset, std::uint64_t length);

// The local pointer for `task_address` + `offset`, when its `length` bytes lie inside the
// object; null otherwise.
void* crash_async_mobject_remap_address(const crash_async_mobject* mobj, std::uint64_t task_address,
                                        std::int64_t offset, std::uint64_t length);

// One value at `task_address` + `offset`, converted by `byteorder`. Returns 0, or 5 when it does
// not lie inside the object (`*out` is then untouched).
crash_error_t crash_async_mobject_read_uint8(const crash_async_mobject* mobj, std::uint64_t task_address,
                                             std::int64_t offset, std::uint8_t* out);
crash_error_t crash_async_mobject_read_uint16(const crash_async_mobject* mobj,
                                              const crash_async_byteorder* byteorder,
                                              std::uint64_t task_address, std::int64_t offset,
                                              std::uint16_t* out);
crash_error_t crash_async_mobject_read_uint32(const crash_async_mobject* mobj,
                                              const crash_async_byteorder* byteorder,
                                              std::uint64_t task_address, std::int64_t offset,
                                              std::uint32_t* out);
crash_error_t crash_async_mobject_read_uint64(const crash_async_mobject* mobj,
                                              const crash_async_byteorder* byteorder,
                                              std::uint64_t task_address, std::int64_t offset,
                                              std::uint64_t* out);
