#include <gtest/gtest.h>

#include <QFont>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTest>

#include <set>

#include "app/MainSplitView.h"
#include "app/QMTableView.h"
#include "coredata/ObjectCategories.h"
#include "tests/app/AppFixture.h"

namespace {

using app::HostGroupFields;
using app::HostfileListModel;
using app::MainWindowController;
using test::AppFixture;
using test::pumpUntil;

class MainWindowTest : public AppFixture {
 protected:
  void SetUp() override {
    AppFixture::SetUp();
    launch();
  }

  void addRemoteAndWait() {
    const std::size_t before = list().arrangedObjects().size();
    window().addRemoteHosts();
    ASSERT_TRUE(pumpUntil([&] { return list().arrangedObjects().size() == before + 1; }));
  }

  void renameRow(int row, const std::string& title) {
    bool renamed = false;
    const auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        "NOTE_HOST_NAME_CHANGED", nullptr, nullptr, [&](const foundation::Notification&) { renamed = true; });
    list().setData(list().index(row), QString::fromStdString(title), Qt::EditRole);
    EXPECT_TRUE(pumpUntil([&] { return renamed; }));
    foundation::NotificationCenter::defaultCenter().removeObserver(token);
  }

  std::size_t storedCount() {
    return DSManagedObject::DS_countOfEntities("HostGroup", DSManagedObjectContext::DS_context());
  }
};

TEST_F(MainWindowTest, AddingALocalHostfileListsItAfterThePreviewAndSelectsIt) {
  EXPECT_EQ(selectedTitle(), "/etc/hosts");
  addLocalAndWait();
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "New Hosts"}));
  EXPECT_EQ(selectedTitle(), "New Hosts");
  EXPECT_EQ(events_, std::vector<std::string>{"addHost"});
  EXPECT_FALSE(window().codeView()->isReadOnly());
  EXPECT_FALSE(window().remoteURLField()->isVisibleTo(window().window()));
}

// Both saves run before either completion: each completion must still select its own hostfile.
TEST_F(MainWindowTest, TwoQuickAddsEachSelectTheirOwnHostfile) {
  std::set<std::string> selected;
  QObject::connect(window().tableView()->selectionModel(), &QItemSelectionModel::selectionChanged,
                   window().tableView(), [&] { selected.insert(selectedTitle()); });
  window().addHosts();
  window().addRemoteHosts();
  EXPECT_TRUE(pumpUntil([&] { return selected.count("New Hosts") && selected.count("New Remote Hosts"); }))
      << "selected: " << testing::PrintToString(selected);
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "New Hosts", "New Remote Hosts"}));
  EXPECT_EQ(storedCount(), 3u);
  EXPECT_EQ(events_, (std::vector<std::string>{"addHost", "addRemoteHost"}));
}

TEST_F(MainWindowTest, ARemoteHostfileShowsItsIconAndAddressAndIsNotTypedIn) {
  addRemoteAndWait();
  ASSERT_EQ(selectedTitle(), "New Remote Hosts");
  const QModelIndex row = list().index(1);
  EXPECT_FALSE(list().data(row, Qt::DecorationRole).isNull());
  EXPECT_TRUE(list().data(list().index(0), Qt::DecorationRole).isNull());
  EXPECT_TRUE(window().codeView()->isReadOnly());
  EXPECT_TRUE(window().remoteURLField()->isVisibleTo(window().window()));
  EXPECT_EQ(window().remoteURLField()->text().toStdString(), HostGroup::kPlaceholderRemoteURL);
  EXPECT_EQ(events_, std::vector<std::string>{"addRemoteHost"});

  // The address is saved like a title.
  window().remoteURLField()->setText("https://lists.example.net/hosts");
  emit window().remoteURLField()->editingFinished();
  ASSERT_TRUE(pumpUntil([&] {
    return HostGroupFields::remoteURL(*list().hostGroupAt(1)) == "https://lists.example.net/hosts";
  }));
}

TEST_F(MainWindowTest, RenamingReSortsAndTheSelectionFollowsTheHostfile) {
  addLocalAndWait();
  renameRow(1, "Zeta");
  addLocalAndWait();
  ASSERT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "New Hosts", "Zeta"}));
  const auto selected = window().selectedHostGroup();
  renameRow(1, "Alpha");
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "Alpha", "Zeta"}));
  EXPECT_EQ(window().selectedHostGroup(), selected);

  renameRow(2, "");  // an empty title is stored as typed and sorts first among hostfiles
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "", "Alpha"}));
}

TEST_F(MainWindowTest, ThePreviewRowIsNeitherRenamedNorChecked) {
  const QModelIndex preview = list().index(0);
  EXPECT_FALSE(list().flags(preview) & Qt::ItemIsEditable);
  EXPECT_FALSE(list().flags(preview) & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(list().setData(preview, QString("other"), Qt::EditRole));
  EXPECT_TRUE(list().data(preview, Qt::FontRole).value<QFont>().bold());
  EXPECT_TRUE(list().data(preview, Qt::CheckStateRole).isNull());
  window().rename();
  EXPECT_FALSE(window().tableView()->isPersistentEditorOpen(preview));
  EXPECT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});
}

TEST_F(MainWindowTest, UncheckingStoresTheHostfileDisabledBeforeReturning) {
  addLocalAndWait();
  const QModelIndex row = list().index(1);
  EXPECT_EQ(list().data(row, Qt::CheckStateRole).toInt(), Qt::Checked);
  ASSERT_TRUE(list().setData(row, Qt::Unchecked, Qt::CheckStateRole));
  const auto stored = DSManagedObject::DS_findFirstByAttribute("HostGroup", "title", std::string("New Hosts"),
                                                               DSManagedObjectContext::DS_context());
  ASSERT_TRUE(stored);
  EXPECT_FALSE(HostGroupFields::isEnabled(*stored));
  EXPECT_EQ(dirtyCount(), 0u);
}

TEST_F(MainWindowTest, TypingIsHandedToTheRecordOnceAfterAPauseAndMarksTheRowBold) {
  addLocalAndWait();
  const QModelIndex row = list().index(1);
  EXPECT_FALSE(list().data(row, Qt::FontRole).value<QFont>().bold());
  EXPECT_EQ(window().statusLine()->text().toStdString(), "You have no unsaved changes.");
  int changes = 0;
  const auto token = foundation::NotificationCenter::defaultCenter().addObserver(
      "NOTE_CHANGE", nullptr, nullptr, [&](const foundation::Notification&) { ++changes; });
  QTest::keyClicks(window().codeView(), "127.0.0.1 a");
  // No key wrote the text into the record; the pause hands it over, all of it at once.
  EXPECT_EQ(HostGroupFields::contentsProxy(*list().hostGroupAt(1)).value_or(""), "");
  EXPECT_TRUE(window().hasPendingEdits());
  ASSERT_TRUE(test::pumpUntil([&] { return !window().hasPendingEdits(); }));
  foundation::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_EQ(changes, 1);
  EXPECT_TRUE(list().data(row, Qt::FontRole).value<QFont>().bold());
  EXPECT_EQ(window().statusLine()->text().toStdString(), "One hostfile has an unsaved change.");
  EXPECT_EQ(HostGroupFields::contentsProxy(*list().hostGroupAt(1)).value_or(""), "127.0.0.1 a");
}

TEST_F(MainWindowTest, ShowingAHostfileWritesNothingIntoIt) {
  addLocalAndWait();
  window().selectHostGroup(list().hostGroupAt(0));
  window().selectHostGroup(list().hostGroupAt(1));
  EXPECT_EQ(dirtyCount(), 0u);
}

TEST_F(MainWindowTest, DeletingThePreviewDoesNothing) {
  window().deleteHosts();
  EXPECT_TRUE(events_.empty());
  EXPECT_TRUE(alerts_->presentations().empty());
  EXPECT_EQ(titles(), std::vector<std::string>{"/etc/hosts"});
}

TEST_F(MainWindowTest, DeleteAsksAndHonoursNo) {
  addLocalAndWait();
  events_.clear();
  alerts_->answerWith(appkit::kAlertSecondButtonReturn);
  window().deleteHosts();
  ASSERT_EQ(alerts_->presentations().size(), 1u);
  const auto& shown = alerts_->presentations()[0];
  EXPECT_TRUE(shown.asSheet);
  EXPECT_EQ(shown.window, window().window());
  EXPECT_EQ(shown.alert.messageText(), "Are you sure you want to delete this hostfile?");
  EXPECT_EQ(shown.alert.buttonTitles(), (std::vector<std::string>{"Yes", "No"}));
  EXPECT_EQ(shown.alert.informativeText(),
            "The contents of this hostfile will remain in your /etc/hosts file until you apply your changes.");
  EXPECT_EQ(events_, std::vector<std::string>{"deleteHost"});
  EXPECT_EQ(titles().size(), 2u);
  EXPECT_EQ(storedCount(), 2u);
}

TEST_F(MainWindowTest, YesDeletesTheHostfileSelectedWhenTheQuestionWasPut) {
  addLocalAndWait();
  renameRow(1, "First");
  addLocalAndWait();
  window().selectHostGroup(list().hostGroupAt(1));
  ASSERT_EQ(selectedTitle(), "First");
  alerts_->holdSheets(true);
  window().deleteHosts();
  window().selectHostGroup(list().hostGroupAt(2));
  ASSERT_TRUE(alerts_->endSheet(appkit::kAlertFirstButtonReturn));
  EXPECT_EQ(titles(), (std::vector<std::string>{"/etc/hosts", "New Hosts"}));
  EXPECT_EQ(storedCount(), 2u);
}

TEST_F(MainWindowTest, DeleteWithNothingSelectedAsksAndDeletesNothing) {
  addLocalAndWait();
  window().selectHostGroup(nullptr);
  events_.clear();
  window().deleteHosts();
  EXPECT_EQ(events_, std::vector<std::string>{"deleteHost"});
  EXPECT_EQ(alerts_->presentations().size(), 1u);
  EXPECT_EQ(storedCount(), 2u);
}

TEST_F(MainWindowTest, EnablingFollowsTheSelectionAndTheTag) {
  addLocalAndWait();
  addRemoteAndWait();
  const auto preview = list().hostGroupAt(0);
  const auto local = list().hostGroupAt(1);
  const auto remote = list().hostGroupAt(2);
  ASSERT_EQ(HostGroupFields::title(*remote), "New Remote Hosts");
  struct Case {
    coredata::ManagedObjectPtr selection;
    int tag;
    bool toolbar;
    bool menu;
  };
  const Case cases[] = {
      {nullptr, 1, true, true},  {preview, 1, false, false}, {local, 1, true, true},  {remote, 1, true, true},
      {nullptr, 2, true, false}, {preview, 2, true, false},  {local, 2, true, false}, {remote, 2, true, true},
      {nullptr, 0, true, true},  {preview, 7, true, true},
  };
  for (const auto& c : cases) {
    window().selectHostGroup(c.selection);
    const std::string what = (c.selection ? HostGroupFields::title(*c.selection) : "none") + " tag " +
                             std::to_string(c.tag);
    EXPECT_EQ(window().validateToolbarItem(c.tag), c.toolbar) << what;
    EXPECT_EQ(window().validateMenuItem(c.tag), c.menu) << what;
  }
}

TEST_F(MainWindowTest, ContextMenusDependOnWhereThePressLands) {
  addLocalAndWait();
  auto* view = window().tableView();
  window().window()->resize(900, 600);
  window().selectHostGroup(list().hostGroupAt(1));
  const QPoint blank(10, view->viewport()->height() - 5);
  ASSERT_FALSE(view->indexAt(blank).isValid());
  EXPECT_EQ(view->contextMenuAt(blank), window().menuForBlank());
  EXPECT_EQ(selectedTitle(), "New Hosts");  // the blank area leaves the selection alone

  const QPoint previewRow = view->visualRect(list().index(0)).center();
  EXPECT_EQ(view->contextMenuAt(previewRow), window().menuForBlank());
  EXPECT_EQ(selectedTitle(), "/etc/hosts");
  const QPoint hostfileRow = view->visualRect(list().index(1)).center();
  EXPECT_EQ(view->contextMenuAt(hostfileRow), window().menuForGroup());
  EXPECT_EQ(selectedTitle(), "New Hosts");

  // Control with another modifier is an ordinary press: no menu pops up.
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier | Qt::ShiftModifier, blank);
  EXPECT_FALSE(window().menuForBlank()->isVisible());
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier, blank);
  EXPECT_TRUE(window().menuForBlank()->isVisible());
  window().menuForBlank()->hide();
}

TEST_F(MainWindowTest, TheListKeepsItsWidthBetweenItsLimits) {
  auto* split = qobject_cast<app::MainSplitView*>(window().window()->findChild<app::MainSplitView*>());
  ASSERT_NE(split, nullptr);
  window().window()->resize(900, 600);
  QCoreApplication::processEvents();
  EXPECT_EQ(split->widget(0)->maximumWidth(), app::MainSplitView::kMaximumListWidth);
  split->setSizes({1000, 100});
  QCoreApplication::processEvents();
  EXPECT_EQ(split->widget(0)->width(), app::MainSplitView::kMaximumListWidth);
  split->setSizes({10, 1000});
  QCoreApplication::processEvents();
  EXPECT_EQ(split->widget(0)->width(), app::MainSplitView::kMinimumListWidth);
  split->setSizes({200, 700});
  const int listWidth = split->widget(0)->width();
  window().window()->resize(1300, 600);
  QCoreApplication::processEvents();
  EXPECT_EQ(split->widget(0)->width(), listWidth);
}

}  // namespace
