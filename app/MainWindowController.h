#pragma once
// MainWindowController runs the main window: the hostfile list on the left, the editor of the
// selected hostfile on the right (with its remote address above and its status line below), and
// the menus and toolbar whose actions add, delete, rename, apply, check and refresh hostfiles and
// flush the DNS cache. The list is a
// HostfileListModel over the default context; every decision (what is selected, what an action
// does, whether an item is enabled) is a public function here, so tests reach it without a screen.
// Questions go through the shared alert presenter only.
//
// Main thread only. Lives for the whole run; its window is built when first shown.
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/appkit/WindowController.h"
#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectContext.h"
#include "platform/foundation/NotificationCenter.h"

class QAction;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QProgressBar;
class QTimer;
class QToolBar;

namespace appkit {
class ApplicationShortcuts;
}

namespace app {

class ApplyActions;
class FirstVersionImporter;
class HostfileListModel;
class QMTableView;
class QMTextView;

// What the application menu's items do; the application delegate fills these in.
struct ApplicationMenuActions {
  std::function<void()> showAbout;
  std::function<void()> showPreferences;
  std::function<void()> checkForUpdates;
  std::function<void()> support;
  std::function<void()> joinNewsletter;
  // The feedback window on its support, feature and bug tabs.
  std::function<void()> feedbackForSupport;
  std::function<void()> feedbackForFeature;
  std::function<void()> feedbackForBug;
  std::function<void()> quit;
};

class MainWindowController : public appkit::WindowController {
 public:
  // Item tags of the enabling rules: items acting on an ordinary hostfile, and on a remote one.
  static constexpr int kTagOrdinaryHostfile = 1;
  static constexpr int kTagRemoteHostfile = 2;

  MainWindowController();
  ~MainWindowController() override;

  // Sets what the application menu does. Call before the window is loaded.
  void setApplicationMenuActions(ApplicationMenuActions actions) { menuActions_ = std::move(actions); }
  // How long the editor's text waits after the last key before it is handed to the record, and
  // how long the preview waits after its last input changed before it is compiled again.
  static constexpr int kEditCommitDelayMilliseconds = 250;
  static constexpr int kPreviewRefreshDelayMilliseconds = 250;

  // Called after each user edit the window writes into the default context (text, remote
  // address), so the application can schedule a save.
  void setEditObserver(std::function<void()> observer) { editObserver_ = std::move(observer); }
  // Called right before every apply (the application saves the default context there, so that
  // no edit is lost should the run end after the hosts file changed).
  void setBeforeApply(std::function<void()> hook);
  // Carries out the refresh of one remote hostfile; refreshRemote() hands it the selection.
  void setRefreshRemoteHandler(std::function<void(const coredata::ManagedObjectPtr&)> handler) {
    refreshRemoteHandler_ = std::move(handler);
  }

  // --- State (null before the window is loaded) -----------------------------------------------
  const coredata::ManagedObjectContextPtr& managedObjectContext() const { return context_; }
  HostfileListModel* listModel() const { return model_; }
  QMTableView* tableView() const { return tableView_; }
  QMTextView* codeView() const { return codeView_; }
  QLineEdit* remoteURLField() const { return remoteURLField_; }
  QLabel* statusLine() const { return statusLine_; }
  // The bar beside the status line that shows a refresh's progress; hidden while none runs.
  QProgressBar* refreshProgressBar() const { return refreshProgress_; }
  QMenu* menuForGroup() const { return menuForGroup_; }
  QMenu* menuForBlank() const { return menuForBlank_; }
  // The first selected hostfile, or null.
  coredata::ManagedObjectPtr selectedHostGroup() const;
  // Selects the row of `record` alone; null or an unlisted record clears the selection.
  void selectHostGroup(const coredata::ManagedObjectPtr& record);

  // --- Actions --------------------------------------------------------------------------------
  // Creates a local ("New Hosts") or remote ("New Remote Hosts") hostfile in a background save
  // and, once it is stored, re-sorts the list and selects it. Sends "addHost" / "addRemoteHost".
  void addHosts();
  void addRemoteHosts();
  // Asks, as a sheet, whether to delete the selected hostfile; on "Yes" deletes the hostfile that
  // was selected when the question was put, saved before the answer's handling returns. The
  // preview row is never deleted (no event, no question). Sends "deleteHost" before asking.
  void deleteHosts();
  // Starts renaming the selected row in place; nothing without a selection or on the preview.
  void rename();
  // Applies the enabled hostfiles to the hosts file: first checks their syntax when the
  // "checkSyntax" preference is on. Sends "applyChanges" afterwards. The privileged copy runs in
  // the background, with the windows' input held back; a failure is shown in an alert once it
  // has ended. Nothing while a privileged run is under way.
  void applyChanges();
  // Checks the enabled hostfiles' syntax and tells the result; sends "checkSyntax" first.
  void checkSyntaxAction();
  // Flushes the DNS cache with administrator rights, in the background as Apply does; sends
  // "flushCache" first. The dirty marks stay (nothing is applied); a failure is shown in an
  // alert. Nothing while a privileged run is under way.
  void flushCache();
  // The check itself, without an event; with `thenApply`, applies when all is valid or the user
  // chooses "Apply Changes Anyway".
  void checkSyntax(bool thenApply);
  // Hands the selected hostfile to the refresh handler when it is remote; nothing otherwise.
  void refreshRemote();
  // Asks whether to import the first version's hostfiles; "Yes" sends "importV1" and imports.
  // Nothing is asked when there are none (the menu item is then disabled).
  void askToImportV1();

  // --- Enabling rules, by item tag --------------------------------------------------------------
  bool validateToolbarItem(int tag) const;
  bool validateMenuItem(int tag) const;
  // Re-applies the rules to every tagged action of the window.
  void validateItems();

  // Hands what the user typed and has not been handed over yet to the shown hostfile's record:
  // the editor's text, and the remote address as the address field shows it. Typing is handed
  // over after a pause of kEditCommitDelayMilliseconds; everything that reads the record (a row
  // switch, apply, the syntax check, a refresh, a save, closing, quitting) calls this first.
  void commitPendingEdits();
  // Whether the editor holds typing not yet handed to the record.
  bool hasPendingEdits() const;

  // --- Notification handlers --------------------------------------------------------------------
  // Contents were replaced outside the editor (a remote refresh): the editor shows the shown
  // hostfile's new text; the preview is compiled again shortly. Nothing when it is unchanged or
  // nothing is shown.
  void shownContentsMayHaveChanged();
  // Something the preview compiles may have changed (a hostfile enabled, disabled, added,
  // deleted, imported, refreshed or edited): while the preview is shown it is compiled again
  // after kPreviewRefreshDelayMilliseconds, once for a burst of changes.
  void previewInputsMayHaveChanged();
  // Downloads of a refresh are running (`downloads` of them, 0 once the last ended), with
  // `received` bytes so far of `expected` (-1 when a length is unknown): the bar shows the part
  // done when the length is known and a busy sign otherwise, and hides when none runs.
  void showRefreshProgress(int downloads, std::int64_t received, std::int64_t expected);
  // "NOTE_CHANGE": every row is redrawn (bold marks follow the dirty set) and the status renewed.
  void changeTrackerChanged();
  // "NOTE_HOST_NAME_CHANGED": the list re-sorts.
  void hostDidRename();

 protected:
  std::unique_ptr<QWidget> makeWindow() override;
  void windowDidLoad() override;

 private:
  void buildMenus(QMainWindow* window);
  QWidget* buildEditorSide();
  QAction* addAction(QMenu* menu, const QString& title, int tag, std::function<void()> handler);
  void addHostGroup(int kind, const std::string& event);
  void showSelection();
  void userEditedContents();
  void commitRemoteURLField();
  void refreshShownPreview();
  void showChangedContents();
  bool showsPreview() const;
  void watchPreviewInputs();
  void observe(const char* name, std::function<void()> handler);
  void addToolbarAction(const QString& title, int tag, std::function<void()> handler);
  void askToImportOnFirstLoad();

  coredata::ManagedObjectContextPtr context_;
  HostfileListModel* model_ = nullptr;
  QMTableView* tableView_ = nullptr;
  QMTextView* codeView_ = nullptr;
  QLineEdit* remoteURLField_ = nullptr;
  QLabel* statusLine_ = nullptr;
  QProgressBar* refreshProgress_ = nullptr;
  QMenu* menuForGroup_ = nullptr;
  QMenu* menuForBlank_ = nullptr;
  QToolBar* toolbar_ = nullptr;
  std::vector<std::pair<QAction*, int>> menuItems_;
  std::vector<std::pair<QAction*, int>> toolbarItems_;
  // The hostfile the editor shows; a text change is written to it only while this is set and the
  // change came from the user, not from showing it.
  coredata::ManagedObjectPtr shownHostGroup_;
  bool showingSelection_ = false;
  // The editor's edit count when its text was last shown or handed to the record.
  std::uint64_t committedEditCount_ = 0;
  QTimer* editCommitTimer_ = nullptr;
  QTimer* previewRefreshTimer_ = nullptr;
  QTimer* contentsCheckTimer_ = nullptr;
  ApplicationMenuActions menuActions_;
  std::function<void()> editObserver_;
  std::function<void(const coredata::ManagedObjectPtr&)> refreshRemoteHandler_;
  std::unique_ptr<ApplyActions> applyActions_;
  std::unique_ptr<FirstVersionImporter> importer_;
  // Shares Quit, Close and Preferences with every window; made with the menus.
  std::unique_ptr<appkit::ApplicationShortcuts> shortcuts_;
  std::vector<foundation::NotificationCenter::ObserverToken> observers_;
  std::unique_ptr<QObject> connections_;
  // Held by this controller only; callbacks that may outlive it hold it weakly and give up once
  // it is gone.
  std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};

}  // namespace app
