#include "app/AppDelegate.h"

#include <QWidget>

#include "app/AboutWindowController.h"
#include "app/BonjourAdvertiser.h"
#include "app/DefaultContextSaver.h"
#include "app/HostGroupFields.h"
#include "app/MainWindowController.h"
#include "app/PreferencesWindowController.h"
#include "app/TelemetrySeam.h"
#include "coredata/DataStack.h"
#include "coredata/ObjectCategories.h"
#include "hostfiles/HostfilesModel.h"
#include "platform/appkit/Application.h"
#include "platform/appkit/Updater.h"
#include "platform/appkit/Workspace.h"
#include "platform/foundation/UserDefaults.h"

namespace app {

AppDelegate::AppDelegate()
    : mainWindowController_(std::make_unique<MainWindowController>()),
      aboutWindowController_(std::make_unique<AboutWindowController>()),
      preferencesWindowController_(std::make_unique<PreferencesWindowController>()) {
  mainWindowController_->setApplicationMenuActions({
      .showAbout = [this] { showAboutWindow(); },
      .showPreferences = [this] { showPreferencesWindow(); },
      .checkForUpdates = [this] { checkForUpdates(); },
      .support = [this] { support(); },
      .quit =
          [] {
            if (auto* application = appkit::Application::shared()) application->terminate();
          },
  });
  mainWindowController_->setEditObserver([this] {
    if (saver_) saver_->scheduleSave();
  });
}

AppDelegate::~AppDelegate() = default;

void AppDelegate::applicationDidFinishLaunching() {
  startTelemetry();
  foundation::Dictionary defaults;
  defaults.set("checkSyntax", true);
  foundation::UserDefaults::standardUserDefaults().registerDefaults(defaults);
  HostfilesModel::registerModel();
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreNamed(kStoreName);
  saver_ = std::make_unique<DefaultContextSaver>();
  resetPreviewRow();
  mainWindowController_->showWindow();
  // Both are built now, hidden, so that their first showing is immediate.
  for (appkit::WindowController* controller :
       {static_cast<appkit::WindowController*>(preferencesWindowController_.get()),
        static_cast<appkit::WindowController*>(aboutWindowController_.get())}) {
    if (QWidget* window = controller->window()) window->hide();
  }
  if (const auto updater = appkit::Updater::sharedUpdater()) updater->checkForUpdatesInBackground();
  BonjourAdvertiser::sharedInstance();
  incrementLaunchCount();
}

void AppDelegate::applicationWillTerminate() {
  if (saver_) saver_->saveNow();
  saver_.reset();
  DataStack::cleanUp();
}

void AppDelegate::showMainWindow() { mainWindowController_->showWindow(); }
void AppDelegate::showAboutWindow() { aboutWindowController_->showWindow(); }
void AppDelegate::showPreferencesWindow() { preferencesWindowController_->showWindow(); }

void AppDelegate::checkForUpdates() {
  if (const auto updater = appkit::Updater::sharedUpdater()) updater->checkForUpdates();
}

void AppDelegate::support() { appkit::Workspace::sharedWorkspace()->openURL(kSupportURL); }

void AppDelegate::resetPreviewRow() {
  DataStack::saveWithBlockAndWait([](const coredata::ManagedObjectContextPtr& local) {
    const auto predicate = coredata::Predicate::withFormat("isEtcHostsPreview == true");
    const auto previews = DSManagedObject::DS_findAllWithPredicate(kHostGroupEntityName, predicate, local);
    for (const auto& preview : previews.value_or(DSObjects{})) DSManagedObject::DS_deleteEntityInContext(preview, local);
    const auto fresh = DSManagedObject::DS_createEntity(kHostGroupEntityName, local);
    if (fresh) HostGroupFields::fillNewRecord(*fresh, HostGroupKind::Preview);
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
