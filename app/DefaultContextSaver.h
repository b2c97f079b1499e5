#pragma once
// DefaultContextSaver writes the default context's edits to the store shortly after they are made,
// instead of only when the application quits. Dirty marks are saved at once in the user defaults,
// so without it a crash or a kill would leave marks pointing at edits that were never stored. Each
// edit (and each change of the dirty set, "NOTE_CHANGE") restarts a short delay; when it runs out
// the default context is saved up to the store in the background, so that writing a large
// hostfile never holds up the window. saveNow() saves at once and waits (at every apply and at
// termination). Before every save the before-save hook runs, so that edits still held by the
// window (typing not yet handed to its record) are saved too.
//
// Main thread only.
#include <functional>
#include <memory>

#include "platform/foundation/NotificationCenter.h"

class QTimer;

namespace app {

class DefaultContextSaver {
 public:
  // How long the saver waits after the last edit before saving.
  static constexpr int kDelayMilliseconds = 1500;

  // Starts listening for "NOTE_CHANGE". Needs the Qt application to exist.
  explicit DefaultContextSaver(int delayMilliseconds = kDelayMilliseconds);
  ~DefaultContextSaver();
  DefaultContextSaver(const DefaultContextSaver&) = delete;
  DefaultContextSaver& operator=(const DefaultContextSaver&) = delete;

  // Runs first in every save (the delayed one and saveNow); an empty function removes it.
  void setBeforeSave(std::function<void()> hook) { beforeSave_ = std::move(hook); }

  // (Re)starts the delay after an edit.
  void scheduleSave();
  // Whether a delayed save is waiting, or a background save has not reached the store yet.
  bool isSavePending() const;
  // Cancels any waiting save, runs the before-save hook and saves the default context up to the
  // store while the caller waits, also for a background save still running. Without a default
  // context (stack not set up, or torn down) it does nothing; failures go to the data layer's
  // error handling.
  void saveNow();

 private:
  void saveInBackground();

  std::unique_ptr<QTimer> timer_;
  std::function<void()> beforeSave_;
  // Background saves started and not yet finished; completions find it through a weak pointer.
  std::shared_ptr<int> inFlight_ = std::make_shared<int>(0);
  foundation::NotificationCenter::ObserverToken changeObserver_ = 0;
};

}  // namespace app
