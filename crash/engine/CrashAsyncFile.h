#pragma once
// Output for code that runs inside a crashing process: a full write that survives partial writes
// and interrupted calls, and a small buffered file with a ceiling on the bytes it accepts. Plain
// write and close calls only; nothing is allocated and no lock is taken.
#include <cstddef>
#include <cstdint>

// Writes all `length` bytes to `fd`, looping over partial writes and calls interrupted by a
// signal. Returns `length` on success (0 for an empty range), or -1 at the first other failure
// (errno says why). Async-signal-safe.
long crash_async_writen(int fd, const void* data, std::size_t length);

// The constant description of the error number `number` ("Unknown error" for one without);
// unlike strerror it takes no locale lock. Async-signal-safe.
const char* crash_async_errno_text(int number);

// A buffered output file, a plain record owned by its one writer. Fields in this order.
struct crash_async_file {
  int fd;
  std::uint64_t limit_bytes;   // the most bytes the file may ever receive; 0: no limit
  std::uint64_t total_bytes;   // bytes accepted so far against the limit
  bool limit_reached;          // a write was refused for the limit; every later one is too
  std::uint64_t buffer_len;    // bytes waiting in `buffer`
  char buffer[256];
};

// Prepares `file` to write to the open descriptor `fd` with the ceiling `output_limit`
// (0: none). Opens nothing.
void crash_async_file_init(crash_async_file* file, int fd, std::uint64_t output_limit);

// Appends `length` bytes. Returns false without writing or counting anything when they would pass
// the ceiling, and from then on refuses every later write too, so that the file ends cleanly at
// the last piece accepted instead of going on after a hole; false after a diagnostic line when a
// write fails (the record stays usable); true otherwise. Data larger than the buffer is written
// directly.
bool crash_async_file_write(crash_async_file* file, const void* data, std::size_t length);

// Writes out the buffer. Returns true (also when it was empty), or false after a diagnostic line
// with the buffer kept.
bool crash_async_file_flush(crash_async_file* file);

// Flushes, then closes the descriptor. Returns false without closing when the flush fails, and
// false after a diagnostic line when close fails.
bool crash_async_file_close(crash_async_file* file);
