#include "crash/engine/CrashAsyncFile.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "tests/crash/engine/StderrCapture.h"
#include "tests/support/TempDir.h"

namespace {

class AsyncFile : public testing::Test {
 protected:
  void SetUp() override {
    fd_ = open(dir_.file("out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override {
    if (fd_ >= 0) close(fd_);
  }
  std::string written() const { return test::readFile(dir_.file("out")); }

  test::TempDir dir_{"qm-async-file"};
  int fd_ = -1;
};

// A refusal is final: a smaller piece that would still fit is refused after it, so the file
// ends at the last piece accepted and has no hole where the refused one belonged.
TEST_F(AsyncFile, LimitRefusesWholeRecordsAndEverythingAfterTheFirstRefusal) {
  crash_async_file file;
  crash_async_file_init(&file, fd_, 100);
  EXPECT_TRUE(crash_async_file_write(&file, std::string(60, 'a').data(), 60));
  EXPECT_TRUE(crash_async_file_write(&file, std::string(30, 'b').data(), 30));
  EXPECT_FALSE(crash_async_file_write(&file, std::string(50, 'c').data(), 50));
  EXPECT_EQ(file.total_bytes, 90u);
  EXPECT_FALSE(crash_async_file_write(&file, std::string(10, 'd').data(), 10));
  EXPECT_FALSE(crash_async_file_write(&file, "e", 1));
  EXPECT_EQ(file.total_bytes, 90u);
  EXPECT_TRUE(crash_async_file_flush(&file));
  EXPECT_EQ(written(), std::string(60, 'a') + std::string(30, 'b'));
}

TEST_F(AsyncFile, SmallWritesAreBufferedLargeOnesGoStraightThrough) {
  crash_async_file file;
  crash_async_file_init(&file, fd_, 0);

  EXPECT_TRUE(crash_async_file_write(&file, std::string(200, 'a').data(), 200));
  EXPECT_EQ(written(), "");
  EXPECT_TRUE(crash_async_file_write(&file, std::string(100, 'b').data(), 100));
  EXPECT_EQ(written(), std::string(200, 'a'));  // flushed before the 100 were buffered
  EXPECT_EQ(file.buffer_len, 100u);

  EXPECT_TRUE(crash_async_file_flush(&file));
  EXPECT_EQ(file.buffer_len, 0u);
  EXPECT_TRUE(crash_async_file_write(&file, std::string(300, 'c').data(), 300));
  EXPECT_EQ(file.buffer_len, 0u);
  EXPECT_EQ(written(), std::string(200, 'a') + std::string(100, 'b') + std::string(300, 'c'));

  EXPECT_TRUE(crash_async_file_write(&file, "tail", 4));
  EXPECT_TRUE(crash_async_file_close(&file));
  fd_ = -1;
  EXPECT_EQ(written().substr(600), "tail");
}

TEST_F(AsyncFile, FailedWritesAreReportedAndTheRecordStaysUsable) {
  crash_async_file file;
  crash_async_file_init(&file, -1, 0);
  test::StderrCapture capture;
  EXPECT_TRUE(crash_async_file_write(&file, "abc", 3));  // only buffered
  EXPECT_FALSE(crash_async_file_flush(&file));
  EXPECT_EQ(file.buffer_len, 3u);
  EXPECT_FALSE(crash_async_file_write(&file, std::string(300, 'x').data(), 300));
  EXPECT_FALSE(crash_async_file_close(&file));  // the flush fails: nothing is closed
  const std::string log = capture.text();
  EXPECT_NE(log.find("crash_async_file_flush:"), std::string::npos) << log;
  EXPECT_NE(log.find(": Error occured writing to crash log: Bad file descriptor\n"), std::string::npos) << log;

  file.fd = fd_;
  EXPECT_TRUE(crash_async_file_flush(&file));
  EXPECT_EQ(written(), "abc");
}

TEST_F(AsyncFile, CloseFailureIsReported) {
  crash_async_file file;
  crash_async_file_init(&file, -1, 0);
  test::StderrCapture capture;
  EXPECT_FALSE(crash_async_file_close(&file));
  EXPECT_NE(capture.text().find(": Error closing file: Bad file descriptor\n"), std::string::npos);
}

std::atomic<int> gInterruptions{0};
void countInterruption(int) { gInterruptions.fetch_add(1); }

// Whether `tid` sleeps in a write to the pipe `fds`: the kernel reports it asleep, and the pipe is
// full, so a write has nowhere to put its bytes.
bool blockedWriting(pid_t tid, const int fds[2]) {
  int queued = 0;
  if (ioctl(fds[0], FIONREAD, &queued) != 0 || queued < fcntl(fds[1], F_GETPIPE_SZ)) return false;
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const auto close = line.rfind(')');
  return close != std::string::npos && line.compare(close + 2, 1, "S") == 0;
}

// A write blocked on a full pipe is interrupted by signals (installed without SA_RESTART, so the
// call returns early: with the bytes it wrote, or with EINTR) and must go on until every byte is
// through, in order. Each signal is sent once the writer sleeps in its write again, and the next
// only after the handler ran.
TEST(AsyncWrite, InterruptedAndPartialWritesAreCarriedOn) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  struct sigaction action {};
  action.sa_handler = countInterruption;
  sigemptyset(&action.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &saved), 0);
  gInterruptions.store(0);

  std::string data(1 << 20, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);
  const pthread_t writerThread = pthread_self();
  const pid_t writer = gettid();
  std::string received;
  std::thread reader([&] {
    for (int i = 0; i < 3; ++i) {
      while (!blockedWriting(writer, fds)) std::this_thread::yield();
      pthread_kill(writerThread, SIGUSR1);
      while (gInterruptions.load() == i) std::this_thread::yield();
    }
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) received.append(buffer, n);
  });

  EXPECT_EQ(crash_async_writen(fds[1], data.data(), data.size()), static_cast<long>(data.size()));
  close(fds[1]);
  reader.join();
  close(fds[0]);
  sigaction(SIGUSR1, &saved, nullptr);

  EXPECT_EQ(gInterruptions.load(), 3);
  EXPECT_TRUE(received == data);
  EXPECT_EQ(crash_async_writen(-1, "x", 0), 0);
  EXPECT_EQ(crash_async_writen(-1, "x", 1), -1);
}

}  // namespace
