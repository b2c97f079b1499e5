#include "platform/foundation/Bundle.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/TempDir.h"

namespace {

using foundation::Bundle;
using foundation::Value;

const std::string kFixtureBundle = QM_TEST_FIXTURES "/TestBundle";
const std::string kResources = kFixtureBundle + "/Resources";

// Looks the main bundle up afresh for each test and afterwards, so no test sees another's.
class MainBundleTest : public ::testing::Test {
 protected:
  void SetUp() override { Bundle::setMainBundleForTesting(nullptr); }
  void TearDown() override {
    ::unsetenv("QM_BUNDLE_PATH");
    Bundle::setMainBundleForTesting(nullptr);
  }
};

TEST(BundleTest, ReadsTheInformationDictionary) {
  auto bundle = Bundle::bundleWithPath(kFixtureBundle);
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "org.example.quillmere-test");
  ASSERT_TRUE(bundle->infoDictionary());
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleShortVersionString").stringValue(), "2.0.1");
  const Value forwarder = bundle->objectForInfoDictionaryKey("TelemetryAppDelegateForwarderEnabled");
  EXPECT_TRUE(forwarder.isBool());
  EXPECT_FALSE(forwarder.boolValue());
  EXPECT_TRUE(bundle->objectForInfoDictionaryKey("Missing").isNull());
  EXPECT_EQ(bundle->preferredLocalizations(), std::vector<std::string>{"de"});
  EXPECT_EQ(bundle->bundlePath(), kFixtureBundle);
  EXPECT_EQ(bundle->resourcePath(), kResources);
}

TEST(BundleTest, FindsResources) {
  auto bundle = Bundle::bundleWithPath(kFixtureBundle);
  ASSERT_TRUE(bundle);
  struct Case { std::string name, type, subdirectory; std::optional<std::string> expected; };
  const Case cases[] = {
      {"one", "cer", "", kResources + "/one.cer"},
      {"one", ".cer", ".", kResources + "/one.cer"},
      {"one.cer", "", "", kResources + "/one.cer"},
      {"one", "CER", "", std::nullopt},
      {"deep", "cer", "certs", kResources + "/certs/deep.cer"},
      {"Store", "momd", "", kResources + "/Store.momd"},
      {"missing", "cer", "", std::nullopt},
      {"../Resources/one", "cer", "", std::nullopt},
      {"deep", "cer", "../Resources/certs", std::nullopt},
      {"", "", "", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(bundle->pathForResource(c.name, c.type, c.subdirectory), c.expected) << c.name << "." << c.type;
  }

  using Paths = std::vector<std::string>;
  EXPECT_EQ(bundle->pathsForResourcesOfType("cer"), Paths{kResources + "/one.cer"});
  EXPECT_EQ(bundle->pathsForResourcesOfType(".CER", "."), Paths{kResources + "/two.CER"});
  EXPECT_EQ(bundle->pathsForResourcesOfType("cer", "certs"), Paths{kResources + "/certs/deep.cer"});
  EXPECT_EQ(bundle->pathsForResourcesOfType("txt", "nowhere"), Paths{});
  EXPECT_EQ(bundle->pathsForResourcesOfType("").size(), 6u);  // Info.plist, Store.momd, certs and three files
}

TEST(BundleTest, MissingOrBrokenInformationGivesNoDictionary) {
  EXPECT_FALSE(Bundle::bundleWithPath(QM_TEST_FIXTURES "/nowhere"));
  EXPECT_FALSE(Bundle::bundleWithPath(QM_TEST_FIXTURES "/Broken.plist"));  // a file, not a folder

  test::TempDir dir("qm-bundle");
  ASSERT_TRUE(test::writeFile(dir.file("Info.plist"), "not a plist"));
  auto bundle = Bundle::bundleWithPath(dir.path());  // no Resources folder at all
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->infoDictionary(), nullptr);
  EXPECT_EQ(bundle->bundleIdentifier(), std::nullopt);
  EXPECT_EQ(bundle->preferredLocalizations(), std::vector<std::string>{"en"});
  EXPECT_EQ(bundle->localizedStringForKey("Request failed: %@"), "Request failed: %@");
  EXPECT_EQ(bundle->localizedStringForKey("key", "Shown"), "Shown");
}

TEST_F(MainBundleTest, WithoutInformationTheIdentifierIsTheProcessName) {
  ::unsetenv("QM_BUNDLE_PATH");
  auto bundle = Bundle::mainBundle();
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "test_platform_foundation");
  EXPECT_EQ(bundle->infoDictionary(), nullptr);
  EXPECT_EQ(bundle->bundlePath() + "/test_platform_foundation", bundle->executablePath());
  EXPECT_EQ(Bundle::mainBundle(), bundle);  // found once, then kept
}

TEST_F(MainBundleTest, EnvironmentNamesAFolderOrTheInformationFile) {
  ::setenv("QM_BUNDLE_PATH", kFixtureBundle.c_str(), 1);
  EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), "org.example.quillmere-test");
  EXPECT_TRUE(Bundle::mainBundle()->pathForResource("one", "cer"));

  Bundle::setMainBundleForTesting(nullptr);
  ::setenv("QM_BUNDLE_PATH", (kResources + "/Info.plist").c_str(), 1);
  auto fromFile = Bundle::mainBundle();
  EXPECT_EQ(fromFile->bundleIdentifier(), "org.example.quillmere-test");
  EXPECT_EQ(fromFile->resourcePath(), kResources);
  EXPECT_TRUE(fromFile->pathForResource("one", "cer"));
}

TEST_F(MainBundleTest, TestsCanInstallTheirOwnBundle) {
  auto own = std::make_shared<Bundle>("/b", "/b/Resources",
                                      foundation::Dictionary{{"CFBundleVersion", "7"}});
  Bundle::setMainBundleForTesting(own);
  EXPECT_EQ(Bundle::mainBundle(), own);
  EXPECT_EQ(Bundle::mainBundle()->bundleIdentifier(), std::nullopt);
  EXPECT_EQ(Bundle::mainBundle()->objectForInfoDictionaryKey("CFBundleVersion").stringValue(), "7");
}

}  // namespace
