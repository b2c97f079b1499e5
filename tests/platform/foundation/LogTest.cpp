#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Log.h"
#include "tests/support/LogCapture.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/RegularExpression.h"

using namespace foundation;

namespace {

using CapturedLog = test::LogCapture;

const char* kLinePattern =
    "^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} test_platform_foundation\\[\\d+:\\d+\\] ";

TEST(Log, LineFormatInLocalTime) {
  setenv("TZ", "UTC", 1);
  tzset();
  const Date when = Date::fromTimeIntervalSince1970(1765318201.123);
  EXPECT_EQ(formatLogLine("hello", when, "quillmere", 1234, 5678),
            "2025-12-09 22:10:01.123 quillmere[1234:5678] hello");
  EXPECT_EQ(formatLogLine("two\n", when, "q", 1, 2), "2025-12-09 22:10:01.123 q[1:2] two");
  EXPECT_EQ(formatLogLine("blank\n\n", when, "q", 1, 2), "2025-12-09 22:10:01.123 q[1:2] blank\n");
  EXPECT_EQ(formatLogLine("", Date::fromTimeIntervalSince1970(0.9996), "q", 1, 2),
            "1970-01-01 00:00:01.000 q[1:2] ");
  setenv("TZ", "XYZ-2", 1);  // a POSIX zone two hours east of UTC, no database needed
  tzset();
  EXPECT_EQ(formatLogLine("x", when, "q", 1, 2), "2025-12-10 00:10:01.123 q[1:2] x");
  unsetenv("TZ");
  tzset();
}

TEST(Log, FormattedMessagesReachTheSink) {
  CapturedLog log;
  logf("%d items in %@", 3, std::string("group"));
  NSLog("Unexpected error: %d", -5);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  auto shape = RegularExpression::create(std::string(kLinePattern) + "3 items in group$");
  EXPECT_EQ(shape->numberOfMatches(lines[0]), 1u) << lines[0];
  EXPECT_TRUE(hasSuffix(lines[1], "] Unexpected error: -5"));
  const std::string pid = "[" + std::to_string(getpid()) + ":";
  EXPECT_NE(lines[0].find(pid), std::string::npos);
}

TEST(Log, DefaultSinkIsStandardError) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const int saved = dup(STDERR_FILENO);
  dup2(fds[1], STDERR_FILENO);
  logMessage("to stderr");
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(fds[1]);
  std::string output;
  char buffer[512];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) output.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  auto shape = RegularExpression::create(std::string(kLinePattern) + "to stderr\\n$");
  EXPECT_EQ(shape->numberOfMatches(output), 1u) << output;
}

TEST(Log, LinesStayWholeAcrossThreads) {
  CapturedLog log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) logf("thread %d line %d", t, i);
    });
  }
  for (auto& thread : threads) thread.join();
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 200u);
  auto shape = RegularExpression::create(std::string(kLinePattern) + "thread \\d line \\d+$");
  for (const auto& line : lines) EXPECT_EQ(shape->numberOfMatches(line), 1u) << line;
}

}  // namespace
