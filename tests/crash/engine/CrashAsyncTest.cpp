#include "crash/engine/CrashAsync.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tests/crash/engine/StderrCapture.h"

namespace {

TEST(CrashAsync, ErrorTexts) {
  EXPECT_STREQ(crash_async_strerror(CRASH_ESUCCESS), "No error");
  EXPECT_STREQ(crash_async_strerror(CRASH_OUTPUT_ERR), "Output file can not be opened (or written to)");
  EXPECT_STREQ(crash_async_strerror(CRASH_ENOTFOUND), "Not found");
  EXPECT_STREQ(crash_async_strerror(CRASH_EINVALID_DATA), "The input data is in an unknown or invalid format.");
  EXPECT_STREQ(crash_async_strerror(10), "Unhandled error code");
  EXPECT_STREQ(crash_async_strerror(-1), "Unhandled error code");
}

TEST(CrashAsync, DiagnosticLineGoesToStandardErrorInPieces) {
  test::StderrCapture capture;
  crash_async_log("some_function", 42, "value %d of %s", 7, "seven");
  crash_async_log("f", 1, "%s", std::string(300, 'x').c_str());
  EXPECT_EQ(capture.text(), "[CrashReport] some_function:42: value 7 of seven\n"
                            "[CrashReport] f:1: " + std::string(127, 'x') + "\n");
}

TEST(CrashAsync, DiagnosticsAreWrittenOnlyAtTheDebugLevel) {
  const crash_async_log_level saved = crash_async_log_get_level();
  for (const auto level : {CRASH_ASYNC_LOG_QUIET, CRASH_ASYNC_LOG_DEBUG}) {
    crash_async_log_set_level(level);
    test::StderrCapture capture(test::StderrCapture::Level::Unchanged);
    CRASH_ASYNC_LOG("line at level %d", level);
    const std::string expected = level == CRASH_ASYNC_LOG_DEBUG ? "line at level 1\n" : "";
    const std::string text = capture.text();
    EXPECT_EQ(text.empty() ? text : text.substr(text.find(": ") + 2), expected) << level;
  }
  crash_async_log_set_level(saved);
}

TEST(CrashAsyncDeathTest, FatalLinesAreWrittenAtEveryLevel) {
  const crash_async_log_level saved = crash_async_log_get_level();
  crash_async_log_set_level(CRASH_ASYNC_LOG_QUIET);
  EXPECT_DEATH(CRASH_ASYNC_FATAL("giving up on %d", 3), "\\[CrashReport\\] .*:[0-9]+: giving up on 3");
  EXPECT_DEATH(crash_async_assert_failed("f", 9, "x > 0"), "\\[CrashReport\\] f:9: Assertion failed: x > 0");
  crash_async_log_set_level(saved);
}

// A process starts at the level its environment names. The test runs itself again in fresh
// processes, which check the level they started at against the one asked of them.
TEST(CrashAsync, StartingLevelComesFromTheEnvironment) {
  if (const char* expected = getenv("QM_TEST_EXPECTED_CRASH_LEVEL")) {
    EXPECT_EQ(crash_async_log_get_level(), std::atoi(expected));
    return;
  }
  const struct {
    const char* value;  // null: unset
    crash_async_log_level level;
  } cases[] = {{nullptr, CRASH_ASYNC_LOG_QUIET}, {"", CRASH_ASYNC_LOG_QUIET}, {"0", CRASH_ASYNC_LOG_QUIET},
               {"1", CRASH_ASYNC_LOG_DEBUG},     {"yes", CRASH_ASYNC_LOG_DEBUG}};
  for (const auto& c : cases) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      if (std::strncmp(*entry, "QM_CRASH_DEBUG=", 15) != 0) environment.emplace_back(*entry);
    }
    if (c.value != nullptr) environment.push_back(std::string("QM_CRASH_DEBUG=") + c.value);
    environment.push_back("QM_TEST_EXPECTED_CRASH_LEVEL=" + std::to_string(c.level));
    std::vector<char*> envp;
    for (std::string& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string filter = "--gtest_filter=CrashAsync.StartingLevelComesFromTheEnvironment";
    char executable[] = "/proc/self/exe";
    char* argv[] = {executable, filter.data(), nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, executable, nullptr, nullptr, argv, envp.data()), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << (c.value ? c.value : "unset");
  }
}

TEST(CrashAsync, ByteOrders) {
  EXPECT_EQ(crash_async_byteorder_little_endian(), &crash_async_byteorder_direct);
  EXPECT_EQ(crash_async_byteorder_big_endian(), &crash_async_byteorder_swapped);
  EXPECT_EQ(crash_async_byteorder_direct.swap32(0x11223344u), 0x11223344u);
  EXPECT_EQ(crash_async_byteorder_swapped.swap16(0x1122), 0x2211);
  EXPECT_EQ(crash_async_byteorder_swapped.swap32(0x11223344u), 0x44332211u);
  EXPECT_EQ(crash_async_byteorder_swapped.swap64(0x1122334455667788ull), 0x8877665544332211ull);
}

TEST(CrashAsync, AddressOffsetsThatWouldWrapAreRefused) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  struct Case {
    std::uint64_t base;
    std::int64_t offset;
    bool ok;
    std::uint64_t sum;
  };
  const Case cases[] = {
      {100, 20, true, 120},       {100, -20, true, 80},       {100, -100, true, 0},
      {100, -101, false, 0},      {kMax - 16, 16, true, kMax}, {kMax - 16, 32, false, 0},
      {0, kMin, false, 0},        {kMax, kMin, true, kMax - (std::uint64_t{1} << 63)},
  };
  for (const Case& c : cases) {
    std::uint64_t sum = 12345;
    EXPECT_EQ(crash_async_address_apply_offset(c.base, c.offset, &sum), c.ok) << c.base << " " << c.offset;
    EXPECT_EQ(sum, c.ok ? c.sum : 12345u) << c.base << " " << c.offset;
    EXPECT_EQ(crash_async_address_apply_offset(c.base, c.offset, nullptr), c.ok);
  }
}

TEST(CrashAsync, TaskCopiesGiveCodesInsteadOfFaults) {
  const auto page = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  void* memory = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(memory, MAP_FAILED);
  const auto base = reinterpret_cast<std::uint64_t>(memory);
  std::memcpy(memory, "\x11\x22\x33\x44\x55\x66\x77\x88", 8);
  ASSERT_EQ(mprotect(reinterpret_cast<void*>(base + page), page, PROT_NONE), 0);
  void* unmapped = mmap(nullptr, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  munmap(unmapped, page);

  const kernel::task_t self = kernel::task_self();
  struct Case {
    const char* name;
    std::uint64_t address;
    std::int64_t offset;
    crash_error_t expected;
  };
  const Case cases[] = {
      {"readable", base + 16, -16, CRASH_ESUCCESS},
      {"unmapped", reinterpret_cast<std::uint64_t>(unmapped), 0, CRASH_ENOTFOUND},
      {"PROT_NONE", base, static_cast<std::int64_t>(page), CRASH_EACCESS},
      {"past 2^64", ~std::uint64_t{0} - 15, 32, CRASH_ENOMEM},
      {"below 0", 16, -32, CRASH_ENOMEM},
  };
  for (const Case& c : cases) {
    char out[8] = {};
    EXPECT_EQ(crash_async_task_memcpy(self, c.address, c.offset, out, sizeof out), c.expected) << c.name;
  }

  std::uint8_t byte = 0;
  std::uint16_t half = 0;
  std::uint32_t word = 0;
  std::uint64_t wide = 0;
  EXPECT_EQ(crash_async_task_read_uint8(self, base, 1, &byte), CRASH_ESUCCESS);
  EXPECT_EQ(byte, 0x22);
  EXPECT_EQ(crash_async_task_read_uint16(self, crash_async_byteorder_big_endian(), base, 0, &half), CRASH_ESUCCESS);
  EXPECT_EQ(half, 0x1122);
  EXPECT_EQ(crash_async_task_read_uint32(self, crash_async_byteorder_little_endian(), base, 0, &word), CRASH_ESUCCESS);
  EXPECT_EQ(word, 0x44332211u);
  EXPECT_EQ(crash_async_task_read_uint64(self, crash_async_byteorder_big_endian(), base, 0, &wide), CRASH_ESUCCESS);
  EXPECT_EQ(wide, 0x1122334455667788ull);
  EXPECT_EQ(crash_async_task_read_uint32(self, crash_async_byteorder_little_endian(), base + page, 0, &word),
            CRASH_EACCESS);
  munmap(memory, 2 * page);
}

TEST(CrashAsync, OtherKernelFailuresAreUnknownErrorsWithADiagnostic) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  char source[8] = "abc", out[8];
  test::StderrCapture capture;
  EXPECT_EQ(crash_async_task_memcpy(child, reinterpret_cast<std::uint64_t>(source), 0, out, 4), CRASH_EUNKNOWN);
  const std::string line = capture.text();
  EXPECT_EQ(line.rfind("[CrashReport] crash_async_task_memcpy:", 0), 0u) << line;
  EXPECT_NE(line.find(": Unexpected error from vm_read_overwrite: 4\n"), std::string::npos) << line;
}

TEST(CrashAsync, StringAndMemoryRoutines) {
  struct Case {
    const char* a;
    const char* b;
    std::size_t n;
    int strcmpSign;
    int strncmpSign;
  };
  const Case cases[] = {
      {"abc", "abc", 10, 0, 0},   {"abc", "abd", 2, -1, 0},   {"abd", "abc", 3, 1, 1},
      {"ab", "abc", 3, -1, -1},   {"x", "y", 0, -1, 0},       {"\xff", "a", 1, 1, 1},  // bytes are unsigned
  };
  auto sign = [](int v) { return (v > 0) - (v < 0); };
  for (const Case& c : cases) {
    EXPECT_EQ(sign(crash_async_strcmp(c.a, c.b)), c.strcmpSign) << c.a << " " << c.b;
    EXPECT_EQ(sign(crash_async_strncmp(c.a, c.b, c.n)), c.strncmpSign) << c.a << " " << c.b << " " << c.n;
  }
  EXPECT_EQ(crash_async_strcmp("abc", "abd"), 'c' - 'd');

  char buffer[8] = "1234567";
  EXPECT_EQ(crash_async_memset(buffer + 1, 0x141, 3), buffer + 1);  // only the low byte counts
  EXPECT_EQ(std::string(buffer), "1AAA567");
  crash_async_memset(buffer, 'z', 0);
  EXPECT_EQ(buffer[0], '1');
  EXPECT_EQ(crash_async_memcpy(buffer, "xy", 2), buffer);
  EXPECT_EQ(std::string(buffer), "xyAA567");
}

}  // namespace
