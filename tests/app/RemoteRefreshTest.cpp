// Remote hostfile refresh against a real HTTP server on 127.0.0.1, with the refresh notification
// going to a fake notification server on a private session bus.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QProgressBar>
#include <QStringList>
#include <QTest>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/AdministratorRun.h"
#include "app/RefreshNotifier.h"
#include "app/RemoteRefresher.h"
#include "app/UTF8Text.h"
#include "coredata/ObjectCategories.h"
#include "hostfiles/ApplicationExtras.h"
#include "platform/appkit/UserNotificationCenter.h"
#include "platform/foundation/AppleScript.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/Timer.h"
#include "platform/foundation/UUID.h"
#include "tests/app/AppFixture.h"
#include "tests/support/RecordingShellRunner.h"
#include "tests/support/LogCapture.h"
#include "tests/platform/appkit/FakeNotificationServer.h"
#include "tests/platform/net/LoopbackServer.h"

namespace {

using app::HostGroupFields;
using app::RefreshNotifier;
using app::RemoteRefresher;

// Serves /h/<name> with the status and body set for that name (404 for unknown names), counts the
// requests per name, and can hold a name's answer until it is released.
class HostfileServer {
 public:
  HostfileServer() {
    auto& routes = server_.routes();
    routes.set_keep_alive_max_count(1);
    routes.Get(R"(/h/(.+))", [this](const httplib::Request& request, httplib::Response& response) {
      const std::string name = request.matches[1];
      std::unique_lock lock(mutex_);
      ++hits_[name];
      changed_.notify_all();
      changed_.wait(lock, [&] { return !held_.contains(name); });
      response.set_header("Cache-Control", "no-store");
      const auto found = answers_.find(name);
      if (found == answers_.end()) {
        response.status = 404;
        return;
      }
      response.status = found->second.first;
      response.set_content(found->second.second, "text/plain");
    });
    server_.start();
  }
  ~HostfileServer() {
    std::lock_guard lock(mutex_);
    held_.clear();
    changed_.notify_all();
  }

  void answer(const std::string& name, int status, const std::string& body) {
    std::lock_guard lock(mutex_);
    answers_[name] = {status, body};
  }
  void hold(const std::string& name) {
    std::lock_guard lock(mutex_);
    held_.insert(name);
  }
  void release(const std::string& name) {
    std::lock_guard lock(mutex_);
    held_.erase(name);
    changed_.notify_all();
  }
  int hits(const std::string& name) {
    std::lock_guard lock(mutex_);
    return hits_[name];
  }
  int totalHits() {
    std::lock_guard lock(mutex_);
    int total = 0;
    for (const auto& [name, count] : hits_) total += count;
    return total;
  }
  std::string url(const std::string& name) const { return server_.url("/h/" + name); }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::pair<int, std::string>> answers_;
  std::map<std::string, int> hits_;
  std::set<std::string> held_;
  test::LoopbackServer server_;  // last: stopped first, after held answers were let go
};

// An address on 127.0.0.1 where nothing listens.
std::string refusedURL() {
  test::LoopbackServer server;
  server.start();
  const std::string url = server.url("/h/refused");
  server.stop();
  return url;
}

using RecordingRunner = test::RecordingShellRunner;

using test::LogCapture;

class RemoteRefreshTest : public test::AppFixture {
 protected:
  static void SetUpTestSuite() { bus_ = new test::PrivateBus(); }
  static void TearDownTestSuite() {
    delete bus_;
    bus_ = nullptr;
  }

  void SetUp() override {
    AppFixture::SetUp();
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::string("flush-for-test"));
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(hostsDir_.file("quillmere.log"));
    foundation::AppleScript::setRunnerForTesting(runner_);
    ASSERT_FALSE(bus_->address().empty()) << "dbus-daemon did not start";
    desktop_ = std::make_unique<test::FakeNotificationServer>(bus_->address(), QStringList{"actions", "body"});
    ASSERT_TRUE(desktop_->registered());
    center_ = std::make_unique<appkit::UserNotificationCenter>(bus_->address());
  }

  void TearDown() override {
    AppFixture::TearDown();
    center_.reset();
    desktop_.reset();
    foundation::AppleScript::setRunnerForTesting(nullptr);
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::nullopt);
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(std::nullopt);
  }

  // Launches with refresh notifications going to the private bus.
  void launchApp() {
    delegate_ = std::make_unique<app::AppDelegate>(center_.get());
    delegate_->applicationDidFinishLaunching();
  }

  // A hostfile written through a save block, as the windows create them, then found again in the
  // default context. An absent `url` leaves the remote address unset.
  static coredata::ManagedObjectPtr addHostfile(app::HostGroupKind kind, const std::string& title,
                                                const std::optional<std::string>& url, const std::string& contents) {
    DataStack::saveWithBlockAndWait([&](const coredata::ManagedObjectContextPtr& local) {
      auto record = HostGroupFields::insertNewRecord(kind, local);
      // Contents while the title is absent, as creation does, so the new record is not dirty.
      record->setValueForKey(foundation::Value(), "title");
      record->setValueForKey(contents, "contents");
      record->setValueForKey(title, "title");
      record->setValueForKey(url ? foundation::Value(*url) : foundation::Value(), "remoteURL");
    });
    return findHostfile(title);
  }
  static coredata::ManagedObjectPtr addRemote(const std::string& title, const std::optional<std::string>& url,
                                              const std::string& contents) {
    return addHostfile(app::HostGroupKind::Remote, title, url, contents);
  }
  static coredata::ManagedObjectPtr findHostfile(const std::string& title) {
    return DSManagedObject::DS_findFirstByAttribute(HostGroup::kEntityName, "title", foundation::Value(title),
                                                     DSManagedObjectContext::DS_defaultContext());
  }
  static std::string contentsOf(const coredata::ManagedObjectPtr& record) {
    return HostGroupFields::contentsProxy(*record).value_or("(none)");
  }

  // Refreshes every remote hostfile and waits for the end; the number updated, or -1 on timeout.
  int refreshAllAndWait() {
    std::optional<int> updated;
    delegate_->remoteRefresher().refreshAll([&](int count) { updated = count; });
    EXPECT_TRUE(test::pumpUntil([&] { return updated.has_value(); }, 10));
    return updated.value_or(-1);
  }
  int refreshOneAndWait(const coredata::ManagedObjectPtr& record) {
    std::optional<int> updated;
    EXPECT_TRUE(delegate_->remoteRefresher().refreshOne(record, [&](int count) { updated = count; }));
    EXPECT_TRUE(test::pumpUntil([&] { return updated.has_value(); }, 10));
    return updated.value_or(-1);
  }

  // Runs the loop a little, for things that must not happen.
  static void settle() { test::pumpUntil([] { return false; }, 0.3); }

  static test::PrivateBus* bus_;
  HostfileServer server_;
  std::shared_ptr<RecordingRunner> runner_ = std::make_shared<RecordingRunner>();
  std::unique_ptr<test::FakeNotificationServer> desktop_;
  std::unique_ptr<appkit::UserNotificationCenter> center_;
};

test::PrivateBus* RemoteRefreshTest::bus_ = nullptr;

TEST_F(RemoteRefreshTest, RefreshOfAllNotifiesOfTheOneUpdatedHostfileAndKeepsWhatFailed) {
  launchApp();
  // Plain text, not JSON: taken as it is.
  server_.answer("new", 200, "10.0.0.2 fresh.test\n# not { json");
  server_.answer("same", 200, "10.0.0.3 same.test");
  const auto fresh = addRemote("Fresh", server_.url("new"), "10.0.0.1 old.test");
  const auto same = addRemote("Same", server_.url("same"), "10.0.0.3 same.test");
  const auto missing = addRemote("Missing", server_.url("missing"), "10.0.0.4 kept.test");
  const auto noAddress = addRemote("No address", std::nullopt, "10.0.0.5 untouched.test");
  const auto local = addHostfile(app::HostGroupKind::Local, "Local", server_.url("local"), "10.0.0.6 local.test");

  EXPECT_EQ(refreshAllAndWait(), 1);
  EXPECT_EQ(contentsOf(fresh), "10.0.0.2 fresh.test\n# not { json");
  EXPECT_TRUE(HostGroupFields::isDirty(*fresh));
  EXPECT_EQ(contentsOf(same), "10.0.0.3 same.test");
  EXPECT_FALSE(HostGroupFields::isDirty(*same));
  EXPECT_EQ(contentsOf(missing), "10.0.0.4 kept.test");
  EXPECT_FALSE(HostGroupFields::isDirty(*missing));
  EXPECT_EQ(contentsOf(noAddress), "10.0.0.5 untouched.test");
  EXPECT_EQ(server_.hits("local"), 0);
  EXPECT_EQ(server_.totalHits(), 3);
  EXPECT_TRUE(alerts_->presentations().empty());
  EXPECT_TRUE(events_.empty());

  ASSERT_TRUE(test::pumpUntil([&] { return desktop_->notifyCalls().size() == 1; }));
  const auto call = desktop_->notifyCalls()[0];
  EXPECT_EQ(call.summary, "Remote Hostfiles Updated");
  EXPECT_EQ(call.body, "One remote hostfile updated.\nApply your changes now.");
  EXPECT_EQ(call.actions, (QStringList{"default", "", "apply", "Apply"}));
}

TEST_F(RemoteRefreshTest, SubtitleCountsInWordsOnlyForOne) {
  const std::pair<int, std::string> cases[] = {
      {1, "One remote hostfile updated."}, {2, "2 remote hostfiles updated."}, {12, "12 remote hostfiles updated."}};
  for (const auto& [count, subtitle] : cases) EXPECT_EQ(RefreshNotifier::subtitleFor(count), subtitle) << count;
  const auto notice = RefreshNotifier::makeNotification(2);
  EXPECT_EQ(notice->subtitle, "2 remote hostfiles updated.");
  EXPECT_EQ(notice->informativeText, "Apply your changes now.");
  EXPECT_TRUE(notice->hasActionButton);
  EXPECT_EQ(notice->actionButtonTitle, "Apply");
  EXPECT_TRUE(foundation::UUID::fromString(notice->identifier).has_value());
  EXPECT_NE(RefreshNotifier::makeNotification(2)->identifier, notice->identifier);
}

// A download that fails, or brings nothing readable, must never wipe the hostfile.
TEST_F(RemoteRefreshTest, FailedOrUnreadableDownloadsKeepTheLastGoodContents) {
  launchApp();
  server_.answer("server-error", 500, "oops");
  server_.answer("empty", 200, "");
  server_.answer("not-utf8", 200, std::string("10.0.0.1 \xff\xfe bad", 15));
  struct Case {
    std::string title, url;
  };
  const Case cases[] = {{"404", server_.url("missing")},    {"500", server_.url("server-error")},
                        {"refused", refusedURL()},          {"unparsable", "http://[::1"},
                        {"empty address", ""},              {"empty body", server_.url("empty")},
                        {"not UTF-8", server_.url("not-utf8")}};
  std::vector<coredata::ManagedObjectPtr> records;
  for (const auto& c : cases) records.push_back(addRemote(c.title, c.url, "10.9.9.9 " + c.title));

  LogCapture log;
  EXPECT_EQ(refreshAllAndWait(), 0);
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(contentsOf(records[i]), "10.9.9.9 " + cases[i].title) << cases[i].title;
    EXPECT_FALSE(HostGroupFields::isDirty(*records[i])) << cases[i].title;
  }
  // A body that is not text fails as a failed transfer does: logged, nothing else.
  EXPECT_TRUE(log.contains(server_.url("not-utf8") + ": the body is not UTF-8 text; its contents are kept."));
  settle();
  EXPECT_TRUE(desktop_->notifyCalls().empty());
}

TEST_F(RemoteRefreshTest, WithoutRemoteHostfilesNothingIsRequestedOrNotified) {
  launchApp();
  addHostfile(app::HostGroupKind::Local, "Local", server_.url("local"), "10.0.0.6 local.test");
  EXPECT_EQ(delegate_->remoteRefresher().refreshAll(), 0);
  EXPECT_EQ(refreshAllAndWait(), 0);
  settle();
  EXPECT_EQ(server_.totalHits(), 0);
  EXPECT_TRUE(desktop_->notifyCalls().empty());
}

TEST_F(RemoteRefreshTest, AHostfileDeletedWhileDownloadingIsLeftAlone) {
  launchApp();
  server_.answer("gone", 200, "10.0.0.7 new.test");
  server_.hold("gone");
  const auto doomed = addRemote("Gone", server_.url("gone"), "10.0.0.7 old.test");
  const std::size_t dirtyBefore = dirtyCount();

  std::optional<int> updated;
  delegate_->remoteRefresher().refreshAll([&](int count) { updated = count; });
  ASSERT_TRUE(test::pumpUntil([&] { return server_.hits("gone") == 1; }));
  DataStack::saveWithBlockAndWait([&](const coredata::ManagedObjectContextPtr& local) {
    DSManagedObject::DS_deleteEntityInContext(DSManagedObject::DS_inContext(doomed, local), local);
  });
  server_.release("gone");
  ASSERT_TRUE(test::pumpUntil([&] { return updated.has_value(); }, 10));

  EXPECT_EQ(*updated, 0);
  EXPECT_EQ(dirtyCount(), dirtyBefore);
  EXPECT_EQ(findHostfile("Gone"), nullptr);
  settle();
  EXPECT_TRUE(desktop_->notifyCalls().empty());
}

TEST_F(RemoteRefreshTest, SingleRefreshSetsTheTextOrShowsTheErrorAndKeepsTheContents) {
  launchApp();
  server_.answer("new", 200, "10.0.1.2 new.test");
  server_.answer("same", 200, "10.0.1.3 same.test");
  server_.answer("json", 200, "{\"hosts\": [1, 2]}");
  server_.answer("broken", 500, "oops");
  std::string noise(4096, '\0');
  for (std::size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 7919 + 13) % 251 + 3);
  ASSERT_FALSE(app::isWellFormedUTF8(noise));
  server_.answer("noise", 200, noise);
  struct Case {
    std::string title, url, before, after;
    bool alert;
  };
  const Case cases[] = {
      {"new", server_.url("new"), "10.0.1.1 old.test", "10.0.1.2 new.test", false},
      {"same", server_.url("same"), "10.0.1.3 same.test", "10.0.1.3 same.test", false},
      {"json", server_.url("json"), "10.0.1.4 old.test", "{\"hosts\": [1, 2]}", false},
      {"missing", server_.url("missing"), "10.0.1.5 kept.test", "10.0.1.5 kept.test", true},
      {"broken", server_.url("broken"), "10.0.1.6 kept.test", "10.0.1.6 kept.test", true},
      {"refused", refusedURL(), "10.0.1.7 kept.test", "10.0.1.7 kept.test", true},
      {"4 KiB of random bytes", server_.url("noise"), "10.0.1.8 kept.test", "10.0.1.8 kept.test", true},
  };
  for (const auto& c : cases) {
    const auto record = addRemote(c.title, c.url, c.before);
    ASSERT_FALSE(HostGroupFields::isDirty(*record)) << c.title;
    events_.clear();
    const std::size_t alertsBefore = alerts_->presentations().size();

    EXPECT_EQ(refreshOneAndWait(record), c.alert ? 0 : 1) << c.title;
    EXPECT_EQ(contentsOf(record), c.after) << c.title;
    // A successful single refresh marks the hostfile even when the text did not change.
    EXPECT_EQ(HostGroupFields::isDirty(*record), !c.alert) << c.title;
    EXPECT_EQ(events_, std::vector<std::string>{"refreshRemote"}) << c.title;
    ASSERT_EQ(alerts_->presentations().size(), alertsBefore + (c.alert ? 1 : 0)) << c.title;
    if (!c.alert) continue;
    const auto& shown = alerts_->presentations().back();
    EXPECT_EQ(shown.alert.messageText(), "An error occurred while retrieving this hosts file.");
    EXPECT_EQ(shown.alert.informativeText(),
              "We were unable to update this hosts file's contents from the network. Please try again.");
    EXPECT_EQ(shown.alert.buttonTitles(), std::vector<std::string>{"OK"});
    EXPECT_TRUE(shown.asSheet);
    EXPECT_EQ(shown.window, window().window());
  }
  settle();
  EXPECT_TRUE(desktop_->notifyCalls().empty());
}

TEST_F(RemoteRefreshTest, TheMainWindowsRefreshActionRefreshesTheSelectedHostfile) {
  launchApp();
  server_.answer("selected", 200, "10.0.5.2 selected.test");
  const auto record = addRemote("Selected", server_.url("selected"), "10.0.5.1 old.test");
  list().refresh();
  window().selectHostGroup(record);
  ASSERT_EQ(window().selectedHostGroup(), record);
  events_.clear();
  window().refreshRemote();
  ASSERT_TRUE(test::pumpUntil([&] { return contentsOf(record) == "10.0.5.2 selected.test"; }));
  // The editor follows.
  EXPECT_TRUE(test::pumpUntil([&] { return window().codeView()->text() == "10.0.5.2 selected.test"; }));
  EXPECT_EQ(events_, std::vector<std::string>{"refreshRemote"});
  EXPECT_EQ(server_.hits("selected"), 1);
}

// The address field as the user left it is the address fetched: typed and never confirmed, or
// confirmed with Return a moment before Refresh while the store is busy saving.
TEST_F(RemoteRefreshTest, RefreshFetchesTheAddressTheFieldShows) {
  launchApp();
  server_.answer("old", 200, "10.0.7.1 old.test");
  server_.answer("typed", 200, "10.0.7.2 typed.test");
  server_.answer("returned", 200, "10.0.7.3 returned.test");
  const auto record = addRemote("Field", server_.url("old"), "10.0.7.0 before.test");
  list().refresh();
  window().selectHostGroup(record);
  QLineEdit* field = window().remoteURLField();
  ASSERT_TRUE(field->isVisibleTo(window().window()));

  field->setFocus();
  field->selectAll();
  QTest::keyClicks(field, QString::fromStdString(server_.url("typed")));
  window().refreshRemote();
  ASSERT_TRUE(test::pumpUntil([&] { return contentsOf(record) == "10.0.7.2 typed.test"; }));
  EXPECT_EQ(HostGroupFields::remoteURL(*record), server_.url("typed"));

  field->selectAll();
  QTest::keyClicks(field, QString::fromStdString(server_.url("returned")));
  QTest::keyClick(field, Qt::Key_Return);
  window().refreshRemote();
  ASSERT_TRUE(test::pumpUntil([&] { return contentsOf(record) == "10.0.7.3 returned.test"; }));
  EXPECT_EQ(server_.hits("old"), 0);
  EXPECT_EQ(server_.hits("typed"), 1);
  EXPECT_EQ(server_.hits("returned"), 1);
  // The address is saved with the other edits of the window.
  ASSERT_TRUE(test::pumpUntil([&] { return !delegate_->contextSaver()->isSavePending(); }));
  relaunch();
  EXPECT_EQ(HostGroupFields::remoteURL(*findHostfile("Field")), server_.url("returned"));
}

// A body sent in two halves, the second only once released; with or without its length.
class HalvesServer {
 public:
  explicit HalvesServer(std::string body) : body_(std::move(body)) {
    server_.routes().Get("/known", [this](const httplib::Request&, httplib::Response& response) {
      response.set_content_provider(body_.size(), "text/plain",
                                    [this](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                      return send(offset, sink);
                                    });
    });
    server_.routes().Get("/unknown", [this](const httplib::Request&, httplib::Response& response) {
      response.set_chunked_content_provider("text/plain", [this](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= body_.size()) {
          sink.done();
          return true;
        }
        return send(offset, sink);
      });
    });
    server_.start();
  }
  ~HalvesServer() { release(); }
  void release() {
    std::lock_guard lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }
  void hold() {
    std::lock_guard lock(mutex_);
    released_ = false;
  }
  std::string url(const std::string& path) const { return server_.url(path); }

 private:
  bool send(std::size_t offset, httplib::DataSink& sink) {
    const std::size_t half = body_.size() / 2;
    if (offset >= half) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return released_; });
    }
    const std::size_t end = offset < half ? half : body_.size();
    return sink.write(body_.data() + offset, end - offset);
  }

  std::string body_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  test::LoopbackServer server_;  // last: stopped first
};

TEST_F(RemoteRefreshTest, ARefreshShowsItsProgressInTheWindow) {
  std::string body;
  while (body.size() < (1u << 20)) body += "0.0.0.0 ads" + std::to_string(body.size()) + ".example\n";
  HalvesServer halves(body);
  launchApp();
  QProgressBar* bar = window().refreshProgressBar();
  ASSERT_NE(bar, nullptr);
  EXPECT_FALSE(bar->isVisibleTo(window().window()));

  struct Case {
    const char* path;
    bool lengthKnown;
  };
  for (const Case& c : {Case{"/known", true}, Case{"/unknown", false}}) {
    SCOPED_TRACE(c.path);
    halves.hold();
    const auto record = addRemote(c.path, halves.url(c.path), "10.0.8.1 old.test");
    std::optional<int> updated;
    ASSERT_TRUE(delegate_->remoteRefresher().refreshOne(record, [&](int count) { updated = count; }));
    // Half the body has come: a share of the bar when the length is known, its busy sign if not.
    // (The server compresses a body of unknown length, so less than half may have come through.)
    const std::int64_t due = c.lengthKnown ? std::int64_t(body.size() / 2) : 1;
    ASSERT_TRUE(test::pumpUntil([&] { return delegate_->remoteRefresher().progress().received >= due; }));
    EXPECT_TRUE(bar->isVisibleTo(window().window()));
    if (c.lengthKnown) {
      EXPECT_GT(bar->maximum(), 0);
      EXPECT_GE(bar->value(), bar->maximum() / 2 - 1);
      EXPECT_LT(bar->value(), bar->maximum());
    } else {
      EXPECT_EQ(bar->maximum(), 0);
    }
    halves.release();
    ASSERT_TRUE(test::pumpUntil([&] { return updated.has_value(); }, 10));
    EXPECT_EQ(*updated, 1);
    EXPECT_EQ(contentsOf(record), body);
    EXPECT_FALSE(bar->isVisibleTo(window().window()));
  }
}

TEST_F(RemoteRefreshTest, AShownPreviewFollowsARefresh) {
  launchApp();
  server_.answer("listed", 200, "10.0.9.2 refreshed.test");
  addRemote("Listed", server_.url("listed"), "10.0.9.1 before.test");
  list().refresh();
  window().selectHostGroup(list().hostGroupAt(0));
  ASSERT_TRUE(test::pumpUntil(
      [&] { return window().codeView()->text().find("10.0.9.1 before.test") != std::string::npos; }));
  EXPECT_EQ(refreshAllAndWait(), 1);
  EXPECT_TRUE(test::pumpUntil(
      [&] { return window().codeView()->text().find("10.0.9.2 refreshed.test") != std::string::npos; }));
  EXPECT_EQ(window().codeView()->text().find("10.0.9.1 before.test"), std::string::npos);
}

TEST_F(RemoteRefreshTest, SingleRefreshOfALocalHostfileOrOneWithoutAddressDoesNothing) {
  launchApp();
  const coredata::ManagedObjectPtr cases[] = {
      addHostfile(app::HostGroupKind::Local, "Local", server_.url("local"), "10.0.2.1 local.test"),
      addRemote("No address", std::nullopt, "10.0.2.2 remote.test"),
      nullptr,
  };
  for (const auto& record : cases) EXPECT_FALSE(delegate_->remoteRefresher().refreshOne(record));
  settle();
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(server_.totalHits(), 0);
  EXPECT_TRUE(alerts_->presentations().empty());
}

TEST_F(RemoteRefreshTest, TheApplyButtonAppliesWithoutACheckAndTheBodyDoesNot) {
  launchApp();
  // Not a valid hostfile line, and "checkSyntax" is on: the button applies all the same.
  server_.answer("bad", 200, "not-an-address bad.test");
  const auto record = addRemote("Bad", server_.url("bad"), "10.0.3.1 old.test");
  ASSERT_EQ(refreshAllAndWait(), 1);
  ASSERT_FALSE(record->valueForKey("isValidSyntax").boolValue());
  ASSERT_TRUE(test::pumpUntil([&] { return desktop_->notifyCalls().size() == 1 && !center_->deliveredNotifications().empty(); }));
  const uint id = desktop_->notifyCalls()[0].id;
  events_.clear();

  // A refused password: the failure is shown, the mark stays.
  runner_->next.outcome = foundation::ShellRunner::Result::Outcome::AuthorizationRefused;
  desktop_->emitActionInvoked(id, "apply");
  // The run's outcome is in once no run is under way; only then may its calls be read.
  const auto ran = [&](std::size_t calls) {
    return !app::AdministratorRun::isRunning() && runner_->calls.size() >= calls;
  };
  ASSERT_TRUE(test::pumpUntil([&] { return ran(1); }));
  ASSERT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_EQ(alerts_->presentations()[0].alert.messageText(), RefreshNotifier::kApplyFailedMessage);
  EXPECT_FALSE(alerts_->presentations()[0].alert.informativeText().empty());
  EXPECT_TRUE(HostGroupFields::isDirty(*record));

  // Signals from one sender arrive in order: once the second apply is seen, the body click
  // before it has been handled, and it ran nothing.
  runner_->next = {};
  desktop_->emitActionInvoked(id, "default");
  desktop_->emitActionInvoked(id, "apply");
  ASSERT_TRUE(test::pumpUntil([&] { return ran(2); }));
  settle();
  EXPECT_EQ(runner_->calls.size(), 2u);
  EXPECT_TRUE(runner_->calls[1].second);
  EXPECT_NE(test::readFile(ApplicationExtras::tmpEtcHostsPath()).find("not-an-address bad.test"), std::string::npos);
  EXPECT_FALSE(HostGroupFields::isDirty(*record));
  EXPECT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_TRUE(events_.empty());

  // A notice the notifier did not send is never acted on, whatever its button.
  auto foreign = RefreshNotifier::makeNotification(1);
  foreign->activationType = appkit::UserNotificationActivationType::ActionButtonClicked;
  delegate_->refreshNotifier()->didActivateNotification(*center_, foreign);
  EXPECT_EQ(runner_->calls.size(), 2u);
}

// Neither a server without buttons nor a missing bus may hold up or break a refresh; both are logged.
TEST_F(RemoteRefreshTest, NoticesWithoutButtonsOrWithoutABusAreLoggedAndTheRefreshGoesOn) {
  LogCapture log;
  auto logged = [&](const std::string& part) { return log.contains(part); };

  desktop_.reset();
  desktop_ = std::make_unique<test::FakeNotificationServer>(bus_->address(), QStringList{"body"});
  ASSERT_TRUE(desktop_->registered());
  launchApp();
  server_.answer("first", 200, "10.0.6.1 first.test");
  addRemote("First", server_.url("first"), "10.0.6.0 old.test");
  EXPECT_EQ(refreshAllAndWait(), 1);
  ASSERT_TRUE(test::pumpUntil([&] { return desktop_->notifyCalls().size() == 1; }));
  EXPECT_TRUE(desktop_->notifyCalls()[0].actions.isEmpty());
  EXPECT_TRUE(test::pumpUntil([&] { return logged("shows no actions"); }));

  quit();
  appkit::UserNotificationCenter nowhere("unix:path=" + hostsDir_.file("no-bus-here"));
  delegate_ = std::make_unique<app::AppDelegate>(&nowhere);
  delegate_->applicationDidFinishLaunching();
  server_.answer("first", 200, "10.0.6.2 second.test");
  EXPECT_EQ(refreshAllAndWait(), 1);
  EXPECT_TRUE(test::pumpUntil([&] { return logged("\"Remote Hostfiles Updated\" not shown"); }));
  EXPECT_EQ(contentsOf(findHostfile("First")), "10.0.6.2 second.test");
  quit();
}

TEST_F(RemoteRefreshTest, RefreshOnLaunchRefreshesOnceAndTheTimerFirstFiresOneIntervalLater) {
  server_.answer("launch", 200, "10.0.4.2 launch.test");
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed(app::AppDelegate::kStoreName);
  addRemote("Launch", server_.url("launch"), "10.0.4.1 old.test");
  DataStack::cleanUp();
  foundation::UserDefaults::standardUserDefaults().set(true, "refreshOnLaunch");

  const foundation::Date launched = foundation::Date::now();
  launchApp();
  const auto timer = delegate_->refreshTimer();
  ASSERT_NE(timer, nullptr);
  EXPECT_TRUE(timer->isValid());
  EXPECT_TRUE(timer->repeats());
  EXPECT_EQ(timer->timeInterval(), 1800.0);
  EXPECT_GE(timer->fireDate().timeIntervalSince(launched), 1800.0);
  // The launch refresh is the only one: once it is done and has told the user, the loop runs on
  // without a second fetch.
  ASSERT_TRUE(test::pumpUntil([&] { return desktop_->notifyCalls().size() == 1; }, 10));
  EXPECT_EQ(contentsOf(findHostfile("Launch")), "10.0.4.2 launch.test");
  settle();
  EXPECT_EQ(server_.hits("launch"), 1);

  quit();
  EXPECT_FALSE(timer->isValid());
}

TEST_F(RemoteRefreshTest, RefreshOnLaunchOffMeansNoRefreshAndNoTimer) {
  server_.answer("launch", 200, "10.0.4.2 launch.test");
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed(app::AppDelegate::kStoreName);
  addRemote("Launch", server_.url("launch"), "10.0.4.1 old.test");
  DataStack::cleanUp();

  launchApp();
  settle();
  EXPECT_EQ(delegate_->refreshTimer(), nullptr);
  EXPECT_EQ(server_.totalHits(), 0);
}

}  // namespace
