#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "platform/foundation/Host.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/String.h"

using foundation::Host;
using foundation::OperatingSystemVersion;
using foundation::ProcessInfo;

namespace {

TEST(ProcessInfo, ParsesVersionNumbers) {
  struct Case {
    const char* text;
    std::optional<OperatingSystemVersion> expected;
  };
  const std::vector<Case> cases = {
      {"12", OperatingSystemVersion{12, 0, 0}},
      {"22.04", OperatingSystemVersion{22, 4, 0}},
      {"6.18.44-fc-v1403", OperatingSystemVersion{6, 18, 44}},
      {"1.2.3.4", OperatingSystemVersion{1, 2, 3}},
      {"10.", OperatingSystemVersion{10, 0, 0}},
      {"", std::nullopt},
      {"rolling", std::nullopt},
      {"v1.2", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ProcessInfo::parseVersion(c.text), c.expected) << c.text;
}

TEST(ProcessInfo, VersionFromOSReleaseThenKernel) {
  const char* debian = "PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nVERSION=\"12 (bookworm)\"\n"
                       "VERSION_ID=\"12\"\nID=debian\n";
  const char* ubuntu = "NAME=Ubuntu\nVERSION_ID='22.04'\n";
  const char* rolling = "NAME=\"Arch Linux\"\nBUILD_ID=rolling\n";
  const char* odd = "VERSION_ID=rolling\n";
  EXPECT_EQ(ProcessInfo::versionFrom(debian, "6.1.0-18-amd64"), (OperatingSystemVersion{12, 0, 0}));
  EXPECT_EQ(ProcessInfo::versionFrom(ubuntu, ""), (OperatingSystemVersion{22, 4, 0}));
  EXPECT_EQ(ProcessInfo::versionFrom(rolling, "6.1.0-18-amd64"), (OperatingSystemVersion{6, 1, 0}));
  EXPECT_EQ(ProcessInfo::versionFrom(odd, "5.10.0"), (OperatingSystemVersion{5, 10, 0}));
  EXPECT_EQ(ProcessInfo::versionFrom("", "weird"), (OperatingSystemVersion{0, 0, 0}));
}

TEST(ProcessInfo, ShellAssignments) {
  const char* text =
      "# a comment\n"
      "VERSION=\"12 (bookworm)\"\n"
      "VERSION_ID=12\n"
      "QUOTED=\"say \\\"hi\\\" \\$HOME\"\n"
      "SINGLE='it''s'\n"
      "  SPACED=value  \r\n"
      "EMPTY=\n"
      "VERSION_ID=13\n";
  EXPECT_EQ(ProcessInfo::shellAssignment(text, "VERSION"), "12 (bookworm)");
  EXPECT_EQ(ProcessInfo::shellAssignment(text, "VERSION_ID"), "13");  // the later one wins
  EXPECT_EQ(ProcessInfo::shellAssignment(text, "QUOTED"), "say \"hi\" $HOME");
  EXPECT_EQ(ProcessInfo::shellAssignment(text, "SINGLE"), "its");
  EXPECT_EQ(ProcessInfo::shellAssignment(text, "SPACED"), "value");
  EXPECT_EQ(ProcessInfo::shellAssignment(text, "EMPTY"), "");
  EXPECT_EQ(ProcessInfo::shellAssignment(text, "VERS"), std::nullopt);
  EXPECT_EQ(ProcessInfo::shellAssignment(text, "comment"), std::nullopt);
}

TEST(ProcessInfo, LiveFacts) {
  ProcessInfo& info = ProcessInfo::processInfo();
  EXPECT_EQ(&info, &ProcessInfo::processInfo());

  const OperatingSystemVersion version = info.operatingSystemVersion();
  EXPECT_GT(version.majorVersion, 0);
  EXPECT_TRUE(foundation::hasPrefix(
      info.operatingSystemVersionString(),
      foundation::stringWithFormat("Version %ld.%ld.%ld", version.majorVersion,
                                   version.minorVersion, version.patchVersion)));
  EXPECT_TRUE(info.isOperatingSystemAtLeastVersion(version));
  EXPECT_FALSE(info.isOperatingSystemAtLeastVersion({version.majorVersion + 1, 0, 0}));

  setenv("QM_PROCESS_INFO_PROBE", "a=b", 1);
  const auto environment = info.environment();
  ASSERT_TRUE(environment.count("QM_PROCESS_INFO_PROBE"));
  EXPECT_EQ(environment.at("QM_PROCESS_INFO_PROBE"), "a=b");
  EXPECT_EQ(environment.at("HOME"), std::getenv("QM_TEST_HOME"));
  unsetenv("QM_PROCESS_INFO_PROBE");
  EXPECT_FALSE(info.environment().count("QM_PROCESS_INFO_PROBE"));

  const auto arguments = info.arguments();
  ASSERT_FALSE(arguments.empty());
  EXPECT_TRUE(foundation::hasSuffix(arguments[0], "test_platform_foundation"));
  EXPECT_EQ(info.processIdentifier(), getpid());

  EXPECT_GT(info.physicalMemory(), 0u);
  EXPECT_GE(info.processorCount(), info.activeProcessorCount());
  EXPECT_GE(info.activeProcessorCount(), 1u);
  const double uptime = info.systemUptime();
  EXPECT_GT(uptime, 0.0);
  EXPECT_GE(info.systemUptime(), uptime);
}

TEST(ProcessInfo, ProcessNameCanBeChanged) {
  ProcessInfo& info = ProcessInfo::processInfo();
  EXPECT_EQ(info.processName(), "test_platform_foundation");
  info.setProcessName("quillmere");
  EXPECT_EQ(info.processName(), "quillmere");
  info.setProcessName("test_platform_foundation");
}

TEST(Host, NamesComeFromTheSystem) {
  std::ifstream kernel("/proc/sys/kernel/hostname");
  std::string expected;
  std::getline(kernel, expected);
  if (!expected.empty()) {
    EXPECT_EQ(Host::currentHostName(), expected);
  }
  EXPECT_FALSE(Host::currentHostName().empty());
  EXPECT_EQ(ProcessInfo::processInfo().hostName(), Host::currentHostName());
  EXPECT_FALSE(Host::localizedName().empty());

  EXPECT_EQ(Host::localizedNameFromMachineInfo("PRETTY_HOSTNAME=\"Lisa's Laptop\"\n", "box"),
            "Lisa's Laptop");
  EXPECT_EQ(Host::localizedNameFromMachineInfo("CHASSIS=laptop\n", "box"), "box");
  EXPECT_EQ(Host::localizedNameFromMachineInfo("PRETTY_HOSTNAME=\n", "box"), "box");
}

}  // namespace
