#include "telemetry/core/Internals/Util/TLUtility.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <thread>

#include "platform/appkit/RecordingWorkspace.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/RunLoop.h"
#include "tests/support/TempDir.h"

namespace {

using foundation::Date;

// ---- The SDK record, as tools read it from the executable file ------------------------------

struct Section {
  std::string bytes;
  std::uint64_t flags = 0;
};

// The section `name` of the 64-bit ELF file at `path`, read from the section headers.
std::optional<Section> elfSection(const std::string& path, const std::string& name) {
  const std::string file = test::readFile(path);
  if (file.size() < sizeof(Elf64_Ehdr)) return std::nullopt;
  Elf64_Ehdr header;
  std::memcpy(&header, file.data(), sizeof header);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return std::nullopt;
  const auto sectionHeader = [&](std::size_t index) -> std::optional<Elf64_Shdr> {
    const std::size_t offset = header.e_shoff + index * header.e_shentsize;
    if (index >= header.e_shnum || offset + sizeof(Elf64_Shdr) > file.size()) return std::nullopt;
    Elf64_Shdr section;
    std::memcpy(&section, file.data() + offset, sizeof section);
    return section;
  };
  const std::optional<Elf64_Shdr> names = sectionHeader(header.e_shstrndx);
  if (!names) return std::nullopt;
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const std::optional<Elf64_Shdr> section = sectionHeader(i);
    if (!section || names->sh_offset + section->sh_name >= file.size()) return std::nullopt;
    if (name != file.c_str() + names->sh_offset + section->sh_name) continue;
    if (section->sh_offset + section->sh_size > file.size()) return std::nullopt;
    return Section{file.substr(section->sh_offset, section->sh_size), section->sh_flags};
  }
  return std::nullopt;
}

TEST(TLUtilitySdkTest, TheRecordIsInAReadOnlySectionOfTheRunningExecutable) {
  // The names are read through the record, which also makes sure this executable holds it.
  EXPECT_EQ(TLUtility::sdkName(), "telemetry.macos");
  EXPECT_EQ(TLUtility::sdkVersion(), "2.4.0");

  const std::optional<Section> section = elfSection("/proc/self/exe", "__tl_sdk");
  ASSERT_TRUE(section.has_value());
  EXPECT_TRUE(section->flags & SHF_ALLOC);
  EXPECT_FALSE(section->flags & SHF_WRITE);
  EXPECT_FALSE(section->flags & SHF_EXECINSTR);

  std::string expected(97, '\0');
  expected[0] = 1;
  expected.replace(1, 15, "telemetry.macos");
  expected.replace(33, 5, "2.4.0");
  expected.replace(65, 1, "1");
  EXPECT_EQ(section->bytes, expected);
}

// ---- Environment and application state ---------------------------------------------------

class TLUtilityAppTest : public ::testing::Test {
 protected:
  void TearDown() override { foundation::Bundle::setMainBundleForTesting(nullptr); }

  void useBundleWithExecutable(const std::string& executablePath) {
    foundation::Bundle::setMainBundleForTesting(std::make_shared<foundation::Bundle>(
        folder.path(), folder.path() + "/Resources", std::nullopt, executablePath));
  }

  test::TempDir folder{"qm-bundle"};
};

TEST_F(TLUtilityAppTest, EnvironmentIsAlwaysOtherWithoutStoreFacts) {
  useBundleWithExecutable(folder.file("MacOS/app"));
  EXPECT_EQ(TLUtility::currentAppEnvironment(), TLAppEnvironmentOther);
  EXPECT_FALSE(TLUtility::isAppStoreReceiptSandbox());
  EXPECT_FALSE(TLUtility::hasEmbeddedMobileProvision());
  ASSERT_TRUE(foundation::FileManager::defaultManager().createDirectoryAtPath(folder.file("Resources"), true));
  ASSERT_TRUE(test::writeFile(folder.file("Resources/embedded.mobileprovision"), "x"));
  EXPECT_TRUE(TLUtility::hasEmbeddedMobileProvision());
}

TEST_F(TLUtilityAppTest, StateIsActiveOnTheMainThreadAndUnknownElsewhereOrInAnExtension) {
  useBundleWithExecutable(folder.file("Contents/MacOS/app"));
  ASSERT_TRUE(dispatch::Queue::isMainThread());
  EXPECT_EQ(TLUtility::applicationState(), TLApplicationStateActive);  // no application, so not hidden
  TLApplicationState offMain = TLApplicationStateActive;
  std::thread([&] { offMain = TLUtility::applicationState(); }).join();
  EXPECT_EQ(offMain, TLApplicationStateUnknown);

  useBundleWithExecutable(folder.file("Plugins/Share.appex/Contents/MacOS/Share"));
  EXPECT_EQ(TLUtility::applicationState(), TLApplicationStateUnknown);
  std::thread([&] { offMain = TLUtility::applicationState(); }).join();
  EXPECT_EQ(offMain, TLApplicationStateUnknown);
}

TEST_F(TLUtilityAppTest, WithoutARunningApplicationThereIsNoAppOrDelegate) {
  EXPECT_EQ(TLUtility::sharedApp(), nullptr);
  EXPECT_EQ(TLUtility::sharedAppDelegate(), nullptr);
}

TEST_F(TLUtilityAppTest, OpeningAURLHappensOnTheMainQueueAndReportsTheWorkspaceAnswer) {
  auto workspace = std::make_shared<appkit::RecordingWorkspace>();
  workspace->setResult(false);
  appkit::Workspace::setSharedWorkspace(workspace);
  std::optional<bool> answer;
  bool onMain = false;
  std::thread([&] {
    TLUtility::sharedAppOpenUrl(*net::URL::fromString("https://example.org/a?b=c"), {}, [&](bool success) {
      onMain = dispatch::Queue::isMainThread();
      answer = success;
    });
  }).join();
  EXPECT_FALSE(answer.has_value());  // asynchronous: nothing before the main queue runs
  foundation::RunLoop::main().runUntil([&] { return answer.has_value(); }, 5.0);
  appkit::Workspace::setSharedWorkspace(nullptr);
  ASSERT_TRUE(answer.has_value());
  EXPECT_FALSE(*answer);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(workspace->openedURLs(), std::vector<std::string>{"https://example.org/a?b=c"});
}

// ---- Dates ------------------------------------------------------------------------------------

TEST(TLUtilityDateTest, DatesPrintInUtcWithMillisecondsWhateverTheLocalZone) {
  // Set before anything asks the time-zone library, which reads the zone once per process.
  ::setenv("TZ", "Asia/Kolkata", 1);
  ::tzset();
  const Date date = Date::fromTimeIntervalSince1970(1548942307.123);
  EXPECT_EQ(TLUtility::dateToISO8601(date), "2019-01-31T13:45:07.123Z");
  // Digits past the third are cut, not rounded.
  EXPECT_EQ(TLUtility::dateToISO8601(Date::fromTimeIntervalSince1970(1548942307.9999)), "2019-01-31T13:45:07.999Z");
  ::unsetenv("TZ");
}

TEST(TLUtilityDateTest, TextRoundTripsAndOtherFormsAreRefused) {
  const struct {
    const char* text;
    double since1970;
  } dates[] = {
      {"1970-01-01T00:00:00.000Z", 0},
      {"2001-01-01T00:00:00.000Z", 978307200},
      {"2019-01-31T13:45:07.123Z", 1548942307.123},
      {"2020-02-29T23:59:59.999Z", 1583020799.999},
      {"1969-12-31T23:59:59.500Z", -0.5},
  };
  for (const auto& [text, since1970] : dates) {
    SCOPED_TRACE(text);
    const std::optional<Date> parsed = TLUtility::dateFromISO8601(text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_NEAR(parsed->timeIntervalSince1970(), since1970, 1e-6);
    EXPECT_EQ(TLUtility::dateToISO8601(*parsed), text);
  }
  for (const char* text : {"2019-01-31T13:45:07Z", "2019-01-31T13:45:07.123+01:00", "2019-01-31 13:45:07.123Z",
                           "2019-01-31T13:45:07.123Zjunk", "2019-01-31T25:45:07.123Z", ""}) {
    EXPECT_FALSE(TLUtility::dateFromISO8601(text).has_value()) << text;
  }
}

// Each instant (milliseconds since 1970) beside the text Python 3.11's datetime gives for it in
// UTC: isoformat(timespec="milliseconds"), in the proleptic Gregorian calendar of ISO 8601.
TEST(TLUtilityDateTest, DatesAreWrittenAsAnIndependentWriterWritesThem) {
  const struct {
    double milliseconds;
    const char* text;
  } cases[] = {
      {999, "1970-01-01T00:00:00.999Z"},
      {1546, "1970-01-01T00:00:01.546Z"},
      {-1, "1969-12-31T23:59:59.999Z"},
      {1548938707123, "2019-01-31T12:45:07.123Z"},
      {-12220200000000, "1582-10-04T12:00:00.000Z"},
      {-12219292800000, "1582-10-15T00:00:00.000Z"},
      {-30610224000000, "1000-01-01T00:00:00.000Z"},
      {-62135596800000, "0001-01-01T00:00:00.000Z"},
  };
  for (const auto& [milliseconds, text] : cases) {
    SCOPED_TRACE(text);
    const Date date = Date::fromTimeIntervalSince1970(milliseconds / 1000);
    EXPECT_EQ(TLUtility::dateToISO8601(date), text);
    const std::optional<Date> parsed = TLUtility::dateFromISO8601(text);
    ASSERT_TRUE(parsed.has_value());
    // A date counts from 2001, so near 1970 its double holds the instant to about 0.1 µs.
    EXPECT_NEAR(parsed->timeIntervalSince1970() * 1000, milliseconds, 1e-3);
  }
  // Every millisecond of a second survives the parser and the writer.
  for (int millisecond = 0; millisecond < 1000; ++millisecond) {
    char text[32];
    std::snprintf(text, sizeof text, "2019-01-31T13:45:07.%03dZ", millisecond);
    const std::optional<Date> parsed = TLUtility::dateFromISO8601(text);
    ASSERT_TRUE(parsed.has_value()) << text;
    ASSERT_EQ(TLUtility::dateToISO8601(*parsed), text);
  }
}

TEST(TLUtilityDateTest, NowInMillisecondsIsTheCurrentTime) {
  const double before = Date::now().timeIntervalSince1970() * 1000;
  const double now = TLUtility::nowInMilliseconds();
  const double after = Date::now().timeIntervalSince1970() * 1000;
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

}  // namespace
