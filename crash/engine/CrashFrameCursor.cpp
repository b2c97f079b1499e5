#include "crash/engine/CrashFrameCursor.h"

#include "crash/engine/CrashAsyncCompactUnwind.h"
#include "crash/engine/CrashAsyncDwarfUnwind.h"

namespace {

constexpr crash_frame_reader_t kDefaultReaders[] = {
    crash_frame_cursor_read_compact_unwind,
    crash_frame_cursor_read_dwarf_unwind,
    crash_frame_cursor_read_frame_ptr,
};

// Instruction pointers in the first page are never code: they end the walk.
constexpr std::uint64_t kLowestCodeAddress = 4096;

// Where a frame sits on the stack: its stack pointer, or its frame pointer when a reader could
// not tell the stack pointer. False when the two frames hold neither register in common.
bool samePosition(const crash_async_thread_state* a, const crash_async_thread_state* b) {
  for (crash_regnum_t id : {2, 1}) {
    if (crash_async_thread_state_has_reg(a, id) && crash_async_thread_state_has_reg(b, id)) {
      return crash_async_thread_state_get_reg(a, id) == crash_async_thread_state_get_reg(b, id);
    }
  }
  return false;
}

}  // namespace

const char* crash_frame_strerror(crash_frame_error_t error) {
  static const char* const kTexts[] = {
      "No error",         "Unknown error",       "No frames are available", "Corrupted frame",
      "Operation not supported", "Invalid argument", "Internal error",   "Invalid register",
  };
  const auto index = static_cast<std::uint32_t>(error);
  if (index >= sizeof kTexts / sizeof kTexts[0]) return "Unhandled error code";
  return kTexts[index];
}

crash_frame_error_t crash_frame_cursor_init(crash_frame_cursor* cursor, kernel::task_t task,
                                            const crash_async_thread_state* state,
                                            crash_async_image_list* image_list) {
  cursor->depth = 0;
  cursor->task = task;
  cursor->image_list = image_list;
  crash_async_thread_state_copy(&cursor->frame, state);
  return CRASH_FRAME_ESUCCESS;
}

crash_frame_error_t crash_frame_cursor_thread_init(crash_frame_cursor* cursor, kernel::task_t task,
                                                   kernel::thread_t thread, crash_async_image_list* image_list) {
  cursor->depth = 0;
  cursor->task = task;
  cursor->image_list = image_list;
  return crash_async_thread_state_mach_thread_init(&cursor->frame, thread);
}

crash_frame_error_t crash_frame_cursor_next(crash_frame_cursor* cursor) {
  return crash_frame_cursor_next_with_readers(cursor, kDefaultReaders,
                                              sizeof kDefaultReaders / sizeof kDefaultReaders[0]);
}

crash_frame_error_t crash_frame_cursor_next_with_readers(crash_frame_cursor* cursor,
                                                         const crash_frame_reader_t* readers,
                                                         std::size_t reader_count) {
  if (cursor->depth == 0) {
    cursor->depth = 1;
    return CRASH_FRAME_ESUCCESS;
  }
  const crash_async_thread_state* previous = cursor->depth == 1 ? nullptr : &cursor->prev_frame;
  if (reader_count == 0) return CRASH_FRAME_EINVAL;

  crash_async_thread_state next;
  crash_frame_error_t status = CRASH_FRAME_EUNKNOWN;
  for (std::size_t i = 0; i < reader_count; ++i) {
    status = readers[i](cursor->task, cursor->image_list, &cursor->frame, previous, &next);
    if (status == CRASH_FRAME_ESUCCESS) break;
  }
  if (status != CRASH_FRAME_ESUCCESS) return status;

  if (!crash_async_thread_state_has_reg(&next, 0)) {
    CRASH_ASYNC_LOG("Missing expected IP value in successfully read frame");
    return CRASH_FRAME_ENOFRAME;
  }
  const std::uint64_t ip = crash_async_thread_state_get_reg(&next, 0);
  if (ip <= kLowestCodeAddress) return CRASH_FRAME_ENOFRAME;
  // A frame that returns to itself at the same stack position would be handed out forever.
  if (ip == crash_async_thread_state_get_reg(&cursor->frame, 0) && samePosition(&next, &cursor->frame)) {
    CRASH_ASYNC_LOG("Frame at 0x%llx did not move the stack, terminating stack walk",
                    static_cast<unsigned long long>(ip));
    return CRASH_FRAME_EBADFRAME;
  }

  crash_async_thread_state_copy(&cursor->prev_frame, &cursor->frame);
  crash_async_thread_state_copy(&cursor->frame, &next);
  cursor->depth++;
  return CRASH_FRAME_ESUCCESS;
}

crash_frame_error_t crash_frame_cursor_get_reg(const crash_frame_cursor* cursor, crash_regnum_t regnum,
                                               std::uint64_t* value) {
  if (!crash_async_thread_state_has_reg(&cursor->frame, regnum)) return CRASH_FRAME_ENOTSUP;
  *value = crash_async_thread_state_get_reg(&cursor->frame, regnum);
  return CRASH_FRAME_ESUCCESS;
}

const char* crash_frame_cursor_get_regname(const crash_frame_cursor* cursor, crash_regnum_t regnum) {
  return crash_async_thread_state_get_reg_name(&cursor->frame, regnum);
}

std::size_t crash_frame_cursor_get_regcount(const crash_frame_cursor* cursor) {
  return crash_async_thread_state_get_reg_count(&cursor->frame);
}

void crash_frame_cursor_free(crash_frame_cursor* cursor) { cursor->task = 0; }

std::uint64_t crash_frame_lookup_address(const crash_async_thread_state* current,
                                         const crash_async_thread_state* previous) {
  const std::uint64_t ip = crash_async_thread_state_get_reg(current, 0);
  if (previous == nullptr || ip == 0) return ip;
  return ip - 1;
}

crash_frame_error_t crash_frame_cursor_read_in_image(kernel::task_t task, crash_async_image_list* image_list,
                                                     std::uint64_t pc, const crash_async_thread_state* current,
                                                     crash_async_thread_state* next, crash_frame_image_reader_t read) {
  crash_async_image_list_set_reading(image_list, true);
  crash_async_macho* image = crash_async_image_containing_address(image_list, pc);
  crash_frame_error_t status = CRASH_FRAME_ENOTSUP;
  if (image == nullptr) {
    CRASH_ASYNC_LOG("Could not find a loaded image for the current frame pc: 0x%llx", static_cast<unsigned long long>(pc));
  } else {
    status = read(task, image, pc, current, next);
  }
  crash_async_image_list_set_reading(image_list, false);
  return status;
}

crash_frame_error_t crash_frame_cursor_read_frame_ptr(kernel::task_t task, crash_async_image_list*,
                                                      const crash_async_thread_state* current,
                                                      const crash_async_thread_state* previous,
                                                      crash_async_thread_state* next) {
  if (!crash_async_thread_state_has_reg(current, 1)) {
    CRASH_ASYNC_LOG("The frame pointer is unavailable, can't read saved register.");
    return CRASH_FRAME_EBADFRAME;
  }
  const std::uint64_t fp = crash_async_thread_state_get_reg(current, 1);
  if (fp == 0) return CRASH_FRAME_ENOFRAME;

  if (previous != nullptr && crash_async_thread_state_has_reg(previous, 1)) {
    const std::uint64_t previous_fp = crash_async_thread_state_get_reg(previous, 1);
    const std::uint32_t direction = crash_async_thread_state_get_stack_direction(current);
    const bool wrong = (direction == CRASH_ASYNC_STACK_DIRECTION_DOWN && fp < previous_fp) ||
                       (direction == CRASH_ASYNC_STACK_DIRECTION_UP && fp > previous_fp);
    if (wrong) {
      CRASH_ASYNC_LOG("Stack growing in wrong direction, terminating stack walk");
      return CRASH_FRAME_EBADFRAME;
    }
  }

  const std::uint64_t word = crash_async_thread_state_get_greg_size(current);
  std::uint64_t words[2] = {0, 0};
  std::uint32_t narrow[2] = {0, 0};
  void* destination = word == 8 ? static_cast<void*>(words) : static_cast<void*>(narrow);
  const kernel::kern_return_t read = crash_async_read_addr(task, fp, destination, word * 2);
  if (read != kernel::KERN_SUCCESS) {
    CRASH_ASYNC_LOG("Failed to read frame: %d", read);
    return CRASH_FRAME_EBADFRAME;
  }
  if (word != 8) {
    words[0] = narrow[0];
    words[1] = narrow[1];
  }

  crash_async_thread_state_copy(next, current);
  crash_async_thread_state_clear_all_regs(next);
  crash_async_thread_state_set_reg(next, 1, words[0]);
  crash_async_thread_state_set_reg(next, 0, words[1]);
  return CRASH_FRAME_ESUCCESS;
}

namespace {

void* testThreadMain(void* argument) {
  auto* args = static_cast<crash_frame_test_thread*>(argument);
  pthread_mutex_lock(&args->lock);
  args->running = true;
  pthread_cond_broadcast(&args->cond);
  while (!args->stopping) pthread_cond_wait(&args->cond, &args->lock);
  pthread_mutex_unlock(&args->lock);
  return nullptr;
}

}  // namespace

crash_frame_error_t crash_frame_test_thread_spawn(crash_frame_test_thread* args) {
  pthread_mutex_init(&args->lock, nullptr);
  pthread_cond_init(&args->cond, nullptr);
  args->running = false;
  args->stopping = false;
  pthread_mutex_lock(&args->lock);
  if (pthread_create(&args->thread, nullptr, testThreadMain, args) != 0) {
    pthread_mutex_unlock(&args->lock);
    return CRASH_FRAME_EINTERNAL;
  }
  // The thread sets `running` under the lock and then waits, which releases the lock only once
  // it is inside the wait: when this loop ends the thread is parked.
  while (!args->running) pthread_cond_wait(&args->cond, &args->lock);
  pthread_mutex_unlock(&args->lock);
  return CRASH_FRAME_ESUCCESS;
}

void crash_frame_test_thread_stop(crash_frame_test_thread* args) {
  pthread_mutex_lock(&args->lock);
  args->stopping = true;
  pthread_cond_broadcast(&args->cond);
  pthread_mutex_unlock(&args->lock);
  pthread_join(args->thread, nullptr);
  pthread_cond_destroy(&args->cond);
  pthread_mutex_destroy(&args->lock);
}
