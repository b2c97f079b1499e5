#pragma once
// The frame cursor walks one thread's stack, frame by frame, from a starting register state
// towards the thread's entry point. Each step asks a list of frame readers, in order, to compute
// the caller's registers from the current frame's; the first that succeeds gives the next frame.
// The default list is compact unwind, DWARF call-frame information, then the saved frame pointer.
//
// A cursor is a plain record owned by its caller and used by one thread. The thread walked must
// be suspended (or be the caller, through a captured state); the cursor suspends nothing. Every
// routine here but the test-thread pair is crash-safe: no allocation, no lock.
#include <pthread.h>

#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncImageList.h"
#include "crash/engine/CrashAsyncThreadState.h"

// Status of a cursor step and of the frame readers; distinct from crash_error_t.
typedef std::int32_t crash_frame_error_t;
enum : crash_frame_error_t {
  CRASH_FRAME_ESUCCESS = 0,
  CRASH_FRAME_EUNKNOWN = 1,
  CRASH_FRAME_ENOFRAME = 2,   // no more frames: the walk is over
  CRASH_FRAME_EBADFRAME = 3,  // the frame's data is corrupt
  CRASH_FRAME_ENOTSUP = 4,
  CRASH_FRAME_EINVAL = 5,
  CRASH_FRAME_EINTERNAL = 6,
  CRASH_FRAME_EBADREG = 7,
};

// The constant text of `error`; "Unhandled error code" for any other value.
const char* crash_frame_strerror(crash_frame_error_t error);

struct crash_frame_cursor {
  kernel::task_t task;
  crash_async_image_list* image_list;  // borrowed
  std::uint32_t depth;                 // frames handed out so far
  crash_async_thread_state prev_frame;
  crash_async_thread_state frame;      // the frame most recently handed out
};

// Computes the caller's registers of `current` into `next`. `previous` is the frame handed out
// before `current`, or null when `current` is the walk's first frame (whose instruction pointer
// is where the thread stopped, not a return address).
typedef crash_frame_error_t (*crash_frame_reader_t)(kernel::task_t task, crash_async_image_list* image_list,
                                                     const crash_async_thread_state* current,
                                                     const crash_async_thread_state* previous,
                                                     crash_async_thread_state* next);

// Starts a walk of `task` at `state` (copied). Returns 0. Task handles need no reference here,
// so nothing is taken that free must give back.
crash_frame_error_t crash_frame_cursor_init(crash_frame_cursor* cursor, kernel::task_t task,
                                            const crash_async_thread_state* state,
                                            crash_async_image_list* image_list);

// Starts a walk at the registers of the suspended `thread`. Returns 0, or 6 when they cannot be
// read (the cursor must then not be stepped).
crash_frame_error_t crash_frame_cursor_thread_init(crash_frame_cursor* cursor, kernel::task_t task,
                                                   kernel::thread_t thread, crash_async_image_list* image_list);

// One step with the default readers. See crash_frame_cursor_next_with_readers.
crash_frame_error_t crash_frame_cursor_next(crash_frame_cursor* cursor);

// One step. The first step hands out the starting state itself and returns 0. Later steps return
// 0 with the next frame current; 2 when the walk is over (an instruction pointer at or below 4096,
// or a reader said so); 3 when the new frame sits exactly where the current one does, which would
// repeat forever; 5 for an empty reader list; otherwise the last reader's status. A failed step
// leaves the cursor unchanged.
crash_frame_error_t crash_frame_cursor_next_with_readers(crash_frame_cursor* cursor,
                                                         const crash_frame_reader_t* readers,
                                                         std::size_t reader_count);

// The current frame's register `regnum`: 0 with `*value` set, or 4 when the frame lacks it.
crash_frame_error_t crash_frame_cursor_get_reg(const crash_frame_cursor* cursor, crash_regnum_t regnum,
                                               std::uint64_t* value);
// The register's name, static storage.
const char* crash_frame_cursor_get_regname(const crash_frame_cursor* cursor, crash_regnum_t regnum);
// The register count of the current frame's layout.
std::size_t crash_frame_cursor_get_regcount(const crash_frame_cursor* cursor);

// Ends the walk. Nothing is held, so this only forgets the task.
void crash_frame_cursor_free(crash_frame_cursor* cursor);

// The address at which the table-driven readers look a frame up: the instruction pointer of the
// walk's first frame, and the byte before the return address for every later one, so that a
// call that never returns (the last instruction of its function) is looked up in its own
// function rather than in the next one.
std::uint64_t crash_frame_lookup_address(const crash_async_thread_state* current,
                                         const crash_async_thread_state* previous);

// Calls `read` with the image of `image_list` that holds `pc` (the frame's lookup address),
// under the list's reader mark, and returns what it returns; 4 after a diagnostic line when no
// image holds the pc. Shared by the readers that need an image's unwind tables.
typedef crash_frame_error_t (*crash_frame_image_reader_t)(kernel::task_t task, crash_async_macho* image,
                                                          std::uint64_t pc, const crash_async_thread_state* current,
                                                          crash_async_thread_state* next);
crash_frame_error_t crash_frame_cursor_read_in_image(kernel::task_t task, crash_async_image_list* image_list,
                                                     std::uint64_t pc, const crash_async_thread_state* current,
                                                     crash_async_thread_state* next, crash_frame_image_reader_t read);

// The frame-pointer reader: the caller's frame pointer and return address from the two words at
// the current frame pointer; only those two registers are valid in `next`. Returns 0; 2 at a
// frame pointer of 0; 3 without a frame pointer, when the frame pointer moves against the stack's
// direction, or when the words cannot be read.
crash_frame_error_t crash_frame_cursor_read_frame_ptr(kernel::task_t task, crash_async_image_list* image_list,
                                                      const crash_async_thread_state* current,
                                                      const crash_async_thread_state* previous,
                                                      crash_async_thread_state* next);

// A thread parked in a condition wait inside the C library, for exercising the walker on a live
// thread. Not crash-safe.
struct crash_frame_test_thread {
  pthread_t thread;
  pthread_mutex_t lock;
  pthread_cond_t cond;
  bool running;   // set by the thread once it waits
  bool stopping;  // set by stop
};

// Starts the thread and returns once it waits. Returns 0, or 6 when no thread could be started.
crash_frame_error_t crash_frame_test_thread_spawn(crash_frame_test_thread* args);
// Wakes the thread and joins it.
void crash_frame_test_thread_stop(crash_frame_test_thread* args);
