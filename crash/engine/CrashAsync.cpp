#include "crash/engine/CrashAsync.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "crash/engine/CrashAsyncFile.h"
#include "platform/kernel/VirtualMemory.h"

const char* crash_async_strerror(crash_error_t error) {
  static const char* const kTexts[] = {
      "No error",
      "Unknown error",
      "Output file can not be opened (or written to)",
      "No memory available",
      "Operation not supported",
      "Invalid argument",
      "Internal error",
      "Access denied",
      "Not found",
      "The input data is in an unknown or invalid format.",
  };
  const auto index = static_cast<std::uint32_t>(error);
  if (index >= sizeof kTexts / sizeof kTexts[0]) return "Unhandled error code";
  return kTexts[index];
}

namespace {

// The level a process starts at; read once, before main, so the crash path never reads the
// environment.
crash_async_log_level levelFromEnvironment() {
  const char* value = getenv("QM_CRASH_DEBUG");
  if (value == nullptr || value[0] == '\0' || strcmp(value, "0") == 0) return CRASH_ASYNC_LOG_QUIET;
  return CRASH_ASYNC_LOG_DEBUG;
}

std::atomic<int> gLevel{levelFromEnvironment()};
static_assert(std::atomic<int>::is_always_lock_free);

void writePiece(const char* text) {
  std::size_t length = 0;
  while (text[length] != '\0') ++length;
  crash_async_writen(2, text, length);
}

void writeLine(const char* function, int line, const char* format, va_list arguments) {
  char piece[128];
  writePiece("[CrashReport] ");
  snprintf(piece, sizeof piece, "%s", function);
  writePiece(piece);
  snprintf(piece, sizeof piece, ":%d: ", line);
  writePiece(piece);
  vsnprintf(piece, sizeof piece, format, arguments);
  writePiece(piece);
  writePiece("\n");
}

}  // namespace

void crash_async_log_set_level(crash_async_log_level level) { gLevel.store(level, std::memory_order_relaxed); }

crash_async_log_level crash_async_log_get_level() {
  return static_cast<crash_async_log_level>(gLevel.load(std::memory_order_relaxed));
}

void crash_async_log(const char* function, int line, const char* format, ...) {
  if (gLevel.load(std::memory_order_relaxed) < CRASH_ASYNC_LOG_DEBUG) return;
  va_list arguments;
  va_start(arguments, format);
  writeLine(function, line, format, arguments);
  va_end(arguments);
}

void crash_async_fatal(const char* function, int line, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  writeLine(function, line, format, arguments);
  va_end(arguments);
  abort();
}

void crash_async_assert_failed(const char* function, int line, const char* condition) {
  crash_async_fatal(function, line, "Assertion failed: %s", condition);
}

namespace {

std::uint16_t same16(std::uint16_t value) { return value; }
std::uint32_t same32(std::uint32_t value) { return value; }
std::uint64_t same64(std::uint64_t value) { return value; }
std::uint16_t swap16(std::uint16_t value) { return __builtin_bswap16(value); }
std::uint32_t swap32(std::uint32_t value) { return __builtin_bswap32(value); }
std::uint64_t swap64(std::uint64_t value) { return __builtin_bswap64(value); }

}  // namespace

const crash_async_byteorder crash_async_byteorder_direct = {same16, same32, same64};
const crash_async_byteorder crash_async_byteorder_swapped = {swap16, swap32, swap64};

const crash_async_byteorder* crash_async_byteorder_little_endian() {
  return &crash_async_byteorder_direct;
}

const crash_async_byteorder* crash_async_byteorder_big_endian() {
  return &crash_async_byteorder_swapped;
}

kernel::kern_return_t crash_async_read_addr(kernel::task_t task, std::uint64_t source,
                                            void* destination, std::uint64_t length) {
  std::uint64_t copied = 0;
  return kernel::vm_read_overwrite(task, source, length, destination, &copied);
}

bool crash_async_address_apply_offset(std::uint64_t base, std::int64_t offset, std::uint64_t* result) {
  std::uint64_t sum = 0;
  if (offset >= 0) {
    if (__builtin_add_overflow(base, static_cast<std::uint64_t>(offset), &sum)) return false;
  } else {
    // The magnitude of the most negative offset does not fit an int64, but it does a uint64.
    const std::uint64_t magnitude = 0 - static_cast<std::uint64_t>(offset);
    if (magnitude > base) return false;
    sum = base - magnitude;
  }
  if (result != nullptr) *result = sum;
  return true;
}

crash_error_t crash_async_task_memcpy(kernel::task_t task, std::uint64_t address, std::int64_t offset,
                                      void* destination, std::uint64_t length) {
  std::uint64_t source = 0;
  if (!crash_async_address_apply_offset(address, offset, &source)) return CRASH_ENOMEM;
  const kernel::kern_return_t result = crash_async_read_addr(task, source, destination, length);
  switch (result) {
    case kernel::KERN_SUCCESS: return CRASH_ESUCCESS;
    case kernel::KERN_INVALID_ADDRESS: return CRASH_ENOTFOUND;
    case kernel::KERN_PROTECTION_FAILURE: return CRASH_EACCESS;
    default:
      CRASH_ASYNC_LOG("Unexpected error from vm_read_overwrite: %d", result);
      return CRASH_EUNKNOWN;
  }
}

crash_error_t crash_async_task_read_uint8(kernel::task_t task, std::uint64_t address,
                                          std::int64_t offset, std::uint8_t* out) {
  return crash_async_task_memcpy(task, address, offset, out, sizeof *out);
}

crash_error_t crash_async_task_read_uint16(kernel::task_t task, const crash_async_byteorder* byteorder,
                                           std::uint64_t address, std::int64_t offset,
                                           std::uint16_t* out) {
  const crash_error_t error = crash_async_task_memcpy(task, address, offset, out, sizeof *out);
  *out = byteorder->swap16(*out);
  return error;
}

crash_error_t crash_async_task_read_uint32(kernel::task_t task, const crash_async_byteorder* byteorder,
                                           std::uint64_t address, std::int64_t offset,
                                           std::uint32_t* out) {
  const crash_error_t error = crash_async_task_memcpy(task, address, offset, out, sizeof *out);
  *out = byteorder->swap32(*out);
  return error;
}

crash_error_t crash_async_task_read_uint64(kernel::task_t task, const crash_async_byteorder* byteorder,
                                           std::uint64_t address, std::int64_t offset,
                                           std::uint64_t* out) {
  const crash_error_t error = crash_async_task_memcpy(task, address, offset, out, sizeof *out);
  *out = byteorder->swap64(*out);
  return error;
}

kernel::thread_t crash_mach_thread_self() { return kernel::thread_self(); }

int crash_async_strcmp(const char* a, const char* b) {
  for (;; ++a, ++b) {
    const auto x = static_cast<unsigned char>(*a);
    const auto y = static_cast<unsigned char>(*b);
    if (x != y || x == '\0') return x - y;
  }
}

int crash_async_strncmp(const char* a, const char* b, std::size_t n) {
  for (; n > 0; --n, ++a, ++b) {
    const auto x = static_cast<unsigned char>(*a);
    const auto y = static_cast<unsigned char>(*b);
    if (x != y || x == '\0') return x - y;
  }
  return 0;
}

// The compiler would turn these loops back into calls of the library's memcpy and memset.
#if defined(__clang__)
#define CRASH_ASYNC_OWN_LOOP(routine) __attribute__((no_builtin(routine)))
#else
#define CRASH_ASYNC_OWN_LOOP(routine) __attribute__((optimize("no-tree-loop-distribute-patterns")))
#endif

CRASH_ASYNC_OWN_LOOP("memcpy")
void* crash_async_memcpy(void* destination, const void* source, std::size_t length) {
  auto* to = static_cast<unsigned char*>(destination);
  const auto* from = static_cast<const unsigned char*>(source);
  for (std::size_t i = 0; i < length; ++i) to[i] = from[i];
  return destination;
}

CRASH_ASYNC_OWN_LOOP("memset")
void* crash_async_memset(void* buffer, int value, std::size_t length) {
  auto* bytes = static_cast<unsigned char*>(buffer);
  for (std::size_t i = 0; i < length; ++i) bytes[i] = static_cast<unsigned char>(value);
  return buffer;
}
