#pragma once
// The crash log writer produces a crash report file from inside a process that may be dying.
// What needs the heap or the system's services is gathered beforehand into a writer record
// (crash_log_writer_init); crash_log_writer_write then uses only async-signal-safe calls: it stops
// the other threads, walks every thread's stack, lists the loaded images and writes the report
// field by field through a crash-safe file. Each nested message is encoded twice, first only to
// count its bytes (its length goes before it), then to the file.
//
// A file with a size limit gets a report that still decodes: room is kept for the signal and the
// exception first, then the crashed thread, then the images; the other threads, and then images,
// that would no longer fit are left out whole.
#include <cstddef>
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncFile.h"
#include "crash/engine/CrashAsyncImageList.h"
#include "crash/engine/CrashAsyncThreadState.h"

// The most frames written for one thread or one exception backtrace.
inline constexpr std::size_t CRASH_LOG_WRITER_MAX_FRAMES = 512;

// An uncaught exception recorded for the report.
struct crash_log_writer_exception {
  bool has_exception;
  char* name;
  char* reason;
  std::uint64_t* callstack;  // return addresses, innermost first
  std::size_t callstack_count;
};

// The facts a report needs that cannot be learnt at crash time. Strings are heap copies owned by
// the record (null: unknown); released by crash_log_writer_free.
struct crash_log_writer {
  std::uint32_t symbolication_flags;  // CRASH_ASYNC_SYMBOL_STRATEGY_* bits
  bool user_requested;
  std::uint8_t uuid[16];
  char* os_version;
  char* os_build;
  char* model;
  std::uint64_t cpu_type;
  std::uint64_t cpu_subtype;
  std::uint32_t processor_count;
  std::uint32_t logical_processor_count;
  char* app_identifier;
  char* app_version;
  char* app_marketing_version;
  char* process_name;
  std::uint32_t process_id;
  char* process_path;
  std::uint64_t start_time;  // seconds since 1970
  char* parent_process_name;
  std::uint32_t parent_process_id;
  bool native;
  crash_log_writer_exception uncaught_exception;
};

// The signal a report shows, in the numbering of crash reports (CrashAsyncSignalInfo.h).
struct crash_log_bsd_signal_info {
  std::int32_t signo;
  std::int32_t code;
  std::uint64_t address;
};

// The exception the signal came as, when it came as one.
struct crash_log_mach_signal_info {
  std::int64_t type;
  const std::int64_t* codes;
  std::size_t code_count;
};

// What ended the process: the signal (required) and its exception (or null).
struct crash_log_signal_info {
  const crash_log_bsd_signal_info* bsd_info;
  const crash_log_mach_signal_info* mach_info;
};

// Fills `writer` (any previous contents are overwritten, not freed) for the calling process with
// the application's identifier, version and marketing version (null: none), the symbolication
// flags and whether a user asked for the report. Every fact that can be learnt is filled even
// when another cannot. Returns 0; 5 when the process itself cannot be described (its name, id and
// start time stay unknown); 6 when the system version cannot be read. Facts that are missing are
// logged and written as unknown, so the record is usable whatever the result. Not crash-safe.
crash_error_t crash_log_writer_init(crash_log_writer* writer, const char* app_identifier, const char* app_version,
                                    const char* app_marketing_version, std::uint32_t symbolication_flags,
                                    bool user_requested);

// Records an uncaught exception: its name, reason and return addresses (copied). Once per
// record; a second call is a programming error (diagnostic line and abort). Ends with a full
// memory barrier, so that a crash on another thread sees it. Not crash-safe (it copies).
void crash_log_writer_set_exception(crash_log_writer* writer, const char* name, const char* reason,
                                    const std::uint64_t* callstack, std::size_t callstack_count);

// Writes the whole report to `file`: every thread of the process (the calling one only when
// `current_state` gives its registers), marking `crashed_thread` as crashed with its registers;
// the images of `image_list`; the exception, when one was recorded; and `signal_info`. Stops the
// other threads for the time it runs and lets them go again. Returns 0; failures of the file are
// left for the caller to find when it flushes and closes. Async-signal-safe. When `crashed_thread`
// is the calling thread, `current_state` must be given (a programming error otherwise).
crash_error_t crash_log_writer_write(crash_log_writer* writer, kernel::thread_t crashed_thread,
                                     crash_async_image_list* image_list, crash_async_file* file,
                                     const crash_log_signal_info* signal_info,
                                     const crash_async_thread_state* current_state);

// Returns 0; there is nothing to finish.
crash_error_t crash_log_writer_close(crash_log_writer* writer);

// Releases every string and array of the record and clears it. Not crash-safe.
void crash_log_writer_free(crash_log_writer* writer);
