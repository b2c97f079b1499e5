// The newsletter window against a loopback stand-in for the newsletter service: what is sent,
// how each reply is told apart, when "newsletterSubscribed" is written, and that the window is
// usable again with the typed address after every outcome.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "app/NewsletterWindowController.h"
#include "platform/appkit/FakeAlertPresenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/EndpointTestSupport.h"
#include "tests/support/RawHttpResponder.h"

namespace {

using app::NewsletterWindowController;

constexpr const char* kEmptyAddressMessage = "Please Enter Your Email Address";
constexpr const char* kOopsMessage = "Oops! Something went wrong.";
constexpr const char* kNotSetUpMessage = "The Newsletter Is Not Set Up";

class NewsletterWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::qtApplication();
    alerts = std::make_shared<appkit::FakeAlertPresenter>();
    appkit::AlertPresenter::setShared(alerts);
    defaults().removeObjectForKey(NewsletterWindowController::kSubscribedKey);
  }
  void TearDown() override { appkit::AlertPresenter::setShared(nullptr); }

  static foundation::UserDefaults& defaults() { return foundation::UserDefaults::standardUserDefaults(); }
  bool subscribed() { return defaults().boolForKey(NewsletterWindowController::kSubscribedKey); }

  // Shows the window, types `address` and presses Subscribe.
  void typeAndSubscribe(const QString& address) {
    controller.showWindow();
    controller.emailTextField()->setText(address);
    QTest::mouseClick(controller.subscribeButton(), Qt::LeftButton);
  }
  bool waitForAlert(std::size_t count = 1) {
    return test::pumpUntil([&] { return alerts->presentations().size() >= count; });
  }
  const appkit::Alert& lastAlert() { return alerts->presentations().back().alert; }
  // Idle again: field and button enabled, spinner stopped, the field focused, the text kept.
  void expectIdleWith(const QString& typed) {
    EXPECT_TRUE(controller.emailTextField()->isEnabled());
    EXPECT_TRUE(controller.subscribeButton()->isEnabled());
    EXPECT_TRUE(controller.spinner()->isHidden());
    EXPECT_EQ(controller.window()->focusWidget(), controller.emailTextField());
    EXPECT_EQ(controller.emailTextField()->text(), typed);
  }

  std::shared_ptr<appkit::FakeAlertPresenter> alerts;
  NewsletterWindowController controller;
};

TEST_F(NewsletterWindowTest, EachReplyGivesItsAlertAndOnlyConfirmationsRecordTheSubscription) {
  test::EndpointServer service;
  test::ScopedMainBundle bundle({{NewsletterWindowController::kServiceURLKey, service.url("/news/")}});
  const std::string alreadyText =
      "Your email address is already a member of our newsletter. If you're not receiving our emails, please check "
      "your spam folder. They'll be addressed from \"newsletter@quillmere.org\"";
  struct Case {
    int status;
    std::string body;
    std::string message;
    std::string informative;
    bool subscribed;
    bool closesWindow;
  } cases[] = {
      {200, "1", "Success!", "You have been successfully subscribed to our newsletter. Thanks for your interest!", true, true},
      {200, "Already subscribed.", "That email address is already subscribed.", alreadyText, true, false},
      // The status is not looked at: the body alone decides.
      {500, "Already subscribed.", "That email address is already subscribed.", alreadyText, true, false},
      {400, "Invalid email address.", "Invalid email address.", "The email address you entered is not valid.", false, false},
      {200, "1\n", kOopsMessage, "We encountered an error when trying to subscribe you. Try again?", false, false},
      {200, "", kOopsMessage, "We encountered an error when trying to subscribe you. Try again?", false, false},
      {200, "\xff\xfe" "1", kOopsMessage, "We encountered an error when trying to subscribe you. Try again?", false, false},
      {503, "Service Unavailable", kOopsMessage, "We encountered an error when trying to subscribe you. Try again?", false, false},
  };
  const QString typed = QStringLiteral("  someone+news@example.org \n");
  std::size_t sent = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    defaults().removeObjectForKey(NewsletterWindowController::kSubscribedKey);
    defaults().synchronize();
    service.reply(c.status, c.body);
    typeAndSubscribe(typed);
    // Sending: nothing can be changed until the service has answered.
    EXPECT_FALSE(controller.emailTextField()->isEnabled());
    EXPECT_FALSE(controller.subscribeButton()->isEnabled());
    EXPECT_FALSE(controller.spinner()->isHidden());

    ASSERT_TRUE(waitForAlert(++sent));
    const auto& shown = alerts->presentations().back();
    EXPECT_EQ(shown.alert.messageText(), c.message);
    EXPECT_EQ(shown.alert.informativeText(), c.informative);
    EXPECT_EQ(shown.alert.buttonTitles(), std::vector<std::string>{"OK"});
    EXPECT_TRUE(shown.asSheet);
    EXPECT_EQ(shown.window, controller.window());
    // Read back from disk, as the next run would.
    foundation::UserDefaults::resetStandardUserDefaultsForTesting();
    EXPECT_EQ(subscribed(), c.subscribed);
    // The fake answered the alert at once: only the success alert closes the window.
    EXPECT_EQ(controller.window()->isVisible(), !c.closesWindow);
    expectIdleWith(typed);
  }

  const auto requests = service.requests();
  ASSERT_EQ(requests.size(), std::size(cases));
  EXPECT_EQ(requests[0].path, "/news/subscribe");
  EXPECT_EQ(requests[0].contentType, "application/x-www-form-urlencoded");
  EXPECT_EQ(requests[0].body, "boolean=true&email=someone%2Bnews%40example.org&list=Rk42mTzqW9Lp3VbXa7HcNe5Ud8");
}

TEST_F(NewsletterWindowTest, ABlankAddressOrAMissingServiceSendsNothing) {
  test::EndpointServer service;
  struct Case {
    std::string configured;
    QString typed;
    std::string message;
  } cases[] = {
      {service.url(), QStringLiteral(" \n\t "), kEmptyAddressMessage},
      {service.url(), QString(), kEmptyAddressMessage},
      {"", QStringLiteral("someone@example.org"), kNotSetUpMessage},
      {"  ", QStringLiteral("someone@example.org"), kNotSetUpMessage},
  };
  std::size_t shown = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.configured + "|" + c.typed.toStdString());
    test::ScopedMainBundle bundle({{NewsletterWindowController::kServiceURLKey, c.configured}});
    typeAndSubscribe(c.typed);
    ASSERT_EQ(alerts->presentations().size(), ++shown);
    EXPECT_EQ(lastAlert().messageText(), c.message);
    EXPECT_TRUE(controller.window()->isVisible());
    EXPECT_TRUE(controller.emailTextField()->isEnabled());
    EXPECT_TRUE(controller.spinner()->isHidden());
    EXPECT_EQ(controller.emailTextField()->text(), c.typed);
  }
  test::pumpUntil([] { return false; }, 0.2);  // nothing late either
  EXPECT_TRUE(service.requests().empty());
  EXPECT_EQ(alerts->presentations().size(), shown);
  EXPECT_FALSE(subscribed());
}

TEST_F(NewsletterWindowTest, AServiceThatCannotBeReachedOrHangsUpGivesTheFailureAlert) {
  test::RawHttpResponder hangsUp("");
  const std::string services[] = {test::refusingURL("/"), hangsUp.baseURL()};
  std::size_t shown = 0;
  for (const auto& url : services) {
    SCOPED_TRACE(url);
    test::ScopedMainBundle bundle({{NewsletterWindowController::kServiceURLKey, url}});
    typeAndSubscribe(QStringLiteral("someone@example.org"));
    ASSERT_TRUE(waitForAlert(++shown));
    EXPECT_EQ(lastAlert().messageText(), kOopsMessage);
    EXPECT_TRUE(controller.window()->isVisible());
    expectIdleWith(QStringLiteral("someone@example.org"));
  }
  EXPECT_EQ(hangsUp.requestCount(), 1u);
  EXPECT_FALSE(subscribed());
}

TEST_F(NewsletterWindowTest, CancelClosesTheWindowAndTheAddressIsStillThereNextTime) {
  controller.showWindow();
  controller.emailTextField()->setText(QStringLiteral("half typed"));
  QTest::mouseClick(controller.cancelButton(), Qt::LeftButton);
  EXPECT_FALSE(controller.window()->isVisible());
  controller.showWindow();
  EXPECT_EQ(controller.emailTextField()->text(), QStringLiteral("half typed"));
  EXPECT_TRUE(alerts->presentations().empty());
}

}  // namespace
