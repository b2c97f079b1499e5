#include <gtest/gtest.h>

#include <QAction>

#include <cctype>
#include <memory>
#include <string>

#include "platform/appkit/RecordingWorkspace.h"
#include "platform/appkit/Updater.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/Bundle.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

class GlueTest : public ::testing::Test {
 protected:
  void SetUp() override { test::qtApplication(); }
  void TearDown() override { appkit::Workspace::setSharedWorkspace(nullptr); }
};

TEST_F(GlueTest, SharedWorkspaceIsReplaceableByARecorder) {
  auto recorder = std::make_shared<appkit::RecordingWorkspace>();
  appkit::Workspace::setSharedWorkspace(recorder);
  EXPECT_TRUE(appkit::Workspace::sharedWorkspace()->openURL("https://quillmere.org/about/"));
  recorder->setResult(false);
  EXPECT_FALSE(appkit::Workspace::sharedWorkspace()->openURL("https://quillmere.org/quillmere/acknowledgments/"));
  EXPECT_EQ(recorder->openedURLs(),
            (std::vector<std::string>{"https://quillmere.org/about/", "https://quillmere.org/quillmere/acknowledgments/"}));

  appkit::Workspace::setSharedWorkspace(nullptr);
  EXPECT_NE(appkit::Workspace::sharedWorkspace(), recorder);
}

TEST_F(GlueTest, DesktopWorkspaceRefusesTextThatIsNoAbsoluteURL) {
  // Refused before the desktop is asked, so nothing is launched here.
  appkit::Workspace desktop;
  for (const char* text : {"", "about/", "http://exa mple.org/", "%zz"}) {
    EXPECT_FALSE(desktop.openURL(text)) << text;
  }
}

TEST_F(GlueTest, ThereIsNoUpdaterSoItsMenuItemIsHidden) {
  EXPECT_EQ(appkit::Updater::sharedUpdater(), nullptr);
  QAction item("Check for Updates…");
  ASSERT_TRUE(item.isVisible());
  appkit::Updater::configureMenuItem(&item);
  EXPECT_FALSE(item.isVisible());
  appkit::Updater::configureMenuItem(nullptr);
}

TEST_F(GlueTest, GeneratedInformationDictionaryIsReadByTheBundle) {
  // The build writes it beside the application, in app/ next to this executable's tests/ folder.
  const std::string testsFolder = foundation::Bundle::mainBundle()->bundlePath();
  const auto bundle = foundation::Bundle::bundleWithPath(testsFolder + "/../app");
  ASSERT_NE(bundle, nullptr);
  ASSERT_NE(bundle->infoDictionary(), nullptr) << "Resources/Info.plist missing or malformed";

  EXPECT_EQ(bundle->bundleIdentifier(), "org.quillmere.Quillmere");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleName").stringValue(), "Quillmere");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleExecutable").stringValue(), "quillmere");
  const foundation::Value shortVersion = bundle->objectForInfoDictionaryKey("CFBundleShortVersionString");
  ASSERT_TRUE(shortVersion.isString());
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(shortVersion.stringValue().front())));
  EXPECT_EQ(shortVersion.stringValue().find('@'), std::string::npos) << "template variable left unfilled";
  EXPECT_TRUE(bundle->objectForInfoDictionaryKey("CFBundleVersion").isString());
  // Empty unless the build was configured with them; an "&" in a URL must survive the XML.
  const struct {
    const char* key;
    const char* configured;
  } settings[] = {
      {"QMSubmitFeedbackURL", QM_CONFIGURED_FEEDBACK_URL},
      {"QMNewsletterURL", QM_CONFIGURED_NEWSLETTER_URL},
      {"QMTelemetryIngestionURL", QM_CONFIGURED_INGESTION_URL},
      {"QMTelemetryAppSecret", QM_CONFIGURED_APP_SECRET},
  };
  for (const auto& setting : settings) {
    const foundation::Value value = bundle->objectForInfoDictionaryKey(setting.key);
    ASSERT_TRUE(value.isString()) << setting.key;
    EXPECT_EQ(value.stringValue(), setting.configured) << setting.key;
  }
  const foundation::Value forwarder = bundle->objectForInfoDictionaryKey("TelemetryAppDelegateForwarderEnabled");
  ASSERT_TRUE(forwarder.isBool());
  EXPECT_FALSE(forwarder.boolValue());
}

}  // namespace
