#include "platform/foundation/DeviceInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdlib>
#include <string>

#include "tests/support/TempDir.h"

namespace {

using foundation::DeviceInfo;

// A fake system: sys, proc and etc folders under one temporary folder.
struct FakeSystem {
  test::TempDir dir{"qm-device"};
  DeviceInfo::Roots roots() const { return {dir.file("sys"), dir.file("proc"), dir.file("etc")}; }
  void write(const std::string& relative, const std::string& text) {
    std::string path = dir.path();
    std::size_t start = 0;
    for (std::size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
      path += "/" + relative.substr(start, slash - start);
      mkdir(path.c_str(), 0700);
    }
    ASSERT_TRUE(test::writeFile(dir.file(relative), text));
  }
};

utsname kernel() {
  utsname names{};
  uname(&names);
  return names;
}

TEST(DeviceInfoTest, InjectedFoldersGiveTheirFacts) {
  FakeSystem system;
  system.write("sys/class/dmi/id/product_name", "ThinkPad X1 Carbon\n");
  system.write("sys/class/dmi/id/sys_vendor", "LENOVO\n");
  system.write("proc/sys/kernel/osrelease", "6.9.1-test\n");
  system.write("proc/self/status", "Name:\tquillmere\nTracerPid:\t4321\nUid:\t1000\n");
  system.write("etc/os-release", "NAME=\"Fake OS\"\nVERSION_ID=\"24.04\"\n");
  const DeviceInfo info(system.roots());
  EXPECT_EQ(info.model(), "ThinkPad X1 Carbon");
  EXPECT_EQ(info.vendor(), "LENOVO");
  EXPECT_EQ(info.osName(), "Fake OS");
  EXPECT_EQ(info.osVersion(), "24.4.0");
  EXPECT_EQ(info.osBuild(), "6.9.1-test");
  EXPECT_TRUE(info.isDebuggerAttached());

  system.write("proc/self/status", "TracerPid:\t0\n");
  system.write("etc/os-release", "NAME=Rolling\n");  // no version: the kernel's
  EXPECT_FALSE(info.isDebuggerAttached());
  EXPECT_EQ(info.osVersion(), "6.9.1");
}

TEST(DeviceInfoTest, MissingOrBlankFilesGiveTheFallbacks) {
  FakeSystem blank;
  for (const char* file : {"sys/class/dmi/id/product_name", "sys/class/dmi/id/sys_vendor", "proc/sys/kernel/osrelease",
                           "proc/self/status", "etc/os-release"}) {
    blank.write(file, " \n");
  }
  blank.write("etc/os-release", "NAME=\"\"\n");
  FakeSystem missing;
  const utsname names = kernel();
  for (const FakeSystem* system : {&blank, &missing}) {
    const DeviceInfo info(system->roots());
    EXPECT_EQ(info.model(), names.machine);
    EXPECT_EQ(info.vendor(), std::nullopt);
    EXPECT_EQ(info.osName(), names.sysname);
    EXPECT_EQ(info.osBuild(), names.release);
    EXPECT_FALSE(info.osVersion().empty());
    EXPECT_NE(info.osVersion(), "0.0.0");
    EXPECT_FALSE(info.isDebuggerAttached());
  }
}

TEST(DeviceInfoTest, EveryRequiredFactOfThisMachineIsThere) {
  const DeviceInfo info;
  for (const std::string& fact : {info.model(), info.osName(), info.osVersion(), info.osBuild(), info.locale(),
                                  info.appVersion(), info.appBuild()}) {
    EXPECT_FALSE(fact.empty());
  }
  EXPECT_TRUE(info.appNamespace());
  EXPECT_FALSE(info.isDebuggerAttached());
}

TEST(DeviceInfoTest, LocaleComesFromTheEnvironment) {
  struct Case {
    DeviceInfo::Environment environment;
    const char* locale;
  };
  const Case cases[] = {
      {{}, "en_US"},
      {{{"LANG", "C"}}, "en_US"},
      {{{"LANG", "POSIX"}}, "en_US"},
      {{{"LANG", "C.UTF-8"}}, "en_US"},
      {{{"LANG", "de_DE.UTF-8"}}, "de_DE"},
      {{{"LANG", "de_DE.UTF-8"}, {"LC_ALL", "pt_BR.UTF-8"}}, "pt_BR"},
      {{{"LANGUAGE", "fr"}, {"LANG", "de_CH.UTF-8"}}, "fr_CH"},  // the country of the current locale
      {{{"LANGUAGE", "sr_RS@latin"}}, "sr-Latn_RS"},
      {{{"LANG", "fr.UTF-8"}}, "fr"},  // no country anywhere
  };
  for (const Case& c : cases) {
    FakeSystem system;
    EXPECT_EQ(DeviceInfo(system.roots(), c.environment).locale(), c.locale);
  }
}

TEST(DeviceInfoTest, TimeZoneOffsetInWholeMinutes) {
  struct Case {
    const char* tz;  // POSIX TZ: the sign is west of GMT
    int minutes;
  };
  const Case cases[] = {{"UTC0", 0}, {"XXX-05:45", 345}, {"XXX+03:30", -210}, {"XXX+00:30", -30}, {"XXX-09:30", 570}};
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  for (const Case& c : cases) {
    setenv("TZ", c.tz, 1);
    EXPECT_EQ(DeviceInfo::timeZoneOffsetMinutes(), c.minutes) << c.tz;
  }
  if (saved) setenv("TZ", before.c_str(), 1); else unsetenv("TZ");
  EXPECT_EQ(DeviceInfo::timeZoneOffsetMinutes(-1799), -29);  // truncated toward zero
}

TEST(DeviceInfoTest, ScreenIsZeroUntilTheGUISetsIt) {
  const DeviceInfo::Screen none = DeviceInfo::mainScreen();
  EXPECT_EQ(none.width, 0);
  EXPECT_EQ(none.height, 0);
  EXPECT_EQ(none.scale, 0);
  DeviceInfo::setMainScreen({1440, 900, 2});
  EXPECT_EQ(DeviceInfo::mainScreen().height, 900);
  EXPECT_EQ(DeviceInfo::mainScreen().scale, 2);
}

}  // namespace
