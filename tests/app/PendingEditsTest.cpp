// What the editor holds and the window shows, against what the records and the store hold:
// typing is handed over coalesced yet before anything reads it, and the preview follows what it
// compiles while it is shown.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QTest>

#include <functional>
#include <string>

#include "app/AdministratorRun.h"
#include "app/FirstVersionImporter.h"
#include "coredata/ObjectCategories.h"
#include "hostfiles/ApplicationExtras.h"
#include "platform/foundation/AppleScript.h"
#include "tests/app/AppFixture.h"
#include "tests/support/RecordingShellRunner.h"

namespace {

using app::HostGroupFields;
using test::pumpUntil;

class PendingEditsTest : public test::AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::string("flush-for-test"));
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(hostsDir_.file("quillmere.log"));
    foundation::AppleScript::setRunnerForTesting(runner_);
    launch();
  }
  void TearDown() override {
    AppFixture::TearDown();
    foundation::AppleScript::setRunnerForTesting(nullptr);
    foundation::SystemPaths::setFlushCacheCommandForTesting(std::nullopt);
    foundation::SystemPaths::setPrivilegedRunLogPathForTesting(std::nullopt);
  }

  // A new local hostfile, selected, with `text` typed into the editor and not handed over yet.
  coredata::ManagedObjectPtr typeIntoNewHostfile(const std::string& text) {
    addLocalAndWait();
    const auto record = window().selectedHostGroup();
    window().codeView()->setFocus();
    QTest::keyClicks(window().codeView(), QString::fromStdString(text));
    EXPECT_TRUE(window().hasPendingEdits());
    EXPECT_EQ(HostGroupFields::contentsProxy(*record).value_or(""), "");
    return record;
  }

  // A hostfile stored through a save block, as another window or a background task writes one.
  void storeHostfile(const std::string& title, const std::string& contents) {
    DataStack::saveWithBlockAndWait([&](const coredata::ManagedObjectContextPtr& local) {
      auto record = HostGroupFields::insertNewRecord(app::HostGroupKind::Local, local);
      record->setValueForKey(contents, "contents");
      record->setValueForKey(title, "title");
    });
  }

  std::string stored(const std::string& title) {
    const auto record = DSManagedObject::DS_findFirstByAttribute(HostGroup::kEntityName, "title", title,
                                                                 DSManagedObjectContext::DS_defaultContext());
    return record ? HostGroupFields::contentsProxy(*record).value_or("") : "(missing)";
  }

  std::string preview() { return window().codeView()->text(); }

  std::shared_ptr<test::RecordingShellRunner> runner_ = std::make_shared<test::RecordingShellRunner>();
};

TEST_F(PendingEditsTest, TypingReachesTheRecordBeforeAnythingReadsIt) {
  struct Case {
    const char* reader;
    std::string typed;
    std::function<void()> read;
    // What must hold once the reader ran, given the record typed into.
    std::function<void(const coredata::ManagedObjectPtr&, const std::string&)> check;
  };
  const auto recordHolds = [](const coredata::ManagedObjectPtr& record, const std::string& typed) {
    EXPECT_EQ(HostGroupFields::contentsProxy(*record).value_or(""), typed);
  };
  const auto storeHolds = [&](const coredata::ManagedObjectPtr& record, const std::string& typed) {
    recordHolds(record, typed);
    EXPECT_FALSE(DSManagedObjectContext::DS_defaultContext()->hasChanges());
  };
  const Case cases[] = {
      {"a row switch", "10.1.0.1 switched", [&] { window().selectHostGroup(list().hostGroupAt(0)); }, recordHolds},
      {"Apply", "10.1.0.2 applied",
       [&] {
         window().applyChanges();
         ASSERT_TRUE(pumpUntil([] { return !app::AdministratorRun::isRunning(); }));
       },
       [&](const coredata::ManagedObjectPtr& record, const std::string& typed) {
         storeHolds(record, typed);
         EXPECT_NE(test::readFile(ApplicationExtras::tmpEtcHostsPath()).find(typed), std::string::npos);
       }},
      {"Check Syntax", "not an address", [&] { window().checkSyntaxAction(); },
       [&](const coredata::ManagedObjectPtr& record, const std::string& typed) {
         recordHolds(record, typed);
         ASSERT_FALSE(alerts_->presentations().empty());
         EXPECT_EQ(alerts_->presentations().back().alert.messageText(), "Invalid Hostfile Format");
       }},
      {"a save", "10.1.0.4 saved", [&] { delegate_->contextSaver()->saveNow(); }, storeHolds},
      {"closing the window", "10.1.0.5 closed", [&] { window().window()->close(); }, recordHolds},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reader);
    window().showWindow();
    const auto record = typeIntoNewHostfile(c.typed);
    c.read();
    EXPECT_FALSE(window().hasPendingEdits());
    c.check(record, c.typed);
    // The typed hostfile must not stop the next case's apply.
    HostGroupFields::setEnabled(*record, false);
  }

  // Quitting: what was typed a moment before comes back from the store at the next launch.
  typeIntoNewHostfile("10.1.0.6 quit");
  HostGroupFields::setTitle(*window().selectedHostGroup(), "Quit");
  relaunch();
  EXPECT_EQ(stored("Quit"), "10.1.0.6 quit");
}

TEST_F(PendingEditsTest, TypingAloneHandsTheTextOverOnceAfterThePause) {
  const auto record = typeIntoNewHostfile("10.2.0.1 paused");
  QTest::keyClicks(window().codeView(), QStringLiteral(" more"));
  ASSERT_TRUE(pumpUntil([&] { return !window().hasPendingEdits(); }));
  EXPECT_EQ(HostGroupFields::contentsProxy(*record).value_or(""), "10.2.0.1 paused more");
  EXPECT_TRUE(HostGroupFields::isDirty(*record));
  // The save that follows takes it to the store.
  ASSERT_TRUE(pumpUntil([&] { return !delegate_->contextSaver()->isSavePending(); }));
  EXPECT_FALSE(DSManagedObjectContext::DS_defaultContext()->hasChanges());
}

TEST_F(PendingEditsTest, ThePreviewFollowsWhatItCompilesWhileShown) {
  storeHostfile("Shown", "10.3.0.1 shown.example");
  list().refresh();
  window().selectHostGroup(list().hostGroupAt(0));
  ASSERT_TRUE(HostGroupFields::isEtcHostsPreview(*window().selectedHostGroup()));
  const auto has = [&](const char* line) { return preview().find(line) != std::string::npos; };
  // Shown since the launch: the new hostfile comes in once the list has it.
  ASSERT_TRUE(pumpUntil([&] { return has("10.3.0.1 shown.example"); }));
  const QModelIndex shown = list().index(list().rowOf(DSManagedObject::DS_findFirstByAttribute(
      HostGroup::kEntityName, "title", std::string("Shown"), DSManagedObjectContext::DS_defaultContext())));

  ASSERT_TRUE(list().setData(shown, Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_TRUE(pumpUntil([&] { return !has("10.3.0.1 shown.example"); }));
  ASSERT_TRUE(list().setData(shown, Qt::Checked, Qt::CheckStateRole));
  EXPECT_TRUE(pumpUntil([&] { return has("10.3.0.1 shown.example"); }));

  // Written elsewhere, by a background save: the list learns of it when the save is merged.
  storeHostfile("Elsewhere", "10.3.0.2 elsewhere.example");
  EXPECT_TRUE(pumpUntil([&] { return has("10.3.0.2 elsewhere.example"); }));

  // An import of the first version's files.
  const std::string folder = ApplicationExtras::v1HostsPath();
  ASSERT_EQ(::mkdir((dataDir_.path() + "/Quillmere").c_str(), 0700), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  ASSERT_TRUE(test::writeFile(folder + "/Imported", "10.3.0.3 imported.example\n"));
  window().askToImportV1();  // answered "Yes"
  EXPECT_TRUE(pumpUntil([&] { return has("10.3.0.3 imported.example"); }));

  // The preview is never an edit, and nothing of it reaches a record.
  EXPECT_FALSE(window().hasPendingEdits());
  EXPECT_EQ(window().codeView()->editCount(), 0u);
}

}  // namespace
