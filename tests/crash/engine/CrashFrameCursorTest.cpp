#include "crash/engine/CrashFrameCursor.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "platform/kernel/Sysctl.h"
#include "platform/kernel/VirtualMemory.h"
#include "tests/crash/engine/StderrCapture.h"

namespace {

crash_async_thread_state x86_64State(std::uint64_t ip, std::uint64_t fp) {
  crash_async_thread_state state;
  crash_async_thread_state_init(&state, kernel::CPU_TYPE_X86_64);
  crash_async_thread_state_set_reg(&state, CRASH_X86_64_RIP, ip);
  crash_async_thread_state_set_reg(&state, CRASH_X86_64_RBP, fp);
  return state;
}

// Readers whose answers and calls the tests script.
struct ScriptedReaders {
  struct Call {
    std::uint64_t current_ip;
    bool had_previous;
  };
  std::vector<Call> calls;
  crash_frame_error_t status = CRASH_FRAME_ESUCCESS;
  std::uint64_t next_ip = 0x5000;
  std::uint64_t next_sp = 0x7000;
  bool set_ip = true;
};
ScriptedReaders gScript;

crash_frame_error_t scriptedReader(kernel::task_t, crash_async_image_list*, const crash_async_thread_state* current,
                                   const crash_async_thread_state* previous, crash_async_thread_state* next) {
  gScript.calls.push_back({crash_async_thread_state_get_reg(current, 0), previous != nullptr});
  if (gScript.status != CRASH_FRAME_ESUCCESS) return gScript.status;
  crash_async_thread_state_copy(next, current);
  crash_async_thread_state_clear_all_regs(next);
  if (gScript.set_ip) crash_async_thread_state_set_reg(next, 0, gScript.next_ip);
  crash_async_thread_state_set_reg(next, 2, gScript.next_sp);
  gScript.next_ip += 0x10;
  gScript.next_sp += 0x10;
  return CRASH_FRAME_ESUCCESS;
}

crash_frame_error_t failsNotSupported(kernel::task_t, crash_async_image_list*, const crash_async_thread_state*,
                                      const crash_async_thread_state*, crash_async_thread_state*) {
  return CRASH_FRAME_ENOTSUP;
}

crash_frame_error_t failsCorrupt(kernel::task_t, crash_async_image_list*, const crash_async_thread_state*,
                                 const crash_async_thread_state*, crash_async_thread_state*) {
  return CRASH_FRAME_EBADFRAME;
}

class FrameCursor : public ::testing::Test {
 protected:
  void SetUp() override {
    gScript = ScriptedReaders{};
    const crash_async_thread_state start = x86_64State(0x4000, 0x9000);
    crash_async_thread_state_set_reg(const_cast<crash_async_thread_state*>(&start), CRASH_X86_64_RSP, 0x6000);
    ASSERT_EQ(crash_frame_cursor_init(&cursor_, kernel::task_self(), &start, nullptr), CRASH_FRAME_ESUCCESS);
  }
  void TearDown() override { crash_frame_cursor_free(&cursor_); }

  crash_frame_error_t step(std::initializer_list<crash_frame_reader_t> readers) {
    std::vector<crash_frame_reader_t> list(readers);
    return crash_frame_cursor_next_with_readers(&cursor_, list.data(), list.size());
  }
  std::uint64_t ip() {
    std::uint64_t value = 0;
    EXPECT_EQ(crash_frame_cursor_get_reg(&cursor_, 0, &value), CRASH_FRAME_ESUCCESS);
    return value;
  }

  crash_frame_cursor cursor_;
};

TEST_F(FrameCursor, FirstStepHandsOutTheStartingStateAndLaterStepsPassThePreviousFrame) {
  ASSERT_EQ(step({scriptedReader}), CRASH_FRAME_ESUCCESS);
  EXPECT_TRUE(gScript.calls.empty());
  EXPECT_EQ(ip(), 0x4000u);
  EXPECT_EQ(cursor_.depth, 1u);

  ASSERT_EQ(step({scriptedReader}), CRASH_FRAME_ESUCCESS);
  ASSERT_EQ(step({scriptedReader}), CRASH_FRAME_ESUCCESS);
  ASSERT_EQ(gScript.calls.size(), 2u);
  EXPECT_EQ(gScript.calls[0].current_ip, 0x4000u);
  EXPECT_FALSE(gScript.calls[0].had_previous);  // the first frame is where the thread stopped
  EXPECT_EQ(gScript.calls[1].current_ip, 0x5000u);
  EXPECT_TRUE(gScript.calls[1].had_previous);
  EXPECT_EQ(ip(), 0x5010u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&cursor_.prev_frame, 0), 0x5000u);
  EXPECT_EQ(cursor_.depth, 3u);

  std::uint64_t value = 0;
  EXPECT_EQ(crash_frame_cursor_get_reg(&cursor_, CRASH_X86_64_RBX, &value), CRASH_FRAME_ENOTSUP);
  EXPECT_STREQ(crash_frame_cursor_get_regname(&cursor_, CRASH_X86_64_RSP), "rsp");
  EXPECT_EQ(crash_frame_cursor_get_regcount(&cursor_), 21u);
}

TEST_F(FrameCursor, ReadersAreAskedInOrderUntilOneSucceeds) {
  ASSERT_EQ(step({}), CRASH_FRAME_ESUCCESS);  // the first step runs no reader at all
  EXPECT_EQ(step({}), CRASH_FRAME_EINVAL);
  EXPECT_EQ(step({failsCorrupt}), CRASH_FRAME_EBADFRAME);
  EXPECT_EQ(step({failsNotSupported, failsCorrupt}), CRASH_FRAME_EBADFRAME);
  EXPECT_EQ(step({failsCorrupt, failsNotSupported}), CRASH_FRAME_ENOTSUP);
  EXPECT_EQ(ip(), 0x4000u);  // failed steps leave the cursor alone
  EXPECT_EQ(cursor_.depth, 1u);

  EXPECT_EQ(step({failsNotSupported, scriptedReader, failsCorrupt}), CRASH_FRAME_ESUCCESS);
  EXPECT_EQ(ip(), 0x5000u);
}

TEST_F(FrameCursor, InstructionPointersInTheFirstPageEndTheWalk) {
  ASSERT_EQ(step({scriptedReader}), CRASH_FRAME_ESUCCESS);
  gScript.next_ip = 4096;
  EXPECT_EQ(step({scriptedReader}), CRASH_FRAME_ENOFRAME);
  EXPECT_EQ(ip(), 0x4000u);
  gScript.next_ip = 4097;
  EXPECT_EQ(step({scriptedReader}), CRASH_FRAME_ESUCCESS);
  EXPECT_EQ(ip(), 4097u);
}

TEST_F(FrameCursor, AFrameWithoutInstructionPointerEndsTheWalk) {
  ASSERT_EQ(step({scriptedReader}), CRASH_FRAME_ESUCCESS);
  gScript.set_ip = false;
  test::StderrCapture stderrCapture;
  EXPECT_EQ(step({scriptedReader}), CRASH_FRAME_ENOFRAME);
  EXPECT_NE(stderrCapture.text().find("Missing expected IP value in successfully read frame"), std::string::npos);
}

TEST_F(FrameCursor, AFrameThatDoesNotMoveIsRefusedInsteadOfRepeatedForever) {
  ASSERT_EQ(step({scriptedReader}), CRASH_FRAME_ESUCCESS);
  gScript.next_ip = 0x4000;
  gScript.next_sp = 0x6000;
  test::StderrCapture stderrCapture;
  EXPECT_EQ(step({scriptedReader}), CRASH_FRAME_EBADFRAME);
  EXPECT_EQ(cursor_.depth, 1u);
  // The same code further up the stack is a real frame (recursion).
  gScript.next_ip = 0x4000;
  gScript.next_sp = 0x6100;
  EXPECT_EQ(step({scriptedReader}), CRASH_FRAME_ESUCCESS);
}

TEST(FrameCursorTexts, EveryStatusHasItsText) {
  const char* const expected[] = {"No error",          "Unknown error",           "No frames are available",
                                  "Corrupted frame",   "Operation not supported", "Invalid argument",
                                  "Internal error",    "Invalid register",        "Unhandled error code"};
  for (int code = 0; code < 9; ++code) EXPECT_STREQ(crash_frame_strerror(code), expected[code]) << code;
  EXPECT_STREQ(crash_frame_strerror(-1), "Unhandled error code");
}

TEST(FrameCursorLookup, ReturnAddressesAreLookedUpAtTheCallInstruction) {
  const crash_async_thread_state current = x86_64State(0x4000, 0);
  EXPECT_EQ(crash_frame_lookup_address(&current, nullptr), 0x4000u);
  EXPECT_EQ(crash_frame_lookup_address(&current, &current), 0x3fffu);
}

// A stack of saved frame-pointer pairs in real memory, followed by an unreadable page.
class FramePointerReader : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::uint64_t page = kernel::vm_page_size();
    ASSERT_EQ(kernel::vm_allocate(2 * page, &memory_), kernel::KERN_SUCCESS);
    guard_ = memory_ + page;
    ASSERT_EQ(kernel::vm_deallocate(guard_, page), kernel::KERN_SUCCESS);
  }
  void TearDown() override { kernel::vm_deallocate(memory_, kernel::vm_page_size()); }

  std::uint64_t* words(std::uint64_t offset) { return reinterpret_cast<std::uint64_t*>(memory_ + offset); }

  std::uint64_t memory_ = 0;
  std::uint64_t guard_ = 0;
};

TEST_F(FramePointerReader, FollowsTheSavedFramePointerAndReturnAddress) {
  words(0x100)[0] = memory_ + 0x200;
  words(0x100)[1] = 0x401234;
  crash_async_thread_state current = x86_64State(0x400000, memory_ + 0x100);
  crash_async_thread_state_set_reg(&current, CRASH_X86_64_RBX, 7);
  crash_async_thread_state next;
  ASSERT_EQ(crash_frame_cursor_read_frame_ptr(kernel::task_self(), nullptr, &current, nullptr, &next),
            CRASH_FRAME_ESUCCESS);
  EXPECT_EQ(next.valid_regs, 0b11u);  // only rip and rbp
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x401234u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBP), memory_ + 0x200);

  // A previous frame at the same frame pointer is allowed.
  ASSERT_EQ(crash_frame_cursor_read_frame_ptr(kernel::task_self(), nullptr, &current, &current, &next),
            CRASH_FRAME_ESUCCESS);
}

TEST(FramePointerReader32, ReadsFourByteWordsZeroExtended) {
  // A 32-bit state holds 32-bit addresses, so the stack has to lie below 4 GiB.
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  const auto address = reinterpret_cast<std::uint64_t>(page);
  auto* narrow = static_cast<std::uint32_t*>(page);
  narrow[0] = 0x8000f000;
  narrow[1] = 0x90001234;
  crash_async_thread_state current;
  crash_async_thread_state_init(&current, kernel::CPU_TYPE_X86);
  crash_async_thread_state_set_reg(&current, CRASH_X86_EIP, 0x1000);
  crash_async_thread_state_set_reg(&current, CRASH_X86_EBP, address);
  crash_async_thread_state next;
  EXPECT_EQ(crash_frame_cursor_read_frame_ptr(kernel::task_self(), nullptr, &current, nullptr, &next),
            CRASH_FRAME_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_EBP), 0x8000f000u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_EIP), 0x90001234u);
  munmap(page, 4096);
}

TEST_F(FramePointerReader, RefusesBadFrames) {
  words(0x100)[0] = memory_ + 0x200;
  words(0x100)[1] = 0x401234;
  crash_async_thread_state next;
  const crash_async_thread_state higher = x86_64State(0x400000, memory_ + 0x180);
  const crash_async_thread_state current = x86_64State(0x400000, memory_ + 0x100);
  const crash_async_thread_state at_guard = x86_64State(0x400000, guard_ - 8);  // second word unreadable
  const crash_async_thread_state at_zero = x86_64State(0x400000, 0);
  crash_async_thread_state no_fp = current;
  crash_async_thread_state_clear_reg(&no_fp, CRASH_X86_64_RBP);
  crash_async_thread_state upward = current;
  upward.stack_direction = CRASH_ASYNC_STACK_DIRECTION_UP;

  struct Case {
    const char* name;
    const crash_async_thread_state* current;
    const crash_async_thread_state* previous;
    crash_frame_error_t status;
    const char* log;
  } cases[] = {
      {"end of the chain", &at_zero, nullptr, CRASH_FRAME_ENOFRAME, ""},
      {"no frame pointer", &no_fp, nullptr, CRASH_FRAME_EBADFRAME,
       "The frame pointer is unavailable, can't read saved register."},
      {"below the previous frame", &current, &higher, CRASH_FRAME_EBADFRAME,
       "Stack growing in wrong direction, terminating stack walk"},
      {"above the previous on an upward stack", &upward, &at_zero, CRASH_FRAME_EBADFRAME,
       "Stack growing in wrong direction"},
      {"unreadable", &at_guard, nullptr, CRASH_FRAME_EBADFRAME, "Failed to read frame: "},
  };
  for (const Case& c : cases) {
    test::StderrCapture stderrCapture;
    EXPECT_EQ(crash_frame_cursor_read_frame_ptr(kernel::task_self(), nullptr, c.current, c.previous, &next), c.status)
        << c.name;
    EXPECT_NE(stderrCapture.text().find(c.log), std::string::npos) << c.name;
  }
}

}  // namespace
