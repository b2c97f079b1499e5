#include "platform/kernel/Sysctl.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

std::string stringFact(const char* name) {
  std::size_t length = 0;
  if (kernel::sysctlbyname(name, nullptr, &length, nullptr, 0) != 0) return "<error>";
  std::string value(length, '\0');
  if (kernel::sysctlbyname(name, value.data(), &length, nullptr, 0) != 0) return "<error>";
  EXPECT_EQ(value.back(), '\0') << name;
  value.pop_back();
  return value;
}

std::int32_t intFact(const char* name) {
  std::int32_t value = -1;
  std::size_t length = sizeof value;
  EXPECT_EQ(kernel::sysctlbyname(name, &value, &length, nullptr, 0), 0) << name;
  EXPECT_EQ(length, sizeof value) << name;
  return value;
}

TEST(Sysctl, AnswersTheNamesFromTheRunningSystem) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(stringFact("kern.osrelease"), names.release);
  EXPECT_EQ(stringFact("kern.osversion"), names.version);
  EXPECT_FALSE(stringFact("hw.model").empty());

  EXPECT_EQ(intFact("hw.cputype"), kernel::CPU_TYPE_X86_64);
  EXPECT_EQ(intFact("hw.cpusubtype"), kernel::CPU_SUBTYPE_X86_64_ALL);
  EXPECT_EQ(intFact("hw.logicalcpu_max"), sysconf(_SC_NPROCESSORS_CONF));
  const std::int32_t cores = intFact("hw.physicalcpu_max");
  EXPECT_GE(cores, 1);
  EXPECT_LE(cores, intFact("hw.logicalcpu_max"));
  EXPECT_EQ(intFact("sysctl.proc_native"), 1);
}

TEST(Sysctl, RefusesUnknownNamesShortBuffersAndWrites) {
  char small[2];
  std::size_t length = sizeof small;
  struct Case {
    const char* name;
    void* buffer;
    const void* newValue;
    int expectedErrno;
  };
  const int one = 1;
  const Case cases[] = {
      {"kern.nosuchthing", small, nullptr, ENOENT},
      {"kern.osrelease", small, nullptr, ENOMEM},
      {"hw.cputype", small, nullptr, ENOMEM},
      {"hw.cputype", nullptr, &one, EPERM},
      {nullptr, small, nullptr, EINVAL},
  };
  for (const Case& c : cases) {
    length = sizeof small;
    errno = 0;
    EXPECT_EQ(kernel::sysctlbyname(c.name, c.buffer, &length, c.newValue, c.newValue ? sizeof one : 0), -1)
        << (c.name ? c.name : "null");
    EXPECT_EQ(errno, c.expectedErrno) << (c.name ? c.name : "null");
  }
}

TEST(Sysctl, DescribesAProcess) {
  const time_t before = time(nullptr);
  kernel::ProcessRecord record;
  ASSERT_TRUE(kernel::process_record(getpid(), &record));
  EXPECT_EQ(record.pid, getpid());
  EXPECT_EQ(record.parentPid, getppid());
  std::string comm;
  std::getline(std::ifstream("/proc/self/comm"), comm);
  EXPECT_EQ(std::string(record.command), comm);
  EXPECT_FALSE(record.traced);
  // This process started a moment ago.
  EXPECT_LE(record.startTime.tv_sec, before + 1);
  EXPECT_GT(record.startTime.tv_sec, before - 300);
}

TEST(Sysctl, SeesATracedProcess) {
  const pid_t child = fork();
  if (child == 0) {
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    raise(SIGSTOP);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSTOPPED(status));
  kernel::ProcessRecord record;
  EXPECT_TRUE(kernel::process_record(child, &record));
  EXPECT_TRUE(record.traced);
  EXPECT_EQ(record.parentPid, getpid());
  kill(child, SIGKILL);
  waitpid(child, &status, 0);

  errno = 0;
  EXPECT_FALSE(kernel::process_record(child, &record));
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
