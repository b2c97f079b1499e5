#pragma once
// AppDelegate is the spine of the application: it owns the window controllers for the whole
// run, runs the start-up sequence once launching has finished (telemetry, defaults, the data
// stack, a fresh preview row, the windows, updates, the host-name fetch, the launch counter), keeps the default
// context saved shortly after edits, and at termination saves it and tears the stack down. It
// also answers the application menu.
//
// Main thread only. Created before the application runs and kept until the process ends.
#include <memory>
#include <string>

#include "platform/appkit/ApplicationDelegate.h"

namespace app {

class AboutWindowController;
class DefaultContextSaver;
class MainWindowController;
class PreferencesWindowController;

class AppDelegate : public appkit::ApplicationDelegate {
 public:
  // The store's name in the data folder.
  static constexpr const char* kStoreName = "Quillmere2";
  // The product's support page, opened by the "Support" menu item.
  static constexpr const char* kSupportURL = "https://quillmere.example.org/support";

  // Creates the window controllers; no window is built yet.
  AppDelegate();
  ~AppDelegate() override;

  // The start-up sequence, in order; failures of the data layer are reported there and start-up
  // carries on past them.
  void applicationDidFinishLaunching() override;
  // Saves the default context up to the store (waiting for it), then tears the stack down.
  void applicationWillTerminate() override;

  // Menu actions.
  void showMainWindow();
  void showAboutWindow();
  void showPreferencesWindow();
  void checkForUpdates();
  void support();

  MainWindowController& mainWindowController() { return *mainWindowController_; }
  AboutWindowController& aboutWindowController() { return *aboutWindowController_; }
  PreferencesWindowController& preferencesWindowController() { return *preferencesWindowController_; }
  // Null before launching has finished.
  DefaultContextSaver* contextSaver() { return saver_.get(); }

  // Deletes every preview row and creates a fresh one in one waiting save, so that exactly one
  // exists, with a new identity (no dirty mark of an earlier run can point at it).
  static void resetPreviewRow();
  // Adds 1 to the stored "launchCount" (a missing or non-numeric value counts as 0) and writes
  // the defaults to disk.
  static void incrementLaunchCount();

 private:
  std::unique_ptr<MainWindowController> mainWindowController_;
  std::unique_ptr<AboutWindowController> aboutWindowController_;
  std::unique_ptr<PreferencesWindowController> preferencesWindowController_;
  std::unique_ptr<DefaultContextSaver> saver_;
};

}  // namespace app
