#pragma once
// The toolbox of code that runs inside a crashing process, whose heap, locks and run-time state
// may be broken: the engine's result codes, the diagnostic line, byte-order conversion, reads of
// task memory that fail with a code instead of faulting, and string and memory routines that call
// no library routine.
//
// Every routine here allocates nothing, takes no lock, keeps no state but the diagnostic level,
// and may run in a signal handler on any thread.
#include <cstddef>
#include <cstdint>

#include "platform/kernel/KernelTypes.h"

// The engine's result code.
typedef std::int32_t crash_error_t;
enum : crash_error_t {
  CRASH_ESUCCESS = 0,
  CRASH_EUNKNOWN = 1,
  CRASH_OUTPUT_ERR = 2,
  CRASH_ENOMEM = 3,
  CRASH_ENOTSUP = 4,
  CRASH_EINVAL = 5,
  CRASH_EINTERNAL = 6,
  CRASH_EACCESS = 7,
  CRASH_ENOTFOUND = 8,
  CRASH_EINVALID_DATA = 9,
};

// The constant text of `error`; "Unhandled error code" for any other value, negative ones included.
const char* crash_async_strerror(crash_error_t error);

// How much the crash-safe code says on descriptor 2. Its diagnostics are for whoever debugs the
// engine, and a report meets many expected misses (stripped libraries, the outermost frames), so
// by default they are dropped. A process starts at the debug level when the environment variable
// QM_CRASH_DEBUG is set, at start-up, to anything but "" or "0"; crash_async_log_set_level changes
// the level at any time. The level is process-wide; both calls are async-signal-safe.
enum crash_async_log_level : int {
  CRASH_ASYNC_LOG_QUIET = 0,  // nothing is written (the default)
  CRASH_ASYNC_LOG_DEBUG = 1,  // every diagnostic line is written
};
void crash_async_log_set_level(crash_async_log_level level);
crash_async_log_level crash_async_log_get_level();

// At the debug level, writes "[CrashReport] <function>:<line>: <message>\n" to descriptor 2 with
// plain writes; otherwise nothing. Each piece is formatted in a 128-byte stack buffer, so a long
// piece is cut at 127 bytes.
void crash_async_log(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
#define CRASH_ASYNC_LOG(...) crash_async_log(__func__, __LINE__, __VA_ARGS__)

// Writes the diagnostic line at every level, then aborts the process: the line says why it ends.
[[noreturn]] void crash_async_fatal(const char* function, int line, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
#define CRASH_ASYNC_FATAL(...) crash_async_fatal(__func__, __LINE__, __VA_ARGS__)

// Writes the line "Assertion failed: <condition>" at every level and aborts the process.
[[noreturn]] void crash_async_assert_failed(const char* function, int line, const char* condition);
#define CRASH_ASYNC_ASSERT(condition, text)                                     \
  do {                                                                          \
    if (!(condition)) crash_async_assert_failed(__func__, __LINE__, text);      \
  } while (0)

// Conversions applied to every multi-byte value read from an image, chosen by the image's byte
// order: `direct` returns values unchanged, `swapped` reverses their bytes.
struct crash_async_byteorder {
  std::uint16_t (*swap16)(std::uint16_t);
  std::uint32_t (*swap32)(std::uint32_t);
  std::uint64_t (*swap64)(std::uint64_t);
};
extern const crash_async_byteorder crash_async_byteorder_direct;
extern const crash_async_byteorder crash_async_byteorder_swapped;
// The records for little- and big-endian data on this little-endian host.
const crash_async_byteorder* crash_async_byteorder_little_endian();
const crash_async_byteorder* crash_async_byteorder_big_endian();

// Copies `length` bytes at `source` in `task` to `destination`; returns the kernel's result
// unchanged (see platform/kernel/VirtualMemory.h).
kernel::kern_return_t crash_async_read_addr(kernel::task_t task, std::uint64_t source,
                                            void* destination, std::uint64_t length);

// Whether `base` + `offset` stays within 0 .. 2^64 - 1; when it does and `result` is not null,
// writes the sum there.
bool crash_async_address_apply_offset(std::uint64_t base, std::int64_t offset, std::uint64_t* result);

// Copies `length` bytes at `address` + `offset` in `task` to `destination`. Returns 0; 3 when the
// address arithmetic wraps (nothing is read); 8 for unmapped memory; 7 for unreadable memory;
// 1 after a diagnostic line for any other kernel failure.
crash_error_t crash_async_task_memcpy(kernel::task_t task, std::uint64_t address, std::int64_t offset,
                                      void* destination, std::uint64_t length);

// One value at `address` + `offset`, converted by `byteorder`; the codes of
// crash_async_task_memcpy. `*out` is meaningful only when the result is 0.
crash_error_t crash_async_task_read_uint8(kernel::task_t task, std::uint64_t address,
                                          std::int64_t offset, std::uint8_t* out);
crash_error_t crash_async_task_read_uint16(kernel::task_t task, const crash_async_byteorder* byteorder,
                                           std::uint64_t address, std::int64_t offset,
                                           std::uint16_t* out);
crash_error_t crash_async_task_read_uint32(kernel::task_t task, const crash_async_byteorder* byteorder,
                                           std::uint64_t address, std::int64_t offset,
                                           std::uint32_t* out);
crash_error_t crash_async_task_read_uint64(kernel::task_t task, const crash_async_byteorder* byteorder,
                                           std::uint64_t address, std::int64_t offset,
                                           std::uint64_t* out);

// The calling thread. Handles need no release on this system.
kernel::thread_t crash_mach_thread_self();

// strcmp over unsigned bytes: the difference of the first differing pair, or 0.
int crash_async_strcmp(const char* a, const char* b);
// The same over at most `n` bytes; `n` = 0 gives 0.
int crash_async_strncmp(const char* a, const char* b, std::size_t n);
// A plain byte copy; returns `destination`.
void* crash_async_memcpy(void* destination, const void* source, std::size_t length);
// Fills `length` bytes with the low 8 bits of `value`; returns `buffer`.
void* crash_async_memset(void* buffer, int value, std::size_t length);
