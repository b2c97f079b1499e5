#include "telemetry/core/Internals/Util/TLUtility+File.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Data;
using foundation::FileManager;
using std::nullopt;
using std::string;

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

// Every test process has its own XDG data folder (see the test main), so the SDK directory below
// it starts out empty and belongs to this test alone.
class TLUtilityFileTest : public ::testing::Test {
 protected:
  static string sdkPath() {
    return string(std::getenv("XDG_DATA_HOME")) + "/" +
           foundation::Bundle::mainBundle()->bundleIdentifier().value_or("(null)") + "/com.telemetry.sdk";
  }
  static string inSdk(const string& component) { return sdkPath() + "/" + component; }
  static bool exists(const string& path, bool* isDirectory = nullptr) {
    return FileManager::defaultManager().fileExistsAtPath(path, isDirectory);
  }
};

TEST_F(TLUtilityFileTest, TheSdkDirectoryLivesUnderTheDataFolderAndTheBundleIdentifier) {
  const net::URL url = TLUtility::telemetryDirectoryURL();
  EXPECT_TRUE(url.isFileURL());
  EXPECT_EQ(url.path(), sdkPath());
  bool isDirectory = false;
  EXPECT_TRUE(exists(sdkPath(), &isDirectory));
  EXPECT_TRUE(isDirectory);
}

TEST_F(TLUtilityFileTest, CreatingFilesWritesNewOnesAndOverwritesOnlyWhenAsked) {
  const auto url = TLUtility::createFileAtPathComponent("marker", bytes("first"), true, false);
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->path(), inSdk("marker"));
  EXPECT_EQ(test::readFile(inSdk("marker")), "first");

  EXPECT_EQ(TLUtility::createFileAtPathComponent("marker", bytes("second"), false, false), url);
  EXPECT_EQ(test::readFile(inSdk("marker")), "first");
  EXPECT_EQ(TLUtility::createFileAtPathComponent("marker", bytes("third"), false, true), url);
  EXPECT_EQ(TLUtility::loadDataForPathComponent("marker"), bytes("third"));

  // No data makes an empty file, with the folders above it.
  const auto nested = TLUtility::createFileAtPathComponent("crashes/buffers/one", nullopt, false, false);
  ASSERT_TRUE(nested.has_value());
  EXPECT_TRUE(exists(inSdk("crashes/buffers")));
  EXPECT_EQ(TLUtility::loadDataForPathComponent("crashes/buffers/one"), Data{});

  EXPECT_EQ(TLUtility::createFileAtPathComponent(nullopt, bytes("x"), false, false), nullopt);
}

TEST_F(TLUtilityFileTest, ReadingAndListingWhatIsNotThereAnswersNothing) {
  test::TLLogRecorder recorder;
  EXPECT_EQ(TLUtility::loadDataForPathComponent("missing"), nullopt);
  EXPECT_EQ(TLUtility::loadDataForPathComponent(nullopt), nullopt);
  EXPECT_EQ(TLUtility::contentsOfDirectory("", nullopt), nullopt);
  EXPECT_EQ(TLUtility::contentsOfDirectory(nullopt, nullopt), nullopt);
  EXPECT_EQ(TLUtility::contentsOfDirectory("nowhere", nullopt), nullopt);
  const auto debug = recorder.messages(TLLogLevelDebug);
  ASSERT_EQ(debug.size(), 1u);
  EXPECT_EQ(debug[0].rfind("Couldn't get files in the directory \"nowhere\": ", 0), 0u) << debug[0];
  EXPECT_TRUE(recorder.messages(TLLogLevelError).empty());
}

TEST_F(TLUtilityFileTest, ListingAnswersTheItemsSortedWithFoldersMarked) {
  ASSERT_TRUE(TLUtility::createFileAtPathComponent("list/b.bin", bytes("b"), true, false));
  ASSERT_TRUE(TLUtility::createFileAtPathComponent("list/a.bin", bytes("a"), true, false));
  ASSERT_TRUE(TLUtility::createDirectoryForPathComponent("list/sub"));
  const auto items = TLUtility::contentsOfDirectory("list", std::vector<string>{"NSURLFileSizeKey"});
  ASSERT_TRUE(items.has_value());
  std::vector<string> paths;
  for (const net::URL& item : *items) paths.push_back(item.path() + (item.hasDirectoryPath() ? "/" : ""));
  EXPECT_EQ(paths, (std::vector<string>{inSdk("list/a.bin"), inSdk("list/b.bin"), inSdk("list/sub/")}));
}

TEST_F(TLUtilityFileTest, DeletingRemovesFilesAndFoldersAndReportsMissingItemsAtDebug) {
  ASSERT_TRUE(TLUtility::createFileAtPathComponent("tree/leaf/file", bytes("x"), false, false));
  ASSERT_TRUE(TLUtility::createFileAtPathComponent("single", bytes("x"), false, false));
  EXPECT_TRUE(TLUtility::fileExistsForPathComponent("tree/leaf/file"));
  EXPECT_TRUE(TLUtility::deleteItemForPathComponent("tree"));
  EXPECT_FALSE(TLUtility::fileExistsForPathComponent("tree/leaf/file"));
  EXPECT_TRUE(TLUtility::deleteFileAtURL(TLUtility::fullURLForPathComponent("single")));
  EXPECT_FALSE(exists(inSdk("single")));

  test::TLLogRecorder recorder;
  EXPECT_FALSE(TLUtility::deleteItemForPathComponent("tree"));
  EXPECT_FALSE(TLUtility::deleteItemForPathComponent(nullopt));
  EXPECT_FALSE(TLUtility::deleteFileAtURL(nullopt));
  EXPECT_FALSE(TLUtility::deleteFileAtURL(net::URL::fromString("https://example.org/single")));
  const auto debug = recorder.messages(TLLogLevelDebug);
  ASSERT_EQ(debug.size(), 2u);
  EXPECT_EQ(debug[0].rfind("Couldn't remove item at file://" + inSdk("tree") + ": ", 0), 0u) << debug[0];
  EXPECT_EQ(debug[1].rfind("Couldn't remove item at https://example.org/single: ", 0), 0u) << debug[1];
  EXPECT_TRUE(recorder.messages(TLLogLevelError).empty());
}

TEST_F(TLUtilityFileTest, FullURLsCreateNothing) {
  const auto url = TLUtility::fullURLForPathComponent("later/file");
  ASSERT_TRUE(url.has_value());
  EXPECT_EQ(url->path(), inSdk("later/file"));
  EXPECT_FALSE(exists(inSdk("later")));
  EXPECT_FALSE(TLUtility::fileExistsForPathComponent("later/file"));
  EXPECT_EQ(TLUtility::fullURLForPathComponent(nullopt), nullopt);
  EXPECT_FALSE(TLUtility::fileExistsForPathComponent(nullopt));
}

// A component is relative to the SDK directory; one whose ".." segments would lead out of it is
// refused, so no caller's text can write, read or remove anything else of the user's.
TEST_F(TLUtilityFileTest, ComponentsThatLeaveTheSdkDirectoryAreRefused) {
  TLUtility::telemetryDirectoryURL();
  const string outside = sdkPath() + "/../outside";
  ASSERT_TRUE(test::writeFile(outside, "keep"));
  test::TLLogRecorder recorder;
  for (const char* component : {"../outside", "a/../../outside", "..", "a/..//../outside"}) {
    SCOPED_TRACE(component);
    EXPECT_EQ(TLUtility::createFileAtPathComponent(component, bytes("changed"), true, true), nullopt);
    EXPECT_EQ(TLUtility::loadDataForPathComponent(component), nullopt);
    EXPECT_FALSE(TLUtility::deleteItemForPathComponent(component));
    EXPECT_EQ(TLUtility::createDirectoryForPathComponent(component), nullopt);
    EXPECT_EQ(TLUtility::contentsOfDirectory(component, nullopt), nullopt);
    EXPECT_FALSE(TLUtility::fileExistsForPathComponent(component));
    EXPECT_EQ(TLUtility::fullURLForPathComponent(component), nullopt);
  }
  EXPECT_EQ(test::readFile(outside), "keep");
  EXPECT_TRUE(exists(sdkPath()));
  EXPECT_EQ(recorder.messages(TLLogLevelError).size(), 4u * 7u);
  // Dots inside names are ordinary.
  EXPECT_TRUE(TLUtility::createFileAtPathComponent("..hidden/a..b", bytes("x"), false, false).has_value());
}

TEST_F(TLUtilityFileTest, AFileInTheWayMakesFolderAndFileCreationFail) {
  ASSERT_TRUE(TLUtility::createFileAtPathComponent("blocker", bytes("x"), false, false));
  test::TLLogRecorder recorder;
  EXPECT_EQ(TLUtility::createDirectoryForPathComponent("blocker/sub"), nullopt);
  EXPECT_EQ(TLUtility::createFileAtPathComponent("blocker/file", bytes("y"), true, false), nullopt);
  EXPECT_FALSE(TLUtility::createDirectoryAtURL(nullopt));
  EXPECT_EQ(test::readFile(inSdk("blocker")), "x");

  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 3u);
  EXPECT_EQ(errors[0].rfind("Couldn't create directory at file://" + inSdk("blocker/sub/") + ": ", 0), 0u)
      << errors[0];
  EXPECT_EQ(errors[1].rfind("Couldn't create directory at file://" + inSdk("blocker/") + ": ", 0), 0u) << errors[1];
  EXPECT_EQ(errors[2], "Couldn't create new file at path file://" + inSdk("blocker/file"));
}

TEST_F(TLUtilityFileTest, BackupExclusionMarksNothingButChecksTheItem) {
  test::TempDir folder("qm-backup");
  test::TLLogRecorder recorder;
  EXPECT_TRUE(TLUtility::disableBackupForDirectoryURL(net::URL::fileURLWithPath(folder.path(), true)));
  EXPECT_FALSE(TLUtility::disableBackupForDirectoryURL(net::URL::fileURLWithPath(folder.file("gone"), true)));
  EXPECT_FALSE(TLUtility::disableBackupForDirectoryURL(nullopt));
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[0].rfind("Error excluding file://" + folder.file("gone/") + " from iCloud backup ", 0), 0u)
      << errors[0];
  EXPECT_EQ(errors[1].rfind("Error excluding (null) from iCloud backup ", 0), 0u) << errors[1];
}

TEST_F(TLUtilityFileTest, ConcurrentWritersEachGetTheirFile) {
  std::vector<std::thread> writers;
  for (int i = 0; i < 8; ++i) {
    writers.emplace_back([i] {
      for (int j = 0; j < 20; ++j) {
        const string name = "concurrent/" + std::to_string(i) + "/" + std::to_string(j);
        TLUtility::createFileAtPathComponent(name, bytes(name), true, true);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  for (int i = 0; i < 8; ++i) {
    const auto items = TLUtility::contentsOfDirectory("concurrent/" + std::to_string(i), nullopt);
    ASSERT_TRUE(items.has_value());
    EXPECT_EQ(items->size(), 20u);
  }
  EXPECT_EQ(TLUtility::loadDataForPathComponent("concurrent/7/19"), bytes("concurrent/7/19"));
}

}  // namespace
