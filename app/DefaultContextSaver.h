#pragma once
// DefaultContextSaver writes the default context's edits to the store shortly after they are made,
// instead of only when the application quits. Dirty marks are saved at once in the user defaults,
// so without it a crash or a kill would leave marks pointing at edits that were never stored. Each
// edit (and each change of the dirty set, "NOTE_CHANGE") restarts a short delay; when it runs out
// the default context is saved up to the store. saveNow() saves at once (at every apply and at
// termination).
//
// Main thread only.
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

  // (Re)starts the delay after an edit.
  void scheduleSave();
  // Whether a delayed save is waiting.
  bool isSavePending() const;
  // Cancels any waiting save and saves the default context up to the store while the caller
  // waits. Without a default context (stack not set up, or torn down) it does nothing; failures
  // go to the data layer's error handling.
  void saveNow();

 private:
  std::unique_ptr<QTimer> timer_;
  foundation::NotificationCenter::ObserverToken changeObserver_ = 0;
};

}  // namespace app
