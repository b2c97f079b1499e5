#include "app/MainWindowController.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include <algorithm>
#include <optional>
#include <string_view>

#include "app/ApplyActions.h"
#include "app/FirstVersionImporter.h"
#include "app/HostGroupFields.h"
#include "app/HostfileListModel.h"
#include "app/MainSplitView.h"
#include "app/QMTableView.h"
#include "app/QMTextView.h"
#include "app/TelemetrySeam.h"
#include "coredata/ContextCategories.h"
#include "coredata/DataStack.h"
#include "coredata/ObjectCategories.h"
#include "hostfiles/ChangeTracker.h"
#include "platform/appkit/Alert.h"
#include "platform/appkit/ApplicationShortcuts.h"
#include "platform/appkit/Updater.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"

namespace app {
namespace {

using Fields = HostGroupFields;

constexpr const char* kAskedToImportV1Key = "askedToImportV1";

// Calls its function when the watched window is about to close or be hidden.
class ClosingWatch : public QObject {
 public:
  ClosingWatch(QObject* parent, std::function<void()> closing) : QObject(parent), closing_(std::move(closing)) {}

 protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Close || event->type() == QEvent::Hide) closing_();
    return false;
  }

 private:
  std::function<void()> closing_;
};

}  // namespace

MainWindowController::MainWindowController()
    : appkit::WindowController("Quillmere"),
      applyActions_(std::make_unique<ApplyActions>(*this)),
      importer_(std::make_unique<FirstVersionImporter>([this] {
        // Each imported hostfile shows up, in its sorted place, as soon as its save is done.
        if (model_) model_->refresh();
      })) {}

MainWindowController::~MainWindowController() {
  for (const auto token : observers_) foundation::NotificationCenter::defaultCenter().removeObserver(token);
}

std::unique_ptr<QWidget> MainWindowController::makeWindow() { return std::make_unique<QMainWindow>(); }

void MainWindowController::windowDidLoad() {
  auto* window = static_cast<QMainWindow*>(this->window());
  window->resize(900, 600);
  connections_ = std::make_unique<QObject>();
  // Closing the window must not leave typing behind in the editor alone.
  window->installEventFilter(new ClosingWatch(connections_.get(), [this] { commitPendingEdits(); }));
  context_ = DSManagedObjectContext::DS_defaultContext();
  model_ = new HostfileListModel(context_, window);

  tableView_ = new QMTableView;
  tableView_->setModel(model_);
  menuForGroup_ = new QMenu(window);
  menuForBlank_ = new QMenu(window);
  tableView_->setMenuForGroup(menuForGroup_);
  tableView_->setMenuForBlank(menuForBlank_);
  window->setCentralWidget(new MainSplitView(tableView_, buildEditorSide()));
  buildMenus(window);

  QObject::connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, connections_.get(), [this] {
    // What was typed into the hostfile shown until now goes to it before the next one shows.
    commitPendingEdits();
    showSelection();
    validateItems();
  });
  QObject::connect(model_, &QAbstractItemModel::dataChanged, connections_.get(), [this] { validateItems(); });

  observe(HostGroup::kHostNameChangedNotification, [this] { hostDidRename(); });
  observe(ChangeTracker::kChangeNotification, [this] { changeTrackerChanged(); });
  watchPreviewInputs();

  model_->refresh();
  // Like the list's array controller, the window starts with the first row selected rather than
  // with an empty editor.
  if (model_->rowCount() > 0) selectHostGroup(model_->hostGroupAt(0));
  showSelection();
  validateItems();
  askToImportOnFirstLoad();
}

void MainWindowController::askToImportOnFirstLoad() {
  auto& defaults = foundation::UserDefaults::standardUserDefaults();
  if (defaults.boolForKey(kAskedToImportV1Key)) return;
  // Nothing to import, nothing asked: a later launch asks should the first version's files appear.
  if (!importer_->askToImport(window())) return;
  // Set as soon as the question is up, whatever the answer: it is asked once per user.
  defaults.set(true, kAskedToImportV1Key);
  defaults.synchronize();
}

void MainWindowController::observe(const char* name, std::function<void()> handler) {
  observers_.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
      name, nullptr, nullptr, [handler = std::move(handler)](const foundation::Notification&) { handler(); }));
}

QWidget* MainWindowController::buildEditorSide() {
  auto* side = new QWidget;
  auto* layout = new QVBoxLayout(side);
  layout->setContentsMargins(0, 0, 0, 0);
  remoteURLField_ = new QLineEdit;
  remoteURLField_->setPlaceholderText("Address of the remote hostfile");
  codeView_ = new QMTextView;
  statusLine_ = new QLabel;
  // The preview's long status sentence wraps instead of widening the editor past the divider.
  statusLine_->setWordWrap(true);
  refreshProgress_ = new QProgressBar;
  refreshProgress_->setMaximumWidth(200);
  refreshProgress_->setTextVisible(false);
  refreshProgress_->hide();
  auto* statusRow = new QHBoxLayout;
  statusRow->addWidget(statusLine_, 1);
  statusRow->addWidget(refreshProgress_);
  layout->addWidget(remoteURLField_);
  layout->addWidget(codeView_, 1);
  layout->addLayout(statusRow);
  QObject::connect(codeView_, &QMTextView::userEdited, connections_.get(), [this] { userEditedContents(); });
  QObject::connect(remoteURLField_, &QLineEdit::editingFinished, connections_.get(),
                   [this] { commitRemoteURLField(); });
  editCommitTimer_ = new QTimer(side);
  editCommitTimer_->setSingleShot(true);
  editCommitTimer_->setInterval(kEditCommitDelayMilliseconds);
  QObject::connect(editCommitTimer_, &QTimer::timeout, connections_.get(), [this] { commitPendingEdits(); });
  previewRefreshTimer_ = new QTimer(side);
  previewRefreshTimer_->setSingleShot(true);
  previewRefreshTimer_->setInterval(kPreviewRefreshDelayMilliseconds);
  QObject::connect(previewRefreshTimer_, &QTimer::timeout, connections_.get(), [this] { refreshShownPreview(); });
  contentsCheckTimer_ = new QTimer(side);
  contentsCheckTimer_->setSingleShot(true);
  contentsCheckTimer_->setInterval(0);
  QObject::connect(contentsCheckTimer_, &QTimer::timeout, connections_.get(), [this] { showChangedContents(); });
  return side;
}

QAction* MainWindowController::addAction(QMenu* menu, const QString& title, int tag, std::function<void()> handler) {
  QAction* action = menu->addAction(title);
  QObject::connect(action, &QAction::triggered, connections_.get(), [handler = std::move(handler)] {
    if (handler) handler();
  });
  if (tag != 0) menuItems_.emplace_back(action, tag);
  return action;
}

void MainWindowController::buildMenus(QMainWindow* window) {
  auto call = [](const std::function<void()>& handler) {
    return [handler] {
      if (handler) handler();
    };
  };
  QMenu* appMenu = window->menuBar()->addMenu("Quillmere");
  addAction(appMenu, "About Quillmere", 0, call(menuActions_.showAbout));
  // Quit, Close and Preferences answer their shortcuts from every window of the application.
  shortcuts_ = std::make_unique<appkit::ApplicationShortcuts>();
  shortcuts_->share(addAction(appMenu, "Preferences…", 0, call(menuActions_.showPreferences)),
                    QKeySequence::Preferences, QKeySequence("Ctrl+,"));
  appkit::Updater::configureMenuItem(addAction(appMenu, "Check for Updates…", 0, call(menuActions_.checkForUpdates)));
  addAction(appMenu, "Support", 0, call(menuActions_.support));
  addAction(appMenu, "Join the Newsletter…", 0, call(menuActions_.joinNewsletter));
  appMenu->addSeparator();
  shortcuts_->share(addAction(appMenu, "Quit Quillmere", 0, call(menuActions_.quit)), QKeySequence::Quit,
                    QKeySequence("Ctrl+Q"));

  QMenu* fileMenu = window->menuBar()->addMenu("File");
  addAction(fileMenu, "New Hostfile", 0, [this] { addHosts(); })->setShortcut(QKeySequence::New);
  addAction(fileMenu, "New Remote Hostfile", 0, [this] { addRemoteHosts(); });
  fileMenu->addSeparator();
  addAction(fileMenu, "Rename", kTagOrdinaryHostfile, [this] { rename(); });
  addAction(fileMenu, "Delete", kTagOrdinaryHostfile, [this] { deleteHosts(); });
  shortcuts_->share(addAction(fileMenu, "Close", 0, &appkit::ApplicationShortcuts::closeActiveWindow),
                    QKeySequence::Close, QKeySequence("Ctrl+W"));

  addAction(menuForGroup_, "Rename", kTagOrdinaryHostfile, [this] { rename(); });
  addAction(menuForGroup_, "Delete", kTagOrdinaryHostfile, [this] { deleteHosts(); });
  menuForGroup_->addSeparator();
  addAction(menuForGroup_, "New Hostfile", 0, [this] { addHosts(); });
  addAction(menuForGroup_, "New Remote Hostfile", 0, [this] { addRemoteHosts(); });
  addAction(menuForBlank_, "New Hostfile", 0, [this] { addHosts(); });
  addAction(menuForBlank_, "New Remote Hostfile", 0, [this] { addRemoteHosts(); });

  fileMenu->addSeparator();
  QAction* importItem = addAction(fileMenu, "Import from Quillmere 1.0…", 0, [this] { askToImportV1(); });
  QObject::connect(fileMenu, &QMenu::aboutToShow, connections_.get(),
                   [importItem] { importItem->setEnabled(FirstVersionImporter::hasFilesToImport()); });

  QMenu* hostsMenu = window->menuBar()->addMenu("Hosts");
  addAction(hostsMenu, "Apply Changes", 0, [this] { applyChanges(); })->setShortcut(QKeySequence("Ctrl+Return"));
  addAction(hostsMenu, "Check Syntax", 0, [this] { checkSyntaxAction(); });
  addAction(hostsMenu, "Flush DNS Cache", 0, [this] { flushCache(); });
  hostsMenu->addSeparator();
  addAction(hostsMenu, "Refresh", kTagRemoteHostfile, [this] { refreshRemote(); });
  menuForGroup_->addSeparator();
  addAction(menuForGroup_, "Refresh", kTagRemoteHostfile, [this] { refreshRemote(); });

  QMenu* helpMenu = window->menuBar()->addMenu("Help");
  addAction(helpMenu, "Ask a Question…", 0, call(menuActions_.feedbackForSupport));
  addAction(helpMenu, "Request a Feature…", 0, call(menuActions_.feedbackForFeature));
  addAction(helpMenu, "Report a Bug…", 0, call(menuActions_.feedbackForBug));

  toolbar_ = window->addToolBar("Hostfiles");
  toolbar_->setObjectName("hostfiles");
  addToolbarAction("Add", 0, [this] { addHosts(); });
  addToolbarAction("Add Remote", 0, [this] { addRemoteHosts(); });
  addToolbarAction("Delete", kTagOrdinaryHostfile, [this] { deleteHosts(); });
  toolbar_->addSeparator();
  addToolbarAction("Refresh", kTagRemoteHostfile, [this] { refreshRemote(); });
  addToolbarAction("Check Syntax", 0, [this] { checkSyntaxAction(); });
  addToolbarAction("Flush Cache", 0, [this] { flushCache(); });
  addToolbarAction("Apply", 0, [this] { applyChanges(); });
}

void MainWindowController::addToolbarAction(const QString& title, int tag, std::function<void()> handler) {
  QAction* action = toolbar_->addAction(title);
  QObject::connect(action, &QAction::triggered, connections_.get(), std::move(handler));
  if (tag != 0) toolbarItems_.emplace_back(action, tag);
}

coredata::ManagedObjectPtr MainWindowController::selectedHostGroup() const {
  if (!tableView_ || !tableView_->selectionModel()) return nullptr;
  const QModelIndexList rows = tableView_->selectionModel()->selectedRows();
  if (rows.isEmpty()) return nullptr;
  return model_->hostGroupAt(rows.first().row());
}

void MainWindowController::selectHostGroup(const coredata::ManagedObjectPtr& record) {
  if (!tableView_ || !tableView_->selectionModel()) return;
  const int row = record ? model_->rowOf(record) : -1;
  if (row < 0) {
    tableView_->selectionModel()->clearSelection();
    return;
  }
  tableView_->selectionModel()->setCurrentIndex(model_->index(row),
                                                QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void MainWindowController::addHosts() { addHostGroup(static_cast<int>(HostGroupKind::Local), "addHost"); }

void MainWindowController::addRemoteHosts() {
  addHostGroup(static_cast<int>(HostGroupKind::Remote), "addRemoteHost");
}

void MainWindowController::addHostGroup(int kind, const std::string& event) {
  trackEvent(event);
  // The new record's ID goes from the block to this add's own completion only (the block writes
  // it before its save queues the completion), so quick adds cannot see each other's record. The
  // block touches nothing of the window, which may be gone by the time it runs.
  auto insertedID = std::make_shared<coredata::ObjectIDPtr>();
  DataStack::saveWithBlock(
      [kind, insertedID](const coredata::ManagedObjectContextPtr& local) {
        const auto record = Fields::insertNewRecord(static_cast<HostGroupKind>(kind), local);
        if (!record) return;
        // Permanent now, so the default context knows the record by this ID once it is saved.
        foundation::Error error;
        if (!local->obtainPermanentIDsForObjects({record}, &error)) {
          DataStack::handleErrors(error);
          return;
        }
        *insertedID = record->objectID();
      },
      [this, alive = std::weak_ptr<int>(lifetime_), insertedID](bool, const std::optional<foundation::Error>&) {
        if (alive.expired() || !model_) return;
        // The completion runs also after a failed save: it lists and selects what it can.
        model_->refresh();
        // Every stored record is registered in the default context once the list is refreshed.
        const auto record = *insertedID ? context_->objectRegisteredForID(*insertedID) : nullptr;
        if (record && model_->rowOf(record) >= 0) selectHostGroup(record);
      });
}

void MainWindowController::deleteHosts() {
  const auto selected = selectedHostGroup();
  if (selected && Fields::isEtcHostsPreview(*selected)) return;
  trackEvent("deleteHost");
  appkit::Alert alert;
  alert.setMessageText("Are you sure you want to delete this hostfile?");
  alert.addButtonWithTitle("Yes");
  alert.addButtonWithTitle("No");
  alert.setInformativeText(
      "The contents of this hostfile will remain in your /etc/hosts file until you apply your changes.");
  std::weak_ptr<int> alive = lifetime_;
  alert.beginSheetModalForWindow(window(), [this, alive, selected](long answer) {
    if (answer != appkit::kAlertFirstButtonReturn || !selected) return;
    DataStack::saveWithBlockAndWait([selected](const coredata::ManagedObjectContextPtr& local) {
      DSManagedObject::DS_deleteEntityInContext(selected, local);
    });
    if (!alive.expired() && model_) model_->refresh();
  });
}

void MainWindowController::rename() {
  const auto selected = selectedHostGroup();
  if (!selected || Fields::isEtcHostsPreview(*selected)) return;
  const QModelIndex index = model_->index(model_->rowOf(selected));
  tableView_->setFocus();
  tableView_->edit(index);
}

void MainWindowController::setBeforeApply(std::function<void()> hook) { applyActions_->setBeforeApply(std::move(hook)); }

void MainWindowController::applyChanges() { applyActions_->applyChanges(); }
void MainWindowController::checkSyntaxAction() { applyActions_->checkSyntaxAction(); }
void MainWindowController::flushCache() { applyActions_->flushCache(); }
void MainWindowController::checkSyntax(bool thenApply) { applyActions_->checkSyntax(thenApply); }

void MainWindowController::refreshRemote() {
  // The refresh reads the address: the one the field shows, even before Return was pressed.
  commitPendingEdits();
  const auto selected = selectedHostGroup();
  if (!selected || !Fields::isRemote(*selected) || !refreshRemoteHandler_) return;
  refreshRemoteHandler_(selected);
}

void MainWindowController::askToImportV1() { importer_->askToImport(window()); }

bool MainWindowController::validateToolbarItem(int tag) const {
  if (tag != kTagOrdinaryHostfile) return true;
  const auto selected = selectedHostGroup();
  return !selected || !Fields::isEtcHostsPreview(*selected);
}

bool MainWindowController::validateMenuItem(int tag) const {
  const auto selected = selectedHostGroup();
  if (tag == kTagOrdinaryHostfile) return !selected || !Fields::isEtcHostsPreview(*selected);
  if (tag == kTagRemoteHostfile) return selected && Fields::isRemote(*selected);
  return true;
}

void MainWindowController::validateItems() {
  for (const auto& [action, tag] : menuItems_) action->setEnabled(validateMenuItem(tag));
  for (const auto& [action, tag] : toolbarItems_) action->setEnabled(validateToolbarItem(tag));
}

void MainWindowController::changeTrackerChanged() {
  if (!model_) return;
  model_->reloadData();
  if (shownHostGroup_) statusLine_->setText(QString::fromStdString(Fields::statusMessage(*shownHostGroup_)));
  previewInputsMayHaveChanged();
}

void MainWindowController::showRefreshProgress(int downloads, std::int64_t received, std::int64_t expected) {
  if (!refreshProgress_) return;
  if (downloads <= 0) {
    refreshProgress_->hide();
    return;
  }
  if (expected > 0) {
    // In thousandths, so that lengths beyond the bar's int range still fit.
    constexpr int kSteps = 1000;
    refreshProgress_->setRange(0, kSteps);
    refreshProgress_->setValue(static_cast<int>(std::min<std::int64_t>(received, expected) * kSteps / expected));
  } else {
    refreshProgress_->setRange(0, 0);  // the bar's busy sign
  }
  refreshProgress_->show();
}

void MainWindowController::hostDidRename() {
  if (!model_) return;
  model_->rearrangeObjects();
}

void MainWindowController::showSelection() {
  if (!codeView_) return;
  shownHostGroup_ = selectedHostGroup();
  showingSelection_ = true;
  const auto& record = shownHostGroup_;
  // Only local hostfiles are the user's to type in; remote ones are replaced at each refresh and
  // the preview is computed.
  std::string contents;
  if (record) Fields::readContentsProxy(*record, [&](std::string_view text) { contents = text; });
  codeView_->showText(std::move(contents), record && Fields::isEditable(*record));
  committedEditCount_ = codeView_->editCount();
  remoteURLField_->setVisible(record && Fields::isRemote(*record));
  remoteURLField_->setText(record ? QString::fromStdString(Fields::remoteURL(*record)) : QString());
  statusLine_->setText(record ? QString::fromStdString(Fields::statusMessage(*record)) : QString());
  showingSelection_ = false;
}

void MainWindowController::shownContentsMayHaveChanged() {
  if (!codeView_ || !shownHostGroup_) return;
  if (showsPreview()) {
    previewInputsMayHaveChanged();
    return;
  }
  // Looked at from a timer of its own, after the event that wrote the record: a text of tens of
  // megabytes is then copied once per event, and the window's other timers and input get a turn
  // in between (a queued call would run at once after the write).
  contentsCheckTimer_->start();
}

void MainWindowController::showChangedContents() {
  if (!codeView_ || !shownHostGroup_ || showsPreview()) return;
  std::optional<std::string> changed;
  Fields::readContentsProxy(*shownHostGroup_, [&](std::string_view text) {
    if (text != codeView_->text()) changed = std::string(text);
  });
  if (!changed) return;
  codeView_->replaceShownText(std::move(*changed));
  committedEditCount_ = codeView_->editCount();
}

bool MainWindowController::showsPreview() const {
  return shownHostGroup_ && Fields::isEtcHostsPreview(*shownHostGroup_);
}

// The list's rows follow every change of which hostfiles exist and are enabled, and the default
// context announces every change merged into it from a background save (an enable, an import);
// each may change what the preview compiles.
void MainWindowController::watchPreviewInputs() {
  const auto changed = [this] { previewInputsMayHaveChanged(); };
  QObject::connect(model_, &QAbstractItemModel::dataChanged, connections_.get(), changed);
  QObject::connect(model_, &QAbstractItemModel::rowsInserted, connections_.get(), changed);
  QObject::connect(model_, &QAbstractItemModel::rowsRemoved, connections_.get(), changed);
  if (!context_) return;
  observers_.push_back(foundation::NotificationCenter::defaultCenter().addObserver(
      coredata::kManagedObjectContextObjectsDidChangeNotification, context_->notificationSender(), nullptr,
      [this](const foundation::Notification&) { previewInputsMayHaveChanged(); }));
}

void MainWindowController::previewInputsMayHaveChanged() {
  if (previewRefreshTimer_ && showsPreview()) previewRefreshTimer_->start();
}

void MainWindowController::refreshShownPreview() {
  if (!codeView_ || !showsPreview()) return;
  std::optional<std::string> compiled;
  Fields::readContentsProxy(*shownHostGroup_, [&](std::string_view text) {
    if (text != codeView_->text()) compiled = std::string(text);
  });
  if (!compiled) return;
  codeView_->replaceShownText(std::move(*compiled));
  committedEditCount_ = codeView_->editCount();
}

void MainWindowController::userEditedContents() {
  if (showingSelection_ || !shownHostGroup_ || !Fields::isEditable(*shownHostGroup_)) return;
  editCommitTimer_->start();
}

bool MainWindowController::hasPendingEdits() const {
  return codeView_ && shownHostGroup_ && codeView_->editCount() != committedEditCount_;
}

void MainWindowController::commitPendingEdits() {
  if (editCommitTimer_) editCommitTimer_->stop();
  commitRemoteURLField();
  if (!hasPendingEdits()) return;
  committedEditCount_ = codeView_->editCount();
  // A hostfile deleted meanwhile has no context left to take the text.
  if (!Fields::isEditable(*shownHostGroup_) || !shownHostGroup_->managedObjectContext()) return;
  Fields::setContentsProxy(*shownHostGroup_, codeView_->text());
  statusLine_->setText(QString::fromStdString(Fields::statusMessage(*shownHostGroup_)));
  if (editObserver_) editObserver_();
}

// Written into the record in the default context at once, where every refresh reads it, and saved
// with the context's other edits; a background save would leave the record showing the old
// address until the save came back, and a refresh meanwhile would fetch that.
void MainWindowController::commitRemoteURLField() {
  const auto record = shownHostGroup_;
  if (!remoteURLField_ || !record || !Fields::isRemote(*record) || !record->managedObjectContext()) return;
  const std::string url = remoteURLField_->text().toStdString();
  if (url == Fields::remoteURL(*record)) return;
  Fields::setRemoteURL(*record, url);
  if (editObserver_) editObserver_();
}

}  // namespace app
