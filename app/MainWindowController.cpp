#include "app/MainWindowController.h"

#include <QAction>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QToolBar>
#include <QVBoxLayout>

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
#include "platform/appkit/Alert.h"
#include "platform/appkit/ApplicationShortcuts.h"
#include "platform/appkit/Updater.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"

namespace app {
namespace {

using Fields = HostGroupFields;

constexpr const char* kAskedToImportV1Key = "askedToImportV1";

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
    showSelection();
    validateItems();
  });
  QObject::connect(model_, &QAbstractItemModel::dataChanged, connections_.get(), [this] { validateItems(); });

  observe(kHostNameChangedNotification, [this] { hostDidRename(); });
  observe(kChangeTrackerNotification, [this] { changeTrackerChanged(); });

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
  layout->addWidget(remoteURLField_);
  layout->addWidget(codeView_, 1);
  layout->addWidget(statusLine_);
  codeView_->setUserEditHandler([this](const std::string& text) { userEditedContents(text); });
  QObject::connect(remoteURLField_, &QLineEdit::editingFinished, connections_.get(),
                   [this] { userEditedRemoteURL(); });
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
  std::weak_ptr<int> alive = lifetime_;
  DataStack::saveWithBlock(
      [this, alive, kind](const coredata::ManagedObjectContextPtr& local) {
        auto record = DSManagedObject::DS_createEntity(kHostGroupEntityName, local);
        if (record) Fields::fillNewRecord(*record, static_cast<HostGroupKind>(kind));
        if (!alive.expired()) newlyInsertedHostGroup_ = record;
      },
      [this, alive](bool, const std::optional<foundation::Error>&) {
        if (alive.expired() || !model_) return;
        // The completion runs also after a failed save: it lists and selects what it can.
        model_->refresh();
        if (newlyInsertedHostGroup_ && model_->rowOf(newlyInsertedHostGroup_) >= 0) {
          selectHostGroup(newlyInsertedHostGroup_);
        }
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
  codeView_->showText(record ? Fields::contentsProxy(*record).value_or("") : std::string(),
                      record && Fields::isEditable(*record));
  remoteURLField_->setVisible(record && Fields::isRemote(*record));
  remoteURLField_->setText(record ? QString::fromStdString(Fields::remoteURL(*record)) : QString());
  statusLine_->setText(record ? QString::fromStdString(Fields::statusMessage(*record)) : QString());
  showingSelection_ = false;
}

void MainWindowController::shownContentsMayHaveChanged() {
  if (!codeView_ || !shownHostGroup_) return;
  if (Fields::contentsProxy(*shownHostGroup_).value_or("") == codeView_->text()) return;
  showSelection();
}

void MainWindowController::userEditedContents(const std::string& text) {
  if (showingSelection_ || !shownHostGroup_ || !Fields::isEditable(*shownHostGroup_)) return;
  Fields::setContentsProxy(*shownHostGroup_, text);
  statusLine_->setText(QString::fromStdString(Fields::statusMessage(*shownHostGroup_)));
  if (editObserver_) editObserver_();
}

void MainWindowController::userEditedRemoteURL() {
  const auto record = shownHostGroup_;
  if (!record || !Fields::isRemote(*record)) return;
  const std::string url = remoteURLField_->text().toStdString();
  if (url == Fields::remoteURL(*record)) return;
  // Saved like a title: through a background save block from the store's side.
  DataStack::saveWithBlock([record, url](const coredata::ManagedObjectContextPtr& local) {
    const auto mine = DSManagedObject::DS_inContext(record, local);
    if (mine) Fields::setRemoteURL(*mine, url);
  });
}

}  // namespace app
