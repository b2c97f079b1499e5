#include "platform/kernel/ThreadControl.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "platform/kernel/MachineContext.h"
#include "tests/support/SpinningThread.h"

namespace {

using namespace std::chrono_literals;

// ThreadSanitizer holds an asynchronous signal back until the thread it is for next calls into the
// C library. The spinner never does, so there the park signal is never taken and a suspension can
// only time out.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_THREAD_SANITIZER() GTEST_SKIP() << "ThreadSanitizer delays the park signal to a spinning thread"
#else
#define SKIP_UNDER_THREAD_SANITIZER() static_cast<void>(0)
#endif

std::vector<kernel::thread_t> threadsOfSelf() {
  kernel::thread_t ids[256];
  std::size_t count = 0;
  EXPECT_EQ(kernel::task_threads(kernel::task_self(), ids, std::size(ids), &count), kernel::KERN_SUCCESS);
  return {ids, ids + std::min(count, std::size(ids))};
}

TEST(ThreadControl, ListsTheThreadsOfTheProcess) {
  test::SpinningThread spinner;
  const auto ids = threadsOfSelf();
  EXPECT_NE(std::find(ids.begin(), ids.end(), kernel::thread_self()), ids.end());
  EXPECT_NE(std::find(ids.begin(), ids.end(), spinner.tid()), ids.end());

  // A short array gets what fits, and the count says how many there are.
  kernel::thread_t one[1] = {0};
  std::size_t count = 0;
  EXPECT_EQ(kernel::task_threads(kernel::task_self(), one, 1, &count), kernel::KERN_SUCCESS);
  EXPECT_EQ(count, ids.size());
  EXPECT_NE(one[0], 0);

  // Another process: a fresh child has its one thread, named by its process id.
  const pid_t child = fork();
  if (child == 0) {
    pause();
    _exit(0);
  }
  kernel::thread_t childThreads[4] = {};
  EXPECT_EQ(kernel::task_threads(child, childThreads, std::size(childThreads), &count), kernel::KERN_SUCCESS);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(childThreads[0], child);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(kernel::task_threads(child, childThreads, std::size(childThreads), &count),
            kernel::KERN_INVALID_ARGUMENT);
}

TEST(ThreadControl, SuspendedThreadStopsAndShowsItsRegisters) {
  SKIP_UNDER_THREAD_SANITIZER();
  test::SpinningThread spinner;
  ASSERT_EQ(kernel::thread_suspend(spinner.tid()), kernel::KERN_SUCCESS);

  const std::uint64_t frozen = spinner.rounds();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(spinner.rounds(), frozen);

  kernel::x86_thread_state state{};
  std::uint32_t count = kernel::x86_THREAD_STATE_COUNT;
  ASSERT_EQ(kernel::thread_get_state(spinner.tid(), kernel::x86_THREAD_STATE, &state, &count),
            kernel::KERN_SUCCESS);
  EXPECT_EQ(count, kernel::x86_THREAD_STATE_COUNT);
  EXPECT_EQ(state.header.flavor, kernel::x86_THREAD_STATE64);
  EXPECT_EQ(state.header.count, static_cast<int>(kernel::x86_THREAD_STATE64_COUNT));
  EXPECT_GE(state.state64.rip, test::SpinningThread::codeStart());
  EXPECT_LT(state.state64.rip, test::SpinningThread::codeEnd());
  EXPECT_EQ(state.state64.rdi, spinner.argument());
  EXPECT_NE(state.state64.rsp, 0u);

  kernel::x86_exception_state exception{};
  count = kernel::x86_EXCEPTION_STATE_COUNT;
  ASSERT_EQ(kernel::thread_get_state(spinner.tid(), kernel::x86_EXCEPTION_STATE, &exception, &count),
            kernel::KERN_SUCCESS);
  EXPECT_EQ(exception.header.flavor, kernel::x86_EXCEPTION_STATE64);
  EXPECT_EQ(exception.header.count, static_cast<int>(kernel::x86_EXCEPTION_STATE64_COUNT));

  ASSERT_EQ(kernel::thread_resume(spinner.tid()), kernel::KERN_SUCCESS);
  while (spinner.rounds() == frozen) std::this_thread::yield();
  std::uint32_t after = kernel::x86_THREAD_STATE_COUNT;
  EXPECT_EQ(kernel::thread_get_state(spinner.tid(), kernel::x86_THREAD_STATE, &state, &after),
            kernel::KERN_FAILURE);
}

TEST(ThreadControl, SuspensionsNest) {
  SKIP_UNDER_THREAD_SANITIZER();
  test::SpinningThread spinner;
  ASSERT_EQ(kernel::thread_suspend(spinner.tid()), kernel::KERN_SUCCESS);
  ASSERT_EQ(kernel::thread_suspend(spinner.tid()), kernel::KERN_SUCCESS);
  ASSERT_EQ(kernel::thread_resume(spinner.tid()), kernel::KERN_SUCCESS);

  const std::uint64_t frozen = spinner.rounds();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(spinner.rounds(), frozen);

  ASSERT_EQ(kernel::thread_resume(spinner.tid()), kernel::KERN_SUCCESS);
  while (spinner.rounds() == frozen) std::this_thread::yield();
  EXPECT_EQ(kernel::thread_resume(spinner.tid()), kernel::KERN_FAILURE);
}

TEST(ThreadControl, RefusesWhatCannotBeSuspendedOrRead) {
  SKIP_UNDER_THREAD_SANITIZER();
  test::SpinningThread spinner;
  const kernel::thread_t gone = [&] {
    std::atomic<kernel::thread_t> id{0};
    std::thread t([&] { id = kernel::thread_self(); });
    t.join();
    return id.load();
  }();

  EXPECT_EQ(kernel::thread_suspend(kernel::thread_self()), kernel::KERN_INVALID_ARGUMENT);
  EXPECT_EQ(kernel::thread_suspend(gone), kernel::KERN_INVALID_ARGUMENT);
  EXPECT_EQ(kernel::thread_resume(spinner.tid()), kernel::KERN_FAILURE);

  kernel::x86_thread_state state{};
  std::uint32_t count = kernel::x86_THREAD_STATE_COUNT;
  EXPECT_EQ(kernel::thread_get_state(spinner.tid(), kernel::x86_THREAD_STATE, &state, &count),
            kernel::KERN_FAILURE);

  ASSERT_EQ(kernel::thread_suspend(spinner.tid()), kernel::KERN_SUCCESS);
  count = kernel::x86_THREAD_STATE_COUNT - 1;
  EXPECT_EQ(kernel::thread_get_state(spinner.tid(), kernel::x86_THREAD_STATE, &state, &count),
            kernel::KERN_INVALID_ARGUMENT);
  count = 100;
  EXPECT_EQ(kernel::thread_get_state(spinner.tid(), 12345, &state, &count), kernel::KERN_INVALID_ARGUMENT);
  ASSERT_EQ(kernel::thread_resume(spinner.tid()), kernel::KERN_SUCCESS);
}

// Such a thread would leave the park signal pending for ever; the suspender must not wait for it.
TEST(ThreadControl, ThreadBlockingTheParkSignalIsRefusedAtOnce) {
  std::atomic<kernel::thread_t> tid{0};
  std::atomic<bool> stop{false};
  std::thread blocker([&] {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    tid = kernel::thread_self();
    while (!stop) std::this_thread::sleep_for(1ms);
  });
  while (tid == 0) std::this_thread::yield();

  EXPECT_EQ(kernel::thread_suspend(tid), kernel::KERN_FAILURE);
  EXPECT_EQ(kernel::thread_resume(tid), kernel::KERN_FAILURE);
  stop = true;
  blocker.join();
}

}  // namespace
