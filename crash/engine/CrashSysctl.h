#pragma once
// System facts read by name (see platform/kernel/Sysctl.h for the names), and the valid-UTF-8
// prefix rule used to decode the kernel's fixed-size command names. For the healthy process
// only: crash_sysctl_string allocates.
#include <cstddef>
#include <cstdint>

// The string fact `name` as a new zero-terminated buffer that the caller releases with free().
// Returns null with errno set on failure (ENOENT: no such name); a value that grows between the
// size query and the read is asked for again.
char* crash_sysctl_string(const char* name);

// The 32-bit fact `name` into `*result`. Returns true on success, false with errno set.
bool crash_sysctl_int(const char* name, std::int32_t* result);

// The number of leading bytes of `bytes` (at most `max_length`) that form valid UTF-8: a leading
// byte-order mark counts; the scan stops at a zero byte, a byte that cannot start a sequence, a
// sequence cut by the end, or a bad continuation byte. Overlong forms and surrogates are not
// checked.
std::size_t crash_sysctl_valid_utf8_bytes_max(const std::uint8_t* bytes, std::size_t max_length);

// The same over a zero-terminated string.
std::size_t crash_sysctl_valid_utf8_bytes(const std::uint8_t* bytes);
