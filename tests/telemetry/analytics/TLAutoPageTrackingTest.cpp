#include <gtest/gtest.h>

#include <QWidget>

#include <string>
#include <vector>

#include "platform/foundation/RunLoop.h"
#include "telemetry/analytics/Model/TLPageLog.h"
#include "telemetry/analytics/TLAnalytics.h"
#include "telemetry/analytics/TLAnalyticsCategory.h"
#include "telemetry/core/TLTelemetry.h"
#include "tests/platform/appkit/QtTestSupport.h"
#include "tests/telemetry/support/TLChannelFixtures.h"

namespace pages {
class SettingsViewController : public QWidget {};
class AccountViewController : public QWidget {};
}  // namespace pages

namespace {

// Automatic page tracking with the real widgets on the offscreen platform and a started SDK; a
// recorder on the channel group sees the page logs enqueued.
class TLAutoPageTrackingTest : public testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    ASSERT_TRUE(TLAnalyticsCategory::activateCategory());
  }
  void TearDown() override {
    // The work the test left on the channel group's queue (switching units and their companions,
    // which a unit's switch queues in turn) ends before the SDK goes, so none of it runs while the
    // process exits.
    if (const auto unit = TLAnalytics::sharedInstance()->channelUnit()) {
      test::onQueue(unit->logsDispatchQueue());
      test::onQueue(unit->logsDispatchQueue());
    }
    TLAnalytics::resetSharedInstance();
    TLTelemetry::resetSharedInstance();
  }
  void startSdk() {
    TLTelemetry::start("target=pages-secret", {TLServiceClass::of<TLAnalytics>()});
    TLTelemetry::sharedInstance()->channelGroup()->addDelegate(recorder);
  }
  std::vector<std::string> pagesTracked() const {
    std::vector<std::string> names;
    for (const auto& event : recorder->events("prepare")) {
      if (auto page = std::dynamic_pointer_cast<TLPageLog>(event.log)) names.push_back(page->name().value_or(""));
    }
    return names;
  }

  std::shared_ptr<test::RecordingChannelDelegate> recorder = std::make_shared<test::RecordingChannelDelegate>();
};

TEST_F(TLAutoPageTrackingTest, AShownWidgetIsTrackedOnceWhileTrackingIsOn) {
  startSdk();
  pages::SettingsViewController off;
  off.show();
  EXPECT_TRUE(pagesTracked().empty()) << "tracking is off by default";

  TLAnalytics::setAutoPageTrackingEnabled(true);
  pages::SettingsViewController on;
  on.show();
  EXPECT_EQ(pagesTracked(), std::vector<std::string>{"Settings"});
}

TEST_F(TLAutoPageTrackingTest, OnlyThePageLastSeenBeforeTheServiceStartsIsTrackedWhenItDoes) {
  TLAnalytics::setAutoPageTrackingEnabled(true);
  pages::SettingsViewController first;
  first.show();
  pages::AccountViewController second;
  second.show();
  EXPECT_EQ(TLAnalyticsCategory::missedPageViewName(), "Account");

  startSdk();
  ASSERT_TRUE(foundation::pumpMainUntil([&] { return !pagesTracked().empty(); }, 5));
  EXPECT_EQ(pagesTracked(), std::vector<std::string>{"Account"});
}

}  // namespace
