#include "crash/engine/CrashSysctl.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "platform/kernel/Sysctl.h"

char* crash_sysctl_string(const char* name) {
  char* value = nullptr;
  for (;;) {
    std::size_t length = 0;
    if (kernel::sysctlbyname(name, nullptr, &length, nullptr, 0) == -1) break;
    free(value);
    value = static_cast<char*>(malloc(length));
    if (value == nullptr) {
      errno = ENOMEM;
      return nullptr;
    }
    if (kernel::sysctlbyname(name, value, &length, nullptr, 0) == 0) return value;
    if (errno != ENOMEM) break;
    // The value grew between the two calls: ask for its size again.
  }
  const int saved = errno;
  free(value);
  errno = saved;
  return nullptr;
}

bool crash_sysctl_int(const char* name, std::int32_t* result) {
  std::size_t length = sizeof *result;
  return kernel::sysctlbyname(name, result, &length, nullptr, 0) == 0;
}

std::size_t crash_sysctl_valid_utf8_bytes_max(const std::uint8_t* bytes, std::size_t max_length) {
  std::size_t i = 0;
  if (max_length > 2 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;

  while (i < max_length) {
    const std::uint8_t lead = bytes[i];
    if (lead == 0) break;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t continuation = 0;
    if ((lead & 0xE0) == 0xC0) {
      continuation = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      continuation = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      continuation = 3;
    } else {
      break;
    }
    if (max_length - i - 1 < continuation) break;
    bool valid = true;
    for (std::size_t k = 1; k <= continuation; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) {
        valid = false;
        break;
      }
    }
    if (!valid) break;
    i += 1 + continuation;
  }
  return i;
}

std::size_t crash_sysctl_valid_utf8_bytes(const std::uint8_t* bytes) {
  return crash_sysctl_valid_utf8_bytes_max(bytes, strlen(reinterpret_cast<const char*>(bytes)));
}
