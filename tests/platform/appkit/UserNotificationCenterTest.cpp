#include <gtest/gtest.h>

#include <QTest>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/appkit/UserNotificationCenter.h"
#include "platform/foundation/Log.h"
#include "tests/platform/appkit/FakeNotificationServer.h"
#include "tests/support/LogCapture.h"
#include "tests/platform/appkit/QtTestSupport.h"

namespace {

using appkit::UserNotification;
using appkit::UserNotificationActivationType;
using appkit::UserNotificationCenter;

// Records what the centre tells it; answers shouldPresent with `present`.
class RecordingDelegate : public appkit::UserNotificationCenterDelegate {
 public:
  bool present = true;
  std::vector<std::shared_ptr<UserNotification>> deliveredOnes;
  std::vector<std::pair<std::shared_ptr<UserNotification>, UserNotificationActivationType>> activations;

  bool shouldPresentNotification(UserNotificationCenter&, const std::shared_ptr<UserNotification>&) override {
    return present;
  }
  void didDeliverNotification(UserNotificationCenter&, const std::shared_ptr<UserNotification>& n) override {
    deliveredOnes.push_back(n);
  }
  void didActivateNotification(UserNotificationCenter&, const std::shared_ptr<UserNotification>& n) override {
    activations.emplace_back(n, n->activationType);
  }
};

using test::LogCapture;

std::shared_ptr<UserNotification> refreshNotice() {
  auto n = std::make_shared<UserNotification>();
  n->identifier = "3F2504E0-4F89-11D3-9A0C-0305E82C3301";
  n->title = "Remote Hostfiles Updated";
  n->subtitle = "One remote hostfile updated.";
  n->informativeText = "Apply your changes now.";
  n->hasActionButton = true;
  n->actionButtonTitle = "Apply";
  return n;
}

const QStringList kFullCapabilities{"actions", "body"};

class UserNotificationCenterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    test::qtApplication();
    bus_ = new test::PrivateBus();
    // Before any use of the session bus in this process, so the default centre talks to ours.
    qputenv("DBUS_SESSION_BUS_ADDRESS", QByteArray::fromStdString(bus_->address()));
  }
  static void TearDownTestSuite() {
    delete bus_;
    bus_ = nullptr;
  }
  void SetUp() override { ASSERT_FALSE(bus_->address().empty()) << "dbus-daemon did not start"; }

  static const std::string& address() { return bus_->address(); }

  // Delivers `n` and waits until the server has it and the centre has its id.
  static void deliverAndWait(UserNotificationCenter& center, test::FakeNotificationServer& server,
                             const std::shared_ptr<UserNotification>& n) {
    const size_t before = server.notifyCalls().size();
    center.deliverNotification(n);
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.notifyCalls().size() == before + 1 && n->delivered; }, 5000));
  }

  static test::PrivateBus* bus_;
};

test::PrivateBus* UserNotificationCenterTest::bus_ = nullptr;

TEST_F(UserNotificationCenterTest, TheDefaultCentreShowsTheNoticeOnTheSessionBusWithItsTextsAndActions) {
  test::FakeNotificationServer server(address(), kFullCapabilities);
  ASSERT_TRUE(server.registered());
  auto delegate = std::make_shared<RecordingDelegate>();
  UserNotificationCenter& center = UserNotificationCenter::defaultUserNotificationCenter();
  center.setDelegate(delegate);
  auto n = refreshNotice();

  deliverAndWait(center, server, n);

  const auto call = server.notifyCalls().back();
  EXPECT_EQ(call.appName, "Quillmere");
  EXPECT_EQ(call.replacesId, 0u);
  EXPECT_EQ(call.summary, "Remote Hostfiles Updated");
  EXPECT_EQ(call.body, "One remote hostfile updated.\nApply your changes now.");
  EXPECT_EQ(call.actions, (QStringList{"default", "", "apply", "Apply"}));
  ASSERT_EQ(delegate->deliveredOnes.size(), 1u);
  EXPECT_EQ(delegate->deliveredOnes[0], n);
  const auto listed = center.deliveredNotifications();
  EXPECT_NE(std::find(listed.begin(), listed.end(), n), listed.end());

  // The action button reaches the delegate on the main thread with the platform's type 2.
  server.emitActionInvoked(call.id, "apply");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !delegate->activations.empty(); }, 5000));
  EXPECT_EQ(delegate->activations[0].first, n);
  EXPECT_EQ(int(delegate->activations[0].second), 2);
  center.removeDeliveredNotification(n);
  center.setDelegate({});
}

TEST_F(UserNotificationCenterTest, BodyJoinsOnlyTheTextsThatAreSetAndNoActionButtonMeansOnlyTheBodyAction) {
  test::FakeNotificationServer server(address(), kFullCapabilities);
  ASSERT_TRUE(server.registered());
  UserNotificationCenter center(address());
  struct Case {
    std::string subtitle, informative;
    QString body;
  };
  const Case cases[] = {{"Sub", "", "Sub"}, {"", "Info", "Info"}, {"", "", ""}};
  for (const Case& c : cases) {
    auto n = std::make_shared<UserNotification>();
    n->title = "T";
    n->subtitle = c.subtitle;
    n->informativeText = c.informative;
    deliverAndWait(center, server, n);
    EXPECT_EQ(server.notifyCalls().back().body, c.body) << c.subtitle << "|" << c.informative;
    EXPECT_EQ(server.notifyCalls().back().actions, (QStringList{"default", ""}));
  }
}

TEST_F(UserNotificationCenterTest, SignalsMapToActivationTypesOnlyForIdsThisCentreSent) {
  test::FakeNotificationServer server(address(), kFullCapabilities);
  ASSERT_TRUE(server.registered());
  UserNotificationCenter center(address());
  auto delegate = std::make_shared<RecordingDelegate>();
  center.setDelegate(delegate);
  auto n = refreshNotice();
  deliverAndWait(center, server, n);
  const uint id = server.notifyCalls().back().id;

  // Signals from one sender arrive in order, so once the last (marker) activation is seen, the
  // ones before it were either reported or ignored.
  server.emitActionInvoked(id + 100, "apply");  // another application's notice
  server.emitActionInvoked(id, "reply");         // a key we never offered
  server.emitActionInvoked(id, "default");
  server.emitActionInvoked(id, "apply");
  ASSERT_TRUE(QTest::qWaitFor([&] { return delegate->activations.size() >= 2; }, 5000));
  QTest::qWait(50);
  ASSERT_EQ(delegate->activations.size(), 2u);
  EXPECT_EQ(delegate->activations[0].second, UserNotificationActivationType::ContentsClicked);
  EXPECT_EQ(delegate->activations[1].second, UserNotificationActivationType::ActionButtonClicked);
  EXPECT_EQ(n->activationType, UserNotificationActivationType::ActionButtonClicked);

  // Closed by the desktop: it leaves the list and later signals for it are ignored.
  server.emitNotificationClosed(id, 2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return center.deliveredNotifications().empty(); }, 5000));
  auto marker = refreshNotice();
  deliverAndWait(center, server, marker);
  server.emitActionInvoked(id, "apply");
  server.emitActionInvoked(server.notifyCalls().back().id, "default");
  ASSERT_TRUE(QTest::qWaitFor([&] { return delegate->activations.size() >= 3; }, 5000));
  QTest::qWait(50);
  ASSERT_EQ(delegate->activations.size(), 3u);
  EXPECT_EQ(delegate->activations[2].first, marker);
}

TEST_F(UserNotificationCenterTest, RemovingANoticeClosesItOnTheDesktopAndAReleasedDelegateIsNotCalled) {
  test::FakeNotificationServer server(address(), kFullCapabilities);
  ASSERT_TRUE(server.registered());
  UserNotificationCenter center(address());
  auto delegate = std::make_shared<RecordingDelegate>();
  center.setDelegate(delegate);
  auto kept = refreshNotice();
  auto removed = refreshNotice();
  deliverAndWait(center, server, kept);
  deliverAndWait(center, server, removed);
  const uint keptId = server.notifyCalls()[0].id;
  const uint removedId = server.notifyCalls()[1].id;

  center.removeDeliveredNotification(removed);
  EXPECT_EQ(center.deliveredNotifications(), (std::vector{kept}));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !server.closeCalls().empty(); }, 5000));
  EXPECT_EQ(server.closeCalls(), (std::vector<uint>{removedId}));

  std::weak_ptr<RecordingDelegate> gone = delegate;
  delegate.reset();
  ASSERT_TRUE(gone.expired());
  server.emitActionInvoked(keptId, "apply");
  ASSERT_TRUE(QTest::qWaitFor([&] { return kept->activationType == UserNotificationActivationType::ActionButtonClicked; }, 5000));
}

TEST_F(UserNotificationCenterTest, ADeclinedNoticeIsDeliveredWithoutBeingShown) {
  test::FakeNotificationServer server(address(), kFullCapabilities);
  ASSERT_TRUE(server.registered());
  UserNotificationCenter center(address());
  auto delegate = std::make_shared<RecordingDelegate>();
  center.setDelegate(delegate);
  auto declined = refreshNotice();
  delegate->present = false;
  center.deliverNotification(declined);
  EXPECT_TRUE(declined->delivered);
  EXPECT_EQ(delegate->deliveredOnes, (std::vector{declined}));

  delegate->present = true;
  auto shown = refreshNotice();
  deliverAndWait(center, server, shown);
  EXPECT_EQ(server.notifyCalls().size(), 1u);  // only the second reached the desktop
  EXPECT_EQ(center.deliveredNotifications(), (std::vector{declined, shown}));
}

TEST_F(UserNotificationCenterTest, AServerWithoutActionsGetsNoneAndOneLineIsLogged) {
  test::FakeNotificationServer server(address(), {"body"});
  ASSERT_TRUE(server.registered());
  UserNotificationCenter center(address());
  LogCapture log;
  auto n = refreshNotice();
  deliverAndWait(center, server, n);
  EXPECT_TRUE(server.notifyCalls().back().actions.isEmpty());
  EXPECT_EQ(server.notifyCalls().back().summary, "Remote Hostfiles Updated");
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("shows no actions"), std::string::npos) << lines[0];
}

TEST_F(UserNotificationCenterTest, WithoutABusOrWithoutTheServiceItLogsAndDeliversNothing) {
  test::TempDir dir;
  struct Case {
    const char* name;
    std::string address;
  };
  const Case cases[] = {
      {"dead socket", "unix:path=" + dir.file("no-bus-here")},
      {"bus without the service", address()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    auto delegate = std::make_shared<RecordingDelegate>();
    UserNotificationCenter center(c.address);
    center.setDelegate(delegate);
    auto n = refreshNotice();
    const auto start = std::chrono::steady_clock::now();
    center.deliverNotification(n);
    // The call itself returns at once; the failure is reported within the D-Bus timeout.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log.lines().empty(); }, 5000));
    QTest::qWait(50);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find("\"Remote Hostfiles Updated\" not shown"), std::string::npos) << log.lines()[0];
    EXPECT_FALSE(n->delivered);
    EXPECT_TRUE(center.deliveredNotifications().empty());
    EXPECT_TRUE(delegate->deliveredOnes.empty());
  }
}

TEST_F(UserNotificationCenterTest, ACentreDestroyedWhileDeliveringIsNotCalledBack) {
  test::FakeNotificationServer server(address(), kFullCapabilities);
  ASSERT_TRUE(server.registered());
  auto delegate = std::make_shared<RecordingDelegate>();
  auto n = refreshNotice();
  {
    UserNotificationCenter center(address());
    center.setDelegate(delegate);
    center.deliverNotification(n);
  }
  // A second centre's delivery serves as the marker that the server has answered the first.
  UserNotificationCenter other(address());
  deliverAndWait(other, server, refreshNotice());
  QTest::qWait(50);
  EXPECT_FALSE(n->delivered);
  EXPECT_TRUE(delegate->deliveredOnes.empty());
}

}  // namespace
