// The feedback window against a loopback stand-in for the feedback service: the send button's
// rule per tab, the JSON report of each tab as the service receives it, the question about a
// missing e-mail address, the delegate's veto, and what is kept or cleared after each outcome.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabBar>
#include <QTest>

#include <filesystem>
#include <optional>

#include "app/FeedbackHostInfo.h"
#include "app/FeedbackWindowController.h"
#include "app/FeedbackPanel.h"
#include "platform/appkit/FakeAlertPresenter.h"
#include "platform/foundation/DeviceInfo.h"
#include "platform/foundation/JSONSerialization.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/EndpointTestSupport.h"

namespace {

using app::FeedbackWindowController;
using foundation::Dictionary;
using foundation::Value;

constexpr const char* kFailedMessage = "Unable To Send Feedback";

Value parsedJSON(const std::string& body) {
  return foundation::JSONSerialization::JSONObjectWithData(foundation::Data(body.begin(), body.end())).value_or(Value());
}

// Agrees or refuses as told, and keeps the reports it was shown.
class RecordingDelegate : public app::FeedbackPanelDelegate {
 public:
  explicit RecordingDelegate(bool agrees) : agrees_(agrees) {}
  bool feedbackPanelWillSendData(app::FeedbackPanel&, const Dictionary& report) override {
    seen.push_back(report);
    return agrees_;
  }
  std::vector<Dictionary> seen;

 private:
  bool agrees_;
};

class FeedbackWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    alerts = std::make_shared<appkit::FakeAlertPresenter>();
    appkit::AlertPresenter::setShared(alerts);
  }
  void TearDown() override { appkit::AlertPresenter::setShared(nullptr); }

  // The information keys a real build has, and the service's URL.
  static Dictionary info(const std::string& submitURL) {
    return Dictionary{{"CFBundleExecutable", "quillmere"},
                      {"CFBundleName", "Quillmere"},
                      {"CFBundleDisplayName", "Quillmere"},
                      {"CFBundleVersion", "2.0.0"},
                      {FeedbackWindowController::kSubmitURLKey, submitURL}};
  }
  FeedbackWindowController& controller() { return front.windowController(); }
  // Clicks Send and waits for the alert that ends it.
  bool sendAndWaitForAlert() {
    const std::size_t before = alerts->presentations().size();
    QTest::mouseClick(controller().btnSend(), Qt::LeftButton);
    return test::pumpUntil([&] { return alerts->presentations().size() > before; });
  }
  const appkit::Alert& lastAlert() { return alerts->presentations().back().alert; }

  std::shared_ptr<appkit::FakeAlertPresenter> alerts;
  app::FeedbackPanel front;
};

TEST_F(FeedbackWindowTest, SendIsEnabledOnTheTextTabsOnlyWithTextAndAlwaysOnTheBugTab) {
  front.presentFeedbackPanelForSupport();
  FeedbackWindowController& c = controller();
  EXPECT_EQ(c.window()->windowTitle().toStdString(), app::feedback::hostDisplayName() + " Feedback");
  EXPECT_EQ(c.tabView()->currentWidget(), c.viewSupport());
  EXPECT_EQ(c.window()->focusWidget(), c.txtQuestion());
  EXPECT_FALSE(c.btnSend()->isEnabled());
  QTest::keyClicks(c.txtQuestion(), "?");
  EXPECT_TRUE(c.btnSend()->isEnabled());

  // Choosing a tab in the window shows it and applies its rule.
  c.tabs()->setCurrentIndex(FeedbackWindowController::kFeatureTab);
  EXPECT_EQ(c.tabView()->currentWidget(), c.viewFeature());
  EXPECT_EQ(c.window()->focusWidget(), c.txtFeature());
  EXPECT_FALSE(c.btnSend()->isEnabled());
  QTest::keyClicks(c.txtFeature(), " ");  // a blank is text too
  EXPECT_TRUE(c.btnSend()->isEnabled());
  c.txtFeature()->clear();
  EXPECT_FALSE(c.btnSend()->isEnabled());

  c.tabs()->setCurrentIndex(FeedbackWindowController::kBugTab);
  EXPECT_EQ(c.tabView()->currentWidget(), c.viewBug());
  EXPECT_EQ(c.window()->focusWidget(), c.txtWhatHappened());
  EXPECT_TRUE(c.btnSend()->isEnabled());

  front.presentFeedbackPanelForFeature();
  EXPECT_EQ(c.tabs()->currentIndex(), FeedbackWindowController::kFeatureTab);
  EXPECT_FALSE(c.btnSend()->isEnabled());
}

TEST_F(FeedbackWindowTest, EachTabPostsItsJSONReport) {
  test::EndpointServer service;
  service.reply(200, R"({"ok":true})", "application/json");
  test::ScopedMainBundle bundle(info(service.url("/feedback/submit?product=quillmere&v=2")));
  std::string longText;
  for (int line = 0; line < 2500; ++line) longText += "A long line of what happened, told in great detail. \u00e9 " + std::to_string(line) + "\n";
  const Dictionary common{{"appname", "quillmere"},
                          {"appversion", "2.0.0"},
                          {"systemversion", foundation::DeviceInfo().osVersion()},
                          {"appstore", "0"},
                          {"email", "me@example.org"}};
  struct Case {
    const char* name;
    std::function<void(FeedbackWindowController&)> fill;
    Dictionary expected;  // beside the common keys
  } cases[] = {
      {"support",
       [](FeedbackWindowController& c) {
         c.presentFeedbackPanelForSupport();
         QTest::keyClicks(c.txtQuestion(), "How do I import?");
       },
       {{"type", "support"}, {"message", "How do I import?"}}},
      {"feature",
       [](FeedbackWindowController& c) {
         c.presentFeedbackPanelForFeature();
         c.txtFeature()->setPlainText(QString::fromUtf8("Groups, sorted \u00e0 la carte"));
         c.btnImportance()->setCurrentText("High");
       },
       {{"type", "feature"}, {"message", "Groups, sorted \u00e0 la carte"}, {"importance", "High"}}},
      {"bug, critical",
       [&](FeedbackWindowController& c) {
         c.presentFeedbackPanelForBug();
         c.txtWhatHappened()->setPlainText(QString::fromStdString(longText));
         c.txtStepsToReproduce()->setPlainText("1. Apply\n2. Wait");
         c.btnIsCritical()->setChecked(true);
       },
       {{"type", "bug"},
        {"message", "What did you expect to happen?\n" + longText +
                        "\n\nWhat steps will reproduce the problem?\n1. Apply\n2. Wait"},
        {"critical", "1"}}},
      {"bug, empty, not critical",
       [](FeedbackWindowController& c) {
         c.presentFeedbackPanelForBug();
         c.btnIsCritical()->setChecked(false);
       },
       {{"type", "bug"}, {"message", "What did you expect to happen?\n\n\nWhat steps will reproduce the problem?\n"}}},
  };
  std::size_t sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.fill(controller());
    controller().txtEmailAddress()->setText("me@example.org");
    ASSERT_TRUE(sendAndWaitForAlert());
    EXPECT_EQ(lastAlert().messageText(), "Feedback Sent!");
    const auto requests = service.requests();
    ASSERT_EQ(requests.size(), ++sent);
    EXPECT_EQ(requests.back().path, "/feedback/submit");
    EXPECT_EQ(requests.back().contentType, "application/json");
    Dictionary expected = common;
    for (const auto& [key, value] : c.expected) expected.set(key, value);
    EXPECT_EQ(parsedJSON(requests.back().body), Value(expected));
  }
}

TEST_F(FeedbackWindowTest, ASentReportClearsTheTextAreasAndClosesOnDismissal) {
  test::EndpointServer service;
  service.reply(200, "", "application/json");  // an empty reply is accepted too
  test::ScopedMainBundle bundle(info(service.url("/submit")));
  front.presentFeedbackPanelForFeature();
  FeedbackWindowController& c = controller();
  c.txtFeature()->setPlainText("more colours");
  c.btnImportance()->setCurrentText("Low");
  c.txtWhatHappened()->setPlainText("left from before");
  c.btnIsCritical()->setChecked(true);
  c.txtEmailAddress()->setText("me@example.org");

  alerts->holdSheets(true);
  ASSERT_TRUE(sendAndWaitForAlert());
  EXPECT_EQ(lastAlert().informativeText(), "Your feedback was successfully sent. Thank you!");
  EXPECT_EQ(alerts->presentations().back().window, c.window());
  // Until the alert is dismissed, the indicator runs and nothing is cleared.
  EXPECT_FALSE(c.piStatus()->isHidden());
  EXPECT_EQ(c.txtFeature()->toPlainText(), "more colours");
  ASSERT_TRUE(alerts->endSheet(appkit::kAlertFirstButtonReturn));

  EXPECT_TRUE(c.piStatus()->isHidden());
  EXPECT_FALSE(c.window()->isVisible());
  for (QPlainTextEdit* view : {c.txtQuestion(), c.txtFeature(), c.txtWhatHappened(), c.txtStepsToReproduce()}) {
    EXPECT_TRUE(view->toPlainText().isEmpty());
  }
  EXPECT_EQ(c.txtEmailAddress()->text(), "me@example.org");
  EXPECT_EQ(c.btnImportance()->currentText(), "Low");
  EXPECT_TRUE(c.btnIsCritical()->isChecked());
}

TEST_F(FeedbackWindowTest, EveryFailureGivesOneAlertAndKeepsTheForm) {
  test::EndpointServer service;
  struct Case {
    const char* name;
    int status;
    std::string body;
    std::string contentType;
    bool reachable;
  } cases[] = {
      {"server error with JSON", 500, R"({"error":"down"})", "application/json", true},
      {"a page that is not JSON", 200, "<html>thanks</html>", "text/html", true},
      {"malformed JSON", 200, "{\"ok\":", "application/json", true},
      {"nobody listening", 0, "", "", false},
  };
  front.presentFeedbackPanelForBug();
  FeedbackWindowController& c = controller();
  c.txtWhatHappened()->setPlainText("it works");
  c.txtStepsToReproduce()->setPlainText("apply");
  c.txtEmailAddress()->setText("me@example.org");
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    service.reply(k.status, k.body, k.contentType);
    test::ScopedMainBundle bundle(info(k.reachable ? service.url("/submit") : test::refusingURL("/submit")));
    ASSERT_TRUE(sendAndWaitForAlert());
    EXPECT_EQ(lastAlert().messageText(), kFailedMessage);
    EXPECT_EQ(lastAlert().informativeText(),
              "We were unable to send your feedback due to a network error. Please try again.");
    EXPECT_TRUE(c.piStatus()->isHidden());
    EXPECT_TRUE(c.window()->isVisible());
    EXPECT_EQ(c.txtWhatHappened()->toPlainText(), "it works");
    EXPECT_EQ(c.txtStepsToReproduce()->toPlainText(), "apply");
  }
  test::pumpUntil([] { return false; }, 0.2);
  EXPECT_EQ(alerts->presentations().size(), std::size(cases));  // one alert each, none late
}

TEST_F(FeedbackWindowTest, ABlankAddressAsksFirstAndCanStillBeSentAsTyped) {
  test::EndpointServer service;
  service.reply(200, "{}", "application/json");
  test::ScopedMainBundle bundle(info(service.url("/submit")));
  front.presentFeedbackPanelForSupport();
  FeedbackWindowController& c = controller();
  QTest::keyClicks(c.txtQuestion(), "Hello");
  c.txtEmailAddress()->setText("  \t");

  alerts->answerWith(appkit::kAlertFirstButtonReturn);  // "Add Email Address"
  QTest::mouseClick(c.btnSend(), Qt::LeftButton);
  ASSERT_EQ(alerts->presentations().size(), 1u);
  const auto& question = alerts->presentations().back().alert;
  EXPECT_EQ(question.messageText(), "You haven't entered your email address.");
  EXPECT_EQ(question.buttonTitles(), (std::vector<std::string>{"Add Email Address", "Send Without Email Address"}));
  EXPECT_EQ(c.window()->focusWidget(), c.txtEmailAddress());
  EXPECT_TRUE(c.piStatus()->isHidden());

  alerts->answerWith(appkit::kAlertSecondButtonReturn);  // "Send Without Email Address"
  ASSERT_TRUE(sendAndWaitForAlert());
  ASSERT_TRUE(test::pumpUntil([&] { return alerts->presentations().size() == 3; }));
  EXPECT_EQ(lastAlert().messageText(), "Feedback Sent!");
  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(parsedJSON(requests[0].body).dictionaryValue().get("email"), Value("  \t"));
}

TEST_F(FeedbackWindowTest, NothingIsSentWithoutAnAddressOrWhenTheDelegateRefuses) {
  test::EndpointServer service;
  service.reply(200, "{}", "application/json");
  front.presentFeedbackPanelForSupport();
  FeedbackWindowController& c = controller();
  QTest::keyClicks(c.txtQuestion(), "Hello");
  c.txtEmailAddress()->setText("me@example.org");

  for (const std::string unset : {"", "   "}) {
    test::ScopedMainBundle bundle(info(unset));
    QTest::mouseClick(c.btnSend(), Qt::LeftButton);
    EXPECT_EQ(lastAlert().messageText(), "Feedback Is Not Set Up");
    EXPECT_TRUE(c.window()->isVisible());
    EXPECT_TRUE(c.piStatus()->isHidden());
    EXPECT_EQ(c.txtQuestion()->toPlainText(), "Hello");
  }

  test::ScopedMainBundle bundle(info(service.url("/submit")));
  auto refuses = std::make_shared<RecordingDelegate>(false);
  front.setDelegate(refuses);
  front.presentFeedbackPanelForSupport();
  QTest::mouseClick(c.btnSend(), Qt::LeftButton);
  ASSERT_EQ(refuses->seen.size(), 1u);
  EXPECT_EQ(refuses->seen[0].get("message"), Value("Hello"));
  EXPECT_FALSE(c.window()->isVisible());
  EXPECT_TRUE(c.piStatus()->isHidden());

  auto agrees = std::make_shared<RecordingDelegate>(true);
  front.setDelegate(agrees);
  front.presentFeedbackPanelForSupport();
  ASSERT_TRUE(sendAndWaitForAlert());
  EXPECT_EQ(agrees->seen.size(), 1u);
  test::pumpUntil([] { return false; }, 0.2);
  EXPECT_EQ(service.requests().size(), 1u);  // only the one the delegate let through
}

TEST_F(FeedbackWindowTest, TheReportNamesTheProgramFromWhatTheBundleHas) {
  struct Case {
    Dictionary info;
    std::string name;
    std::string displayName;
    std::optional<std::string> version;
  } cases[] = {
      {{{"CFBundleExecutable", "quillmere"}, {"CFBundleName", "Quillmere"}, {"CFBundleVersion", "7"}},
       "quillmere", "quillmere", "7"},
      {{{"CFBundleName", "Quillmere"}, {"CFBundleDisplayName", "Quillmere Hosts"}}, "Quillmere", "Quillmere Hosts",
       std::nullopt},
      {{}, "", "", std::nullopt},  // the folder's name, below
  };
  for (auto& k : cases) {
    test::ScopedMainBundle bundle(k.info);
    const std::string folder =
        std::filesystem::path(foundation::Bundle::mainBundle()->bundlePath()).stem().string();
    if (k.name.empty()) k.name = k.displayName = folder;
    SCOPED_TRACE(k.name);
    EXPECT_EQ(app::feedback::hostName(), k.name);
    EXPECT_EQ(app::feedback::hostDisplayName(), k.displayName);
    EXPECT_EQ(app::feedback::hostVersion(), k.version);
    FeedbackWindowController fresh;
    const Dictionary report = fresh.report();
    EXPECT_EQ(report.get("appname"), Value(k.name));
    EXPECT_EQ(report.contains("appversion"), k.version.has_value());
    EXPECT_EQ(fresh.window()->windowTitle().toStdString(), k.displayName + " Feedback");
  }
  EXPECT_FALSE(app::feedback::systemVersion().empty());
}

}  // namespace
