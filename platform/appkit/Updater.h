#pragma once
// Updater stands in for the external update framework. This system has none, so there is never
// a shared updater: callers take their "no updater" path, and the menu item that would check for
// updates is hidden rather than left doing nothing.
#include <memory>

class QAction;

namespace appkit {

class Updater {
 public:
  virtual ~Updater() = default;

  // The shared updater; always null here (no update framework). Thread-safe.
  static std::shared_ptr<Updater> sharedUpdater();
  // Shows `item` only when there is a shared updater, so "Check for Updates…" never appears
  // without one. Null is ignored. Main thread only.
  static void configureMenuItem(QAction* item);

  // Checks quietly and offers an update if one is found.
  virtual void checkForUpdatesInBackground() = 0;
  // Checks and reports the outcome to the user.
  virtual void checkForUpdates() = 0;
};

}  // namespace appkit
