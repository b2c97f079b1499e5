// Walks of real stacks: threads of this process stopped inside the C library, with call chains
// built with and without frame pointers, and a call that never returns.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "crash/engine/CrashAsyncCompactUnwind.h"
#include "crash/engine/CrashAsyncDwarfUnwind.h"
#include "crash/engine/CrashAsyncMachO.h"
#include "crash/engine/CrashFrameCursor.h"
#include "platform/kernel/ThreadControl.h"
#include "tests/crash/engine/MachOFixture.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/crash/engine/UnwindSupport.h"

extern "C" {

int qm_nofp_outer(int fd);

// The same chain as StackWalkNoFramePointer.cpp, built with frame pointers like the rest.
__attribute__((noinline)) int qm_fp_inner(int fd) {
  volatile char buffer[48];
  buffer[0] = 0;
  return static_cast<int>(read(fd, const_cast<char*>(buffer), 1)) + buffer[0];
}
__attribute__((noinline)) int qm_fp_middle(int fd) { return qm_fp_inner(fd) * 3 + fd; }
__attribute__((noinline)) int qm_fp_outer(int fd) { return qm_fp_middle(fd) * 5 + fd; }

// Blocks until a byte arrives, then ends the thread: it never returns to its caller.
[[noreturn]] __attribute__((noinline)) void qm_walk_park_forever(int fd) {
  char byte = 0;
  [[maybe_unused]] const ssize_t got = read(fd, &byte, 1);
  pthread_exit(nullptr);
}

// qm_walk_noreturn_caller reserves a frame and ends with its call of qm_walk_park_forever, so the
// return address of that call is the first byte of qm_walk_after_noreturn, whose rules differ.
void qm_walk_noreturn_caller(int fd);
extern char qm_walk_after_noreturn[];
asm(R"(
    .text
    .globl qm_walk_noreturn_caller
    .type qm_walk_noreturn_caller, @function
qm_walk_noreturn_caller:
    .cfi_startproc
    subq $40, %rsp
    .cfi_def_cfa_offset 48
    call qm_walk_park_forever
    .cfi_endproc
    .size qm_walk_noreturn_caller, .-qm_walk_noreturn_caller
    .globl qm_walk_after_noreturn
    .type qm_walk_after_noreturn, @function
qm_walk_after_noreturn:
    .cfi_startproc
    ret
    .cfi_endproc
    .size qm_walk_after_noreturn, .-qm_walk_after_noreturn
)");

__attribute__((noinline)) int qm_walk_noreturn_entry(int fd) {
  qm_walk_noreturn_caller(fd);
  return fd;
}

}  // extern "C"

namespace {

// A thread that runs `body` with the read end of a pipe and blocks in it until released.
class BlockedThread {
 public:
  explicit BlockedThread(std::function<void(int)> body) {
    EXPECT_EQ(pipe(fds_), 0);
    thread_ = std::thread([this, body] {
      tid_ = gettid();
      body(fds_[0]);
    });
    waitUntilSleeping();
  }
  ~BlockedThread() {
    [[maybe_unused]] const ssize_t written = write(fds_[1], "x", 1);
    thread_.join();
    close(fds_[0]);
    close(fds_[1]);
  }
  pid_t tid() const { return tid_.load(); }

 private:
  // Until the thread has entered its blocking read (the kernel reports it sleeping).
  void waitUntilSleeping() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      if (tid_ != 0) {
        std::ifstream stat("/proc/self/task/" + std::to_string(tid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close != std::string::npos && line.compare(close + 2, 1, "S") == 0) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "the thread never blocked";
  }

  int fds_[2] = {-1, -1};
  std::atomic<pid_t> tid_{0};
  std::thread thread_;
};

struct Walk {
  std::vector<std::uint64_t> pcs;
  std::vector<std::string> symbols;
  crash_frame_error_t end = CRASH_FRAME_ESUCCESS;

  // Whether `names` appear as consecutive frames, in this order.
  bool hasChain(const std::vector<std::string>& names) const {
    for (std::size_t i = 0; i + names.size() <= symbols.size(); ++i) {
      bool match = true;
      for (std::size_t j = 0; j < names.size() && match; ++j) match = symbols[i + j] == names[j];
      if (match) return true;
    }
    return false;
  }
  bool has(const std::string& part) const {
    for (const std::string& s : symbols) {
      if (s.find(part) != std::string::npos) return true;
    }
    return false;
  }
  std::string describe() const {
    std::string text;
    for (std::size_t i = 0; i < pcs.size(); ++i) {
      char line[64];
      snprintf(line, sizeof line, "#%zu 0x%llx ", i, static_cast<unsigned long long>(pcs[i]));
      text += line + symbols[i] + "\n";
    }
    return text + "ended with: " + crash_frame_strerror(end);
  }
};

// Suspends `tid`, walks its stack with `readers` (the default list when empty) and resumes it.
Walk walkThread(pid_t tid, crash_async_image_list* list, std::vector<crash_frame_reader_t> readers = {}) {
  Walk walk;
  EXPECT_EQ(kernel::thread_suspend(tid), kernel::KERN_SUCCESS);
  crash_frame_cursor cursor;
  EXPECT_EQ(crash_frame_cursor_thread_init(&cursor, kernel::task_self(), tid, list), CRASH_FRAME_ESUCCESS);
  while (walk.pcs.size() < 100) {
    walk.end = readers.empty() ? crash_frame_cursor_next(&cursor)
                               : crash_frame_cursor_next_with_readers(&cursor, readers.data(), readers.size());
    if (walk.end != CRASH_FRAME_ESUCCESS) break;
    std::uint64_t pc = 0;
    crash_frame_cursor_get_reg(&cursor, 0, &pc);
    walk.pcs.push_back(pc);
    walk.symbols.push_back(test::symbolAt(list, pc));
  }
  crash_frame_cursor_free(&cursor);
  EXPECT_EQ(kernel::thread_resume(tid), kernel::KERN_SUCCESS);
  return walk;
}

bool inImageNamed(crash_async_image_list* list, std::uint64_t pc, const char* name) {
  crash_async_image_list_set_reading(list, true);
  crash_async_macho* image = crash_async_image_containing_address(list, pc);
  const bool found = image != nullptr && std::string(image->name).find(name) != std::string::npos;
  crash_async_image_list_set_reading(list, false);
  return found;
}

class StackWalk : public ::testing::Test {
 protected:
  test::ImageListHolder images_{true};
  test::StderrCapture quiet_;  // the readers that give way write why
};

std::vector<kernel::thread_t> threads() {
  kernel::thread_t ids[256];
  std::size_t count = 0;
  EXPECT_EQ(kernel::task_threads(kernel::task_self(), ids, 256, &count), kernel::KERN_SUCCESS);
  return std::vector<kernel::thread_t>(ids, ids + std::min<std::size_t>(count, 256));
}

TEST_F(StackWalk, TheParkedTestThreadIsWalkedFromTheCLibraryToItsStart) {
  const std::vector<kernel::thread_t> before = threads();
  crash_frame_test_thread parked;
  ASSERT_EQ(crash_frame_test_thread_spawn(&parked), CRASH_FRAME_ESUCCESS);
  kernel::thread_t tid = 0;
  for (kernel::thread_t id : threads()) {
    if (std::find(before.begin(), before.end(), id) == before.end()) tid = id;
  }
  ASSERT_NE(tid, 0);
  const Walk walk = walkThread(tid, &images_.list);
  crash_frame_test_thread_stop(&parked);

  ASSERT_GE(walk.pcs.size(), 3u) << walk.describe();
  EXPECT_TRUE(inImageNamed(&images_.list, walk.pcs[0], "libc.so.6")) << walk.describe();
  EXPECT_TRUE(walk.has("testThreadMain")) << walk.describe();
  EXPECT_TRUE(inImageNamed(&images_.list, walk.pcs.back(), "libc.so.6")) << walk.describe();  // the thread's start
  EXPECT_EQ(walk.end, CRASH_FRAME_ENOFRAME) << walk.describe();
}

TEST_F(StackWalk, ChainsWithAndWithoutFramePointersAreRecoveredThroughTheCallFrameInformation) {
  struct Case {
    const char* name;
    int (*entry)(int);
    std::vector<std::string> chain;
  } cases[] = {
      {"frame pointers", qm_fp_outer, {"qm_fp_inner", "qm_fp_middle", "qm_fp_outer"}},
      {"no frame pointers", qm_nofp_outer, {"qm_nofp_inner", "qm_nofp_middle", "qm_nofp_outer"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Each walk gets a thread of its own: one just resumed may still be leaving the handler that
    // parked it, and cannot be suspended again at once.
    for (bool dwarf_only : {false, true}) {
      BlockedThread thread([&](int fd) { c.entry(fd); });
      std::vector<crash_frame_reader_t> readers;
      if (dwarf_only) readers.push_back(crash_frame_cursor_read_dwarf_unwind);
      const Walk walk = walkThread(thread.tid(), &images_.list, readers);
      ASSERT_FALSE(walk.pcs.empty());
      EXPECT_TRUE(inImageNamed(&images_.list, walk.pcs[0], "libc.so.6")) << walk.describe();
      EXPECT_TRUE(walk.hasChain(c.chain)) << walk.describe();
      EXPECT_EQ(walk.end, CRASH_FRAME_ENOFRAME) << walk.describe();
    }
  }
}

TEST_F(StackWalk, FramePointersAloneMissFramelessFunctions) {
  // What the DWARF reader adds: saved frame pointers skip every function that keeps none, so
  // the chain built without them cannot be seen through frame pointers alone.
  BlockedThread thread([](int fd) { qm_nofp_outer(fd); });
  const Walk walk = walkThread(thread.tid(), &images_.list, {crash_frame_cursor_read_frame_ptr});
  EXPECT_FALSE(walk.has("qm_nofp_middle")) << walk.describe();
}

TEST_F(StackWalk, ACallThatNeverReturnsIsUnwoundInItsOwnFunction) {
  BlockedThread thread([](int fd) { qm_walk_noreturn_entry(fd); });
  const Walk walk = walkThread(thread.tid(), &images_.list, {crash_frame_cursor_read_dwarf_unwind});
  // The return address into qm_walk_noreturn_caller is the first byte of the next function.
  const auto after = reinterpret_cast<std::uint64_t>(qm_walk_after_noreturn);
  EXPECT_NE(std::find(walk.pcs.begin(), walk.pcs.end(), after), walk.pcs.end()) << walk.describe();
  EXPECT_TRUE(walk.hasChain({"qm_walk_park_forever", "qm_walk_after_noreturn", "qm_walk_noreturn_entry"}))
      << walk.describe();
  EXPECT_EQ(walk.end, CRASH_FRAME_ENOFRAME) << walk.describe();
}

TEST_F(StackWalk, TheCursorFallsBackFromCompactUnwindToDwarfInAMachOImage) {
  // _cu_dwarf of libframes.dylib: its compact encoding defers to its FDE in __eh_frame, which
  // keeps the CFA in r12 once the prologue has run: r12 + 16, with r12 saved at CFA - 16.
  test::LoadedMachO loaded("libframes.dylib", 0);
  const test::MachOExpectations expect = test::readExpectations("libframes.dylib");
  test::ImageListHolder list;
  crash_nasync_image_list_append(&list.list, loaded.header(), loaded.path().c_str());
  std::uint64_t stack[4] = {0xc12, 0x401000, 0, 0};
  const auto cfa_base = reinterpret_cast<std::uint64_t>(&stack[0]);
  const auto start = test::x86_64State({{CRASH_X86_64_RIP, loaded.at(expect.symbol("_cu_dwarf")) + 9},
                                        {CRASH_X86_64_R12, cfa_base},
                                        {CRASH_X86_64_RSP, cfa_base - 64},
                                        {CRASH_X86_64_RBP, 0x99}});
  crash_frame_cursor cursor;
  crash_frame_cursor_init(&cursor, kernel::task_self(), &start, &list.list);
  ASSERT_EQ(crash_frame_cursor_next(&cursor), CRASH_FRAME_ESUCCESS);
  ASSERT_EQ(crash_frame_cursor_next(&cursor), CRASH_FRAME_ESUCCESS);
  std::uint64_t value = 0;
  EXPECT_EQ((crash_frame_cursor_get_reg(&cursor, CRASH_X86_64_RIP, &value), value), 0x401000u);
  EXPECT_EQ((crash_frame_cursor_get_reg(&cursor, CRASH_X86_64_RSP, &value), value), cfa_base + 16);
  EXPECT_EQ((crash_frame_cursor_get_reg(&cursor, CRASH_X86_64_R12, &value), value), 0xc12u);
  EXPECT_EQ((crash_frame_cursor_get_reg(&cursor, CRASH_X86_64_RBP, &value), value), 0x99u);

  // The DWARF reader alone: no FDE covers _cu_leaf, and no image holds address 0x10.
  crash_async_thread_state next;
  const auto leaf = test::x86_64State({{CRASH_X86_64_RIP, loaded.at(expect.symbol("_cu_leaf"))}});
  EXPECT_EQ(crash_frame_cursor_read_dwarf_unwind(kernel::task_self(), &list.list, &leaf, nullptr, &next),
            CRASH_FRAME_ENOTSUP);
  const auto nowhere = test::x86_64State({{CRASH_X86_64_RIP, 0x10}});
  EXPECT_EQ(crash_frame_cursor_read_dwarf_unwind(kernel::task_self(), &list.list, &nowhere, nullptr, &next),
            CRASH_FRAME_ENOTSUP);
  const auto noIp = test::x86_64State({{CRASH_X86_64_RSP, 0x10}});
  EXPECT_EQ(crash_frame_cursor_read_dwarf_unwind(kernel::task_self(), &list.list, &noIp, nullptr, &next),
            CRASH_FRAME_EBADFRAME);
  crash_frame_cursor_free(&cursor);
}

}  // namespace
