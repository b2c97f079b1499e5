#include "crash/engine/CrashAsyncFile.h"

#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "crash/engine/CrashAsync.h"

const char* crash_async_errno_text(int number) {
  // strerror may take the locale's lock; the plain description is a constant.
  const char* text = strerrordesc_np(number);
  return text != nullptr ? text : "Unknown error";
}

long crash_async_writen(int fd, const void* data, std::size_t length) {
  const auto* position = static_cast<const char*>(data);
  std::size_t remaining = length;
  while (remaining > 0) {
    const ssize_t written = write(fd, position, remaining);
    if (written > 0) {
      position += written;
      remaining -= static_cast<std::size_t>(written);
      continue;
    }
    // A write of nothing sets no errno, so a stale EINTR must not keep us looping on it.
    if (written < 0 && errno == EINTR) continue;
    return -1;
  }
  return static_cast<long>(length);
}

void crash_async_file_init(crash_async_file* file, int fd, std::uint64_t output_limit) {
  file->fd = fd;
  file->limit_bytes = output_limit;
  file->total_bytes = 0;
  file->limit_reached = false;
  file->buffer_len = 0;
}

bool crash_async_file_write(crash_async_file* file, const void* data, std::size_t length) {
  if (file->limit_bytes != 0) {
    // Once something was left out, a smaller piece written after it would sit where the missing
    // one belongs and turn the rest of the file into garbage.
    if (file->limit_reached || file->total_bytes + length > file->limit_bytes) {
      file->limit_reached = true;
      return false;
    }
    file->total_bytes += length;
  }

  if (file->buffer_len + length > sizeof file->buffer) {
    if (crash_async_writen(file->fd, file->buffer, file->buffer_len) < 0) {
      CRASH_ASYNC_LOG("Error occured writing to crash log: %s", crash_async_errno_text(errno));
      return false;
    }
    file->buffer_len = 0;
  }

  if (file->buffer_len + length <= sizeof file->buffer) {
    crash_async_memcpy(file->buffer + file->buffer_len, data, length);
    file->buffer_len += length;
    return true;
  }

  if (crash_async_writen(file->fd, data, length) < 0) {
    CRASH_ASYNC_LOG("Error occured writing to crash log: %s", crash_async_errno_text(errno));
    return false;
  }
  return true;
}

bool crash_async_file_flush(crash_async_file* file) {
  if (file->buffer_len == 0) return true;
  if (crash_async_writen(file->fd, file->buffer, file->buffer_len) < 0) {
    CRASH_ASYNC_LOG("Error occured writing to crash log: %s", crash_async_errno_text(errno));
    return false;
  }
  file->buffer_len = 0;
  return true;
}

bool crash_async_file_close(crash_async_file* file) {
  if (!crash_async_file_flush(file)) return false;
  if (close(file->fd) != 0) {
    CRASH_ASYNC_LOG("Error closing file: %s", crash_async_errno_text(errno));
    return false;
  }
  return true;
}
