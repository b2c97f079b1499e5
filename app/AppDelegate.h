#pragma once
// AppDelegate is the spine of the application: it owns the window controllers for the whole
// run, runs the start-up sequence once launching has finished (telemetry, defaults, the data
// stack, a fresh preview row, the windows, the user-notification centre, updates, the remote
// refresh and its timer, the host-name fetch, the launch counter), keeps the default context saved
// shortly after edits, and at termination saves it and tears the stack down. It also answers the
// application and help menus, and is the crash service's delegate: it overrides none of that
// delegate's operations, so every report of an earlier crash is sent, without attachments.
//
// Main thread only. Created before the application runs and kept until the process ends.
#include <memory>
#include <string>

#include "platform/appkit/ApplicationDelegate.h"
#include "telemetry/crashes/TLCrashesDelegate.h"

class QWidget;

namespace appkit {
class SingleInstance;
class UserNotificationCenter;
}
namespace foundation {
class Timer;
}

namespace app {

class AboutWindowController;
class DefaultContextSaver;
class MainWindowController;
class NewsletterWindowController;
class FeedbackPanel;
class PreferencesWindowController;
class RefreshNotifier;
class RemoteRefresher;

// The crash service holds its delegate weakly, so the delegate registers itself only when a
// shared pointer owns it, as the application's does.
class AppDelegate : public appkit::ApplicationDelegate,
                    public TLCrashesDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  // The store's name in the data folder.
  static constexpr const char* kStoreName = "Quillmere2";
  // The product's support page, opened by the "Support" menu item; on the same web site as the
  // about window's pages.
  static constexpr const char* kSupportURL = "https://quillmere.org/support/";

  // How often remote hostfiles are refreshed when "refreshOnLaunch" was on at launch.
  static constexpr double kRefreshInterval = 1800.0;

  // Creates the window controllers and the remote refresher; no window is built yet. Refresh
  // notifications go through `notificationCenter` (which must outlive this delegate), or through
  // the default centre when it is null.
  explicit AppDelegate(appkit::UserNotificationCenter* notificationCenter = nullptr);
  ~AppDelegate() override;

  // Keeps the application to one process per user (appkit::SingleInstance in the runtime
  // folder): when another process of the user runs, asks it to bring its main window to the front
  // and ends this one through the application object, before the store or a window is touched.
  // Otherwise a later start brings this process's main window to the front.
  void applicationWillFinishLaunching() override;
  // The start-up sequence, in order; failures of the data layer are reported there and start-up
  // carries on past them.
  void applicationDidFinishLaunching() override;
  // Stops the refresh timer, saves the default context up to the store (waiting for it), then
  // tears the stack down; nothing more when launching never finished (a start that handed over).
  void applicationWillTerminate() override;

  // Refreshes every remote hostfile (RemoteRefresher::refreshAll); when any got new text, the
  // user is notified and offered to apply. The refresh timer's action. Main thread.
  void refreshRemoteHosts();

  // Menu actions.
  void showMainWindow();
  void showAboutWindow();
  void showPreferencesWindow();
  void checkForUpdates();
  void support();
  // Shows the newsletter window and brings it to the front.
  void joinNewsletter();

  MainWindowController& mainWindowController() { return *mainWindowController_; }
  AboutWindowController& aboutWindowController() { return *aboutWindowController_; }
  PreferencesWindowController& preferencesWindowController() { return *preferencesWindowController_; }
  NewsletterWindowController& newsletterWindowController() { return *newsletterWindowController_; }
  // The feedback window's front, which the Help menu's items call.
  FeedbackPanel& feedbackPanel() { return *feedbackPanel_; }
  // Null before launching has finished.
  DefaultContextSaver* contextSaver() { return saver_.get(); }
  RemoteRefresher& remoteRefresher() { return *refresher_; }
  // The notification delegate; null before launching has finished.
  const std::shared_ptr<RefreshNotifier>& refreshNotifier() const { return notifier_; }
  // The repeating refresh timer; null unless "refreshOnLaunch" was on at launch. Invalid after
  // termination.
  const std::shared_ptr<foundation::Timer>& refreshTimer() const { return refreshTimer_; }

  // Deletes every preview row and creates a fresh one in one waiting save, so that exactly one
  // exists, with a new identity (no dirty mark of an earlier run can point at it).
  static void resetPreviewRow();
  // Adds 1 to the stored "launchCount" (a missing or non-numeric value counts as 0) and writes
  // the defaults to disk.
  static void incrementLaunchCount();

 private:
  void becomeNotificationDelegate();
  void startRemoteRefresh();
  QWidget* sheetWindow();

  std::unique_ptr<MainWindowController> mainWindowController_;
  std::unique_ptr<AboutWindowController> aboutWindowController_;
  std::unique_ptr<PreferencesWindowController> preferencesWindowController_;
  std::unique_ptr<NewsletterWindowController> newsletterWindowController_;
  std::unique_ptr<FeedbackPanel> feedbackPanel_;
  std::unique_ptr<DefaultContextSaver> saver_;
  appkit::UserNotificationCenter* notificationCenter_;
  std::shared_ptr<RemoteRefresher> refresher_;
  std::shared_ptr<RefreshNotifier> notifier_;
  std::shared_ptr<foundation::Timer> refreshTimer_;
  std::unique_ptr<appkit::SingleInstance> instance_;
};

}  // namespace app
