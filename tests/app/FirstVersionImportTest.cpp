#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QMessageBox>
#include <QWindow>

#include <functional>
#include <tuple>

#include "app/FirstVersionImporter.h"
#include "hostfiles/ApplicationExtras.h"
#include "platform/appkit/MessageBoxAlertPresenter.h"
#include "platform/foundation/FileManager.h"
#include "tests/app/AppFixture.h"
#include "tests/app/EndpointTestSupport.h"

namespace {

using app::HostGroupFields;
using test::AppFixture;
using test::pumpUntil;

class FirstVersionImportTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    // The fixture marks the question as asked; these tests are about the first one.
    foundation::UserDefaults::standardUserDefaults().removeObjectForKey("askedToImportV1");
    foundation::UserDefaults::standardUserDefaults().synchronize();
    // A first-version folder: two hostfiles, one in Latin-1; a hidden file, a subfolder with a
    // file inside, and a file that is not text, none of which may be imported.
    folder_ = ApplicationExtras::v1HostsPath();
    ASSERT_EQ(::mkdir((dataDir_.path() + "/Quillmere").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((folder_ + "/Sub").c_str(), 0700), 0);
    ASSERT_TRUE(test::writeFile(folder_ + "/Office.txt", "10.0.0.1 office\n"));
    ASSERT_TRUE(test::writeFile(folder_ + "/Home", "10.0.0.2 caf\xe9\n"));
    ASSERT_TRUE(test::writeFile(folder_ + "/.hidden", "10.0.0.3 hidden\n"));
    ASSERT_TRUE(test::writeFile(folder_ + "/Sub/Inner.txt", "10.0.0.4 inner\n"));
    ASSERT_TRUE(test::writeFile(folder_ + "/Broken", "\xff\xfe\x41"));  // UTF-16 of odd length
  }

  const appkit::Alert& onlyQuestion() {
    EXPECT_EQ(alerts_->presentations().size(), 1u);
    return alerts_->presentations().front().alert;
  }

  // Runs the loop a little so that any save that was (wrongly) started would have finished.
  void settle() { pumpUntil([] { return false; }, 0.3); }

  std::string folder_;
};

TEST_F(FirstVersionImportTest, TheFirstLoadAsksOnceAndYesImportsEveryTopLevelFile) {
  launch();
  const appkit::Alert& question = onlyQuestion();
  EXPECT_EQ(question.messageText(), "Would you like to import your data from Quillmere 1.0?");
  EXPECT_EQ(question.informativeText(), "");
  EXPECT_EQ(question.buttonTitles(), (std::vector<std::string>{"Yes", "No"}));
  EXPECT_TRUE(alerts_->presentations().front().asSheet);
  EXPECT_EQ(alerts_->presentations().front().window, window().window());
  EXPECT_EQ(events_, std::vector<std::string>{"importV1"});

  ASSERT_TRUE(pumpUntil([&] { return titles().size() == 3; }));
  settle();
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "Home", "Office.txt"}));
  EXPECT_EQ(dirtyCount(), 0u);  // imported as found, not as edits
  const auto home = list().hostGroupAt(1);
  EXPECT_EQ(HostGroupFields::contentsProxy(*home), "10.0.0.2 caf\u00e9\n");
  EXPECT_EQ(HostGroupFields::contentsProxy(*list().hostGroupAt(2)), "10.0.0.1 office\n");
  for (const auto& record : {home, list().hostGroupAt(2)}) {
    EXPECT_TRUE(HostGroupFields::isEnabled(*record));
    EXPECT_TRUE(HostGroupFields::isEditable(*record));
    EXPECT_FALSE(HostGroupFields::isRemote(*record));
    EXPECT_FALSE(HostGroupFields::isEtcHostsPreview(*record));
    EXPECT_EQ(HostGroupFields::remoteURL(*record), "");
    EXPECT_EQ(HostGroupFields::sortOrder(*record), 1);
  }

  // The flag was written to disk: a later run does not ask again, and imports nothing more.
  relaunch();
  settle();
  EXPECT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_EQ(events_, std::vector<std::string>{"importV1"});
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "Home", "Office.txt"}));
}

TEST_F(FirstVersionImportTest, NoImportsNothingSendsNoEventAndIsNotAskedAgain) {
  alerts_->answerWith(appkit::kAlertSecondButtonReturn);
  launch();
  onlyQuestion();
  settle();
  EXPECT_TRUE(events_.empty());
  EXPECT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});

  relaunch();
  settle();
  EXPECT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});
}

TEST_F(FirstVersionImportTest, TheMenuActionAsksAgainAndASecondImportMakesSecondCopies) {
  foundation::UserDefaults::standardUserDefaults().set(true, "askedToImportV1");
  launch();
  EXPECT_TRUE(alerts_->presentations().empty());

  window().askToImportV1();
  ASSERT_TRUE(pumpUntil([&] { return titles().size() == 3; }));
  window().askToImportV1();
  ASSERT_TRUE(pumpUntil([&] { return titles().size() == 5; }));
  settle();
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "Home", "Home", "Office.txt", "Office.txt"}));
  EXPECT_EQ(events_, (std::vector<std::string>{"importV1", "importV1"}));
  EXPECT_EQ(test::readFile(folder_ + "/Office.txt"), "10.0.0.1 office\n");  // the source stays
}

TEST_F(FirstVersionImportTest, WithNothingToImportNothingIsAskedUntilFilesAppear) {
  // Each relaunch reads the defaults afresh.
  auto asked = [] { return foundation::UserDefaults::standardUserDefaults().boolForKey("askedToImportV1"); };
  struct Case {
    const char* name;
    std::function<void()> leave;
  };
  const std::vector<Case> cases = {
      {"only a hidden file and a subfolder",
       [&] {
         for (const char* name : {"Office.txt", "Home", "Broken"}) ::unlink((folder_ + "/" + name).c_str());
       }},
      {"no folder", [&] { ASSERT_TRUE(foundation::FileManager::defaultManager().removeItemAtPath(folder_)); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    c.leave();
    relaunch();
    window().askToImportV1();  // the menu action asks nothing either
    settle();
    EXPECT_TRUE(alerts_->presentations().empty());
    EXPECT_TRUE(events_.empty());
    EXPECT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});
    EXPECT_FALSE(asked());
    EXPECT_FALSE(app::FirstVersionImporter::hasFilesToImport());
  }

  // Once the folder holds a file, the next launch asks.
  ASSERT_EQ(::mkdir(folder_.c_str(), 0700), 0);
  ASSERT_TRUE(test::writeFile(folder_ + "/Late.txt", "10.0.0.5 late\n"));
  alerts_->answerWith(appkit::kAlertSecondButtonReturn);
  relaunch();
  EXPECT_EQ(onlyQuestion().messageText(), app::FirstVersionImporter::kQuestion);
  EXPECT_TRUE(asked());
}

TEST_F(FirstVersionImportTest, TheMenuItemIsEnabledOnlyWithSomethingToImport) {
  foundation::UserDefaults::standardUserDefaults().set(true, "askedToImportV1");
  launch();
  QAction* item = nullptr;
  QMenu* fileMenu = nullptr;
  for (QMenu* menu : window().window()->findChildren<QMenu*>()) {
    for (QAction* action : menu->actions()) {
      if (action->text() == "Import from Quillmere 1.0…") std::tie(item, fileMenu) = std::make_pair(action, menu);
    }
  }
  ASSERT_NE(item, nullptr);
  for (bool withFiles : {true, false}) {
    if (!withFiles) {
      ASSERT_TRUE(foundation::FileManager::defaultManager().removeItemAtPath(folder_));
    }
    emit fileMenu->aboutToShow();
    EXPECT_EQ(item->isEnabled(), withFiles);
  }
}

// Records, when a message box is shown, whether its parent window was on screen already. A box
// shown before its window gets no place over it and can end up behind it.
class BoxShowWatcher : public QObject {
 public:
  BoxShowWatcher() { qApp->installEventFilter(this); }
  ~BoxShowWatcher() override { qApp->removeEventFilter(this); }
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (box && event->type() == QEvent::Show) parentsShown.push_back(box->parentWidget() && box->parentWidget()->isVisible());
    return false;
  }
  std::vector<bool> parentsShown;
};

// The question as the user sees it: a box of the main window, above it and over it, titled with
// the application's name, opened once the main window is on screen.
TEST_F(FirstVersionImportTest, TheQuestionIsASheetOfTheShownMainWindow) {
  test::ScopedMainBundle bundle({{"CFBundleName", "Quillmere"}});
  appkit::AlertPresenter::setShared(std::make_shared<appkit::MessageBoxAlertPresenter>());
  BoxShowWatcher watcher;
  launch();
  QWidget* main = window().window();
  QMessageBox* box = nullptr;
  ASSERT_TRUE(pumpUntil([&] {
    box = main->findChild<QMessageBox*>();
    return box && box->isVisible();
  }));
  EXPECT_EQ(watcher.parentsShown, std::vector<bool>{true});
  EXPECT_EQ(box->text().toStdString(), app::FirstVersionImporter::kQuestion);
  EXPECT_EQ(box->parentWidget(), main);
  EXPECT_EQ(box->windowModality(), Qt::WindowModal);
  EXPECT_EQ(box->windowTitle(), "Quillmere");
  ASSERT_NE(box->windowHandle(), nullptr);
  EXPECT_EQ(box->windowHandle()->transientParent(), main->windowHandle());
  EXPECT_TRUE(main->frameGeometry().contains(box->frameGeometry().center()));

  // "Yes" imports.
  for (QAbstractButton* button : box->buttons()) {
    if (button->text() == "Yes") button->click();
  }
  ASSERT_TRUE(pumpUntil([&] { return titles().size() == 3; }));
  EXPECT_EQ(events_, std::vector<std::string>{"importV1"});
}

}  // namespace
