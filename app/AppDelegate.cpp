#include "app/AppDelegate.h"

#include <QWidget>

#include "app/AboutWindowController.h"
#include "app/BonjourAdvertiser.h"
#include "app/DefaultContextSaver.h"
#include "app/MainWindowController.h"
#include "app/NewsletterWindowController.h"
#include "app/FeedbackPanel.h"
#include "app/PreferencesWindowController.h"
#include "app/RefreshNotifier.h"
#include "app/RemoteRefresher.h"
#include "app/TelemetrySeam.h"
#include "coredata/DataStack.h"
#include "coredata/ObjectCategories.h"
#include "hostfiles/HostGroup.h"
#include "hostfiles/HostfilesModel.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/SingleInstance.h"
#include "platform/appkit/Updater.h"
#include "platform/appkit/UserNotificationCenter.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/RunLoop.h"
#include "platform/foundation/SystemPaths.h"
#include "platform/foundation/Timer.h"
#include "platform/foundation/UserDefaults.h"

namespace app {

AppDelegate::AppDelegate(appkit::UserNotificationCenter* notificationCenter)
    : mainWindowController_(std::make_unique<MainWindowController>()),
      aboutWindowController_(std::make_unique<AboutWindowController>()),
      preferencesWindowController_(std::make_unique<PreferencesWindowController>()),
      newsletterWindowController_(std::make_unique<NewsletterWindowController>()),
      feedbackPanel_(std::make_unique<FeedbackPanel>()),
      notificationCenter_(notificationCenter) {
  refresher_ = RemoteRefresher::create({
      .hostfilesUpdated =
          [this](int updatedCount) {
            if (notifier_) notifier_->notifyUpdated(updatedCount);
          },
      .contentsChanged =
          [this] {
            mainWindowController_->shownContentsMayHaveChanged();
            if (saver_) saver_->scheduleSave();
          },
      .sheetWindow = [this] { return sheetWindow(); },
      .progressChanged =
          [this](const RemoteRefresher::Progress& progress) {
            mainWindowController_->showRefreshProgress(progress.downloads, progress.received, progress.expected);
          },
  });
  mainWindowController_->setRefreshRemoteHandler(
      [this](const coredata::ManagedObjectPtr& record) { refresher_->refreshOne(record); });
  mainWindowController_->setApplicationMenuActions({
      .showAbout = [this] { showAboutWindow(); },
      .showPreferences = [this] { showPreferencesWindow(); },
      .checkForUpdates = [this] { checkForUpdates(); },
      .support = [this] { support(); },
      .joinNewsletter = [this] { joinNewsletter(); },
      .feedbackForSupport = [this] { feedbackPanel_->presentFeedbackPanelForSupport(); },
      .feedbackForFeature = [this] { feedbackPanel_->presentFeedbackPanelForFeature(); },
      .feedbackForBug = [this] { feedbackPanel_->presentFeedbackPanelForBug(); },
      .quit =
          [] {
            if (auto* application = appkit::Application::shared()) application->terminate();
          },
  });
  // Whatever was typed a moment ago must reach the store before the hosts file is rewritten.
  mainWindowController_->setBeforeApply([this] {
    if (saver_) saver_->saveNow();
  });
  mainWindowController_->setEditObserver([this] {
    if (saver_) saver_->scheduleSave();
  });
}

AppDelegate::~AppDelegate() {
  if (refreshTimer_) refreshTimer_->invalidate();
}

void AppDelegate::applicationWillFinishLaunching() {
  instance_ = std::make_unique<appkit::SingleInstance>(foundation::kApplicationBundleIdentifier);
  if (instance_->acquire() == appkit::SingleInstance::Role::Secondary) {
    if (auto* application = appkit::Application::shared()) application->terminate();
    return;
  }
  instance_->setActivationHandler([this] { showMainWindow(); });
}

void AppDelegate::applicationDidFinishLaunching() {
  startTelemetry(weak_from_this().lock());
  foundation::Dictionary defaults;
  defaults.set("checkSyntax", true);
  foundation::UserDefaults::standardUserDefaults().registerDefaults(defaults);
  HostfilesModel::registerModel();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed(kStoreName);
  saver_ = std::make_unique<DefaultContextSaver>();
  // A save takes what the editor still holds, so quitting or applying never loses typing.
  saver_->setBeforeSave([this] { mainWindowController_->commitPendingEdits(); });
  resetPreviewRow();
  mainWindowController_->showWindow();
  // Both are built now, hidden, so that their first showing is immediate.
  for (appkit::WindowController* controller :
       {static_cast<appkit::WindowController*>(preferencesWindowController_.get()),
        static_cast<appkit::WindowController*>(aboutWindowController_.get())}) {
    if (QWidget* window = controller->window()) window->hide();
  }
  becomeNotificationDelegate();
  if (const auto updater = appkit::Updater::sharedUpdater()) updater->checkForUpdatesInBackground();
  startRemoteRefresh();
  BonjourAdvertiser::sharedInstance();
  incrementLaunchCount();
}

void AppDelegate::applicationWillTerminate() {
  if (refreshTimer_) refreshTimer_->invalidate();
  // A start that handed over to the running process never set the stack up: nothing here is its
  // to save or tear down.
  if (!saver_) return;
  saver_->saveNow();
  saver_.reset();
  DataStack::cleanUp();
}

void AppDelegate::refreshRemoteHosts() {
  // The addresses are read now: an address still being typed counts as the field shows it.
  mainWindowController_->commitPendingEdits();
  refresher_->refreshAll();
}

// Without a session bus or a notification server the centre logs it when a notice is due and
// carries on; nothing here waits for the bus.
void AppDelegate::becomeNotificationDelegate() {
  auto& center =
      notificationCenter_ ? *notificationCenter_ : appkit::UserNotificationCenter::defaultUserNotificationCenter();
  notifier_ = std::make_shared<RefreshNotifier>(center, RefreshNotifier::Hooks{
                                                            .sheetWindow = [this] { return sheetWindow(); },
                                                            .beforeApply =
                                                                [this] {
                                                                  if (saver_) saver_->saveNow();
                                                                },
                                                        });
  center.setDelegate(notifier_);
}

// The refresh works on the main thread against the default context, where the list's records
// live; a save block's private context would hand it copies no window shows. The launch refresh
// counts as the first: the timer fires one interval after it, not again at once.
void AppDelegate::startRemoteRefresh() {
  if (!foundation::UserDefaults::standardUserDefaults().boolForKey("refreshOnLaunch")) return;
  refreshRemoteHosts();
  if (refreshTimer_) return;  // one timer for the whole run
  refreshTimer_ = foundation::Timer::create(kRefreshInterval, true, [this](foundation::Timer&) { refreshRemoteHosts(); });
  foundation::RunLoop::main().addTimer(refreshTimer_);
}

QWidget* AppDelegate::sheetWindow() {
  return mainWindowController_->isWindowLoaded() ? mainWindowController_->window() : nullptr;
}

void AppDelegate::showMainWindow() { mainWindowController_->showWindow(); }
void AppDelegate::showAboutWindow() { aboutWindowController_->showWindow(); }
void AppDelegate::showPreferencesWindow() { preferencesWindowController_->showWindow(); }

void AppDelegate::checkForUpdates() {
  if (const auto updater = appkit::Updater::sharedUpdater()) updater->checkForUpdates();
}

void AppDelegate::joinNewsletter() { newsletterWindowController_->showWindow(); }

void AppDelegate::support() { appkit::Workspace::sharedWorkspace()->openURL(kSupportURL); }

void AppDelegate::resetPreviewRow() {
  DataStack::saveWithBlockAndWait([](const coredata::ManagedObjectContextPtr& local) {
    const auto predicate = coredata::Predicate::withFormat("isEtcHostsPreview == true");
    const auto previews = DSManagedObject::DS_findAllWithPredicate(HostGroup::kEntityName, predicate, local);
    for (const auto& preview : previews.value_or(DSObjects{})) DSManagedObject::DS_deleteEntityInContext(preview, local);
    HostGroup::insertPreviewRow(local);
  });
}

void AppDelegate::incrementLaunchCount() {
  auto& defaults = foundation::UserDefaults::standardUserDefaults();
  const foundation::Value stored = defaults.objectForKey("launchCount");
  const std::int64_t count = stored.isNumber() ? stored.intValue() : 0;
  defaults.set(count + 1, "launchCount");
  defaults.synchronize();
}

}  // namespace app
