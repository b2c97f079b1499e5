#include "crash/engine/CrashSysctl.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/utsname.h>

#include <string>

namespace {

TEST(CrashSysctl, ReadsStringAndIntegerFacts) {
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  char* release = crash_sysctl_string("kern.osrelease");
  ASSERT_NE(release, nullptr);
  EXPECT_STREQ(release, names.release);
  free(release);

  std::int32_t type = 0;
  EXPECT_TRUE(crash_sysctl_int("hw.cputype", &type));
  EXPECT_EQ(type, 0x01000007);

  errno = 0;
  EXPECT_EQ(crash_sysctl_string("kern.nothing"), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(crash_sysctl_int("kern.nothing", &type));
  // A string fact does not fit four bytes.
  EXPECT_FALSE(crash_sysctl_int("kern.osrelease", &type));
}

TEST(CrashSysctl, ValidUtf8Prefix) {
  struct Case {
    std::string bytes;
    std::size_t max;
    std::size_t expected;
  };
  const Case cases[] = {
      {"abc\xC3\x28", 5, 3},                 // bad continuation byte
      {"\xEF\xBB\xBFx", 4, 4},               // byte-order mark counts
      {"ab\xE2\x82", 4, 2},                  // sequence cut by the end
      {"\xE2\x82\xAC\xF0\x9F\x98\x80!", 8, 8},
      {"ab\xE2\x82\xAC", 4, 2},              // cut by the maximum
      {"ab\x80", 3, 2},                      // stray continuation byte
      {"ab\xF8\x80\x80\x80\x80", 7, 2},      // no such lead byte
      {std::string("a\0b", 3), 3, 1},        // zero byte ends the scan
      {std::string("\xC3\0", 2), 2, 0},      // ... also as a continuation
      {"\xEF\xBB", 2, 0},                    // too short for a mark
      {"\xC0\x80", 2, 2},                    // overlong forms are not checked
  };
  for (const Case& c : cases) {
    EXPECT_EQ(crash_sysctl_valid_utf8_bytes_max(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.max),
              c.expected)
        << testing::PrintToString(c.bytes);
  }
  EXPECT_EQ(crash_sysctl_valid_utf8_bytes(reinterpret_cast<const std::uint8_t*>("h\xC3\xA9llo\xFF")), 6u);
}

}  // namespace
