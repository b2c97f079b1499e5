// A live report of a process with many threads, each parked in the C library under the C++
// library's thread entry: it is written in silence, and every frame of those threads comes from
// the call-frame information, down to the thread's entry point.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash/engine/CrashAsyncDwarfUnwind.h"
#include "crash/engine/CrashFrameCursor.h"
#include "crash/engine/CrashReport.h"
#include "crash/engine/CrashReporter.h"
#include "platform/kernel/ThreadControl.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/crash/engine/UnwindSupport.h"

namespace {

// Whether the kernel reports `tid` asleep. Each parked thread has one place to sleep in.
bool sleeping(pid_t tid) {
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && line.compare(close + 2, 1, "S") == 0;
}

// Waits until `tid` sleeps; fails the test if that takes longer than any load explains.
void waitUntilSleeping(pid_t tid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!sleeping(tid)) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "thread " << tid << " never went back to sleep";
      return;
    }
    std::this_thread::yield();
  }
}

// Threads that wait on one condition until destroyed.
class ParkedThreads {
 public:
  explicit ParkedThreads(int count) {
    for (int i = 0; i < count; ++i) {
      threads_.emplace_back([this] {
        std::unique_lock<std::mutex> held(lock_);
        tids_.push_back(gettid());
        wake_.notify_all();
        wake_.wait(held, [this] { return stopping_; });
      });
    }
    std::unique_lock<std::mutex> held(lock_);
    // The last thread gives the lock back only inside its wait.
    wake_.wait(held, [&] { return tids_.size() == static_cast<std::size_t>(count); });
    held.unlock();
    waitUntilAsleep();
  }
  ~ParkedThreads() {
    {
      std::lock_guard<std::mutex> held(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (auto& thread : threads_) thread.join();
  }
  ParkedThreads(const ParkedThreads&) = delete;
  ParkedThreads& operator=(const ParkedThreads&) = delete;

  const std::vector<pid_t>& tids() const { return tids_; }
  // Until every thread sleeps in its wait again (after a suspension, say).
  void waitUntilAsleep() const {
    for (pid_t tid : tids_) waitUntilSleeping(tid);
  }

 private:
  std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;
  std::vector<pid_t> tids_;
  std::vector<std::thread> threads_;
};

// Stands in for the frame-pointer reader behind the DWARF reader, and counts the steps that
// would have fallen back to it.
std::atomic<int> gFallbacks{0};
crash_frame_error_t countFallback(kernel::task_t, crash_async_image_list*, const crash_async_thread_state*,
                                  const crash_async_thread_state*, crash_async_thread_state*) {
  gFallbacks.fetch_add(1);
  return CRASH_FRAME_EUNKNOWN;
}

struct Walk {
  std::vector<std::uint64_t> pcs;
  crash_frame_error_t end = CRASH_FRAME_ESUCCESS;
};

// Walks the suspended `tid` with the DWARF reader and the counter behind it.
Walk walkThroughDwarf(pid_t tid, crash_async_image_list* list) {
  const crash_frame_reader_t readers[] = {crash_frame_cursor_read_dwarf_unwind, countFallback};
  Walk walk;
  crash_frame_cursor cursor;
  EXPECT_EQ(crash_frame_cursor_thread_init(&cursor, kernel::task_self(), tid, list), CRASH_FRAME_ESUCCESS);
  while (walk.pcs.size() < 100) {
    walk.end = crash_frame_cursor_next_with_readers(&cursor, readers, 2);
    if (walk.end != CRASH_FRAME_ESUCCESS) break;
    std::uint64_t pc = 0;
    crash_frame_cursor_get_reg(&cursor, 0, &pc);
    walk.pcs.push_back(pc);
  }
  crash_frame_cursor_free(&cursor);
  return walk;
}

std::vector<std::uint64_t> framesOf(const CrashReportThreadInfo& thread) {
  std::vector<std::uint64_t> pcs;
  for (const auto& frame : thread.stackFrames()) pcs.push_back(frame->instructionPointer());
  return pcs;
}

TEST(LiveReport, ManyThreadsAreWalkedThroughTheirCallFrameInformationInSilence) {
  constexpr int kThreads = 20;
  ParkedThreads parked(kThreads);
  const auto reporter = CrashReporter::initWithApplicationIdentifier(
      "org.quillmere.tests/live", "1", "1.0",
      std::make_shared<CrashReporterConfig>(CrashReporterSignalHandlerTypeBSD,
                                            CrashReporterSymbolicationStrategySymbolTable));

  // At the default level nothing reaches standard error.
  const crash_async_log_level saved = crash_async_log_get_level();
  crash_async_log_set_level(CRASH_ASYNC_LOG_QUIET);
  foundation::Error error;
  std::optional<foundation::Data> data;
  std::string written;
  {
    test::StderrCapture capture(test::StderrCapture::Level::Unchanged);
    data = reporter->generateLiveReport(&error);
    written = capture.text();
  }
  crash_async_log_set_level(saved);
  ASSERT_TRUE(data.has_value()) << error.description();
  EXPECT_EQ(written, "");
  const auto report = CrashReport::initWithData(*data, &error);
  ASSERT_NE(report, nullptr) << error.description();
  ASSERT_GE(report->threads().size(), static_cast<std::size_t>(kThreads + 1));

  // Each parked thread again, walked by the DWARF reader alone: it reaches the thread's entry
  // point and says there is no caller beyond it, and the report holds the same frames.
  parked.waitUntilAsleep();
  test::ImageListHolder images(true);
  for (pid_t tid : parked.tids()) {
    SCOPED_TRACE(tid);
    gFallbacks.store(0);
    ASSERT_EQ(kernel::thread_suspend(tid), kernel::KERN_SUCCESS);
    const Walk walk = walkThroughDwarf(tid, &images.list);
    ASSERT_EQ(kernel::thread_resume(tid), kernel::KERN_SUCCESS);
    EXPECT_EQ(gFallbacks.load(), 0);
    EXPECT_EQ(walk.end, CRASH_FRAME_ENOFRAME);
    ASSERT_GE(walk.pcs.size(), 4u);

    bool inLibc = false;
    bool inLibstdcxx = false;
    for (std::uint64_t pc : walk.pcs) {
      const auto image = report->imageForAddress(pc);
      ASSERT_NE(image, nullptr) << std::hex << pc;
      inLibc |= image->imageName().find("/libc.so") != std::string::npos;
      inLibstdcxx |= image->imageName().find("/libstdc++.so") != std::string::npos;
    }
    EXPECT_TRUE(inLibc);
    EXPECT_TRUE(inLibstdcxx);
    EXPECT_NE(report->imageForAddress(walk.pcs.back())->imageName().find("/libc.so"), std::string::npos)
        << "the walk ends at the thread's start in the C library";

    int same = 0;
    for (const auto& thread : report->threads()) same += framesOf(*thread) == walk.pcs;
    EXPECT_GE(same, kThreads) << "every parked thread has these frames in the report";
  }
}

}  // namespace
