#pragma once
// crash_writer_pack is the crash report file's field encoder: it writes one field of the message
// wire format at a time, straight to the crash-safe buffered file (or any output), so that a
// dying process can produce a report without the message runtime, without allocating and
// without locks. Messages are nested by the caller: encode the nested message once with no output
// to learn its size, pack a CRASH_WRITER_TYPE_MESSAGE field with that size, then encode the nested
// message again with the output. Repeated fields are packed one element at a time (never in
// packed form).
//
// Everything here is async-signal-safe and reentrant; it keeps no state.
#include <cstddef>
#include <cstdint>

#include "crash/engine/CrashAsyncFile.h"

// Field types, numbered as the message runtime numbers them. What `value` points at for each is
// given beside it.
enum crash_writer_type : std::uint32_t {
  CRASH_WRITER_TYPE_INT32 = 0,     // const int32_t*
  CRASH_WRITER_TYPE_SINT32 = 1,    // const int32_t*
  CRASH_WRITER_TYPE_SFIXED32 = 2,  // const int32_t*
  CRASH_WRITER_TYPE_INT64 = 3,     // const int64_t*
  CRASH_WRITER_TYPE_SINT64 = 4,    // const int64_t*
  CRASH_WRITER_TYPE_SFIXED64 = 5,  // const int64_t*
  CRASH_WRITER_TYPE_UINT32 = 6,    // const uint32_t*
  CRASH_WRITER_TYPE_FIXED32 = 7,   // const uint32_t*
  CRASH_WRITER_TYPE_UINT64 = 8,    // const uint64_t*
  CRASH_WRITER_TYPE_FIXED64 = 9,   // const uint64_t*
  CRASH_WRITER_TYPE_FLOAT = 10,    // const float*
  CRASH_WRITER_TYPE_DOUBLE = 11,   // const double*
  CRASH_WRITER_TYPE_BOOL = 12,     // const bool*
  CRASH_WRITER_TYPE_ENUM = 13,     // const int32_t*
  CRASH_WRITER_TYPE_STRING = 14,   // const char*, NUL-terminated UTF-8; null is written as ""
  CRASH_WRITER_TYPE_BYTES = 15,    // const crash_writer_bytes*; null data is written as no bytes
  CRASH_WRITER_TYPE_MESSAGE = 16,  // const uint32_t*: the byte length of the nested message
};

// The value of a bytes field: `length` bytes at `data`.
struct crash_writer_bytes {
  std::size_t length;
  const void* data;
};

// Where packed bytes go: `write(context, data, length)` receives each piece in order. At crash
// time it must be async-signal-safe. Its result is not examined: like the report writer, the
// encoder goes on after a refused write, and the count it returns is that of the encoding.
struct crash_writer_output {
  void* context;
  bool (*write)(void* context, const void* data, std::size_t length);
};

// Encodes the field `field_id` of type `type` with the value at `value` (see the table above) to
// `file` and returns the number of bytes of its key and value. With a null `file` nothing is
// written and the same count is returned (the dry run that sizes nested messages). A message
// field writes only its key and length; the caller writes the contents next. A type outside the
// table is a programming error: a diagnostic line goes to standard error and the process aborts.
std::size_t crash_writer_pack(crash_async_file* file, std::uint32_t field_id, crash_writer_type type,
                              const void* value);

// The same, to any output (null: the dry run).
std::size_t crash_writer_pack_to(const crash_writer_output* output, std::uint32_t field_id,
                                 crash_writer_type type, const void* value);
