#pragma once
// Progress stands in for the platform's progress objects: how far one piece of work has come, as
// a total and a completed unit count (bytes, for transfers), with its fraction observable by
// key-value observation, and cancel, pause and resume requests passed on to handlers that the
// work's owner installs. Both HTTP clients keep one per transfer direction.
//
// Observable keys: "completedUnitCount", "totalUnitCount" and "fractionCompleted" (announced
// after every change of either count), "cancelled" and "paused". Observers run on the thread
// making the change; changes are announced one at a time, so each observer sees old and new
// values in order. An observer may read the progress and may change it (on its own thread).
//
// What it leaves out: parent and child progress trees, user info and localized descriptions.
// Every method is thread-safe.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Value.h"

namespace foundation {

class Progress : public Object, public KeyValueObserving {
 public:
  using Handler = std::function<void()>;

  // A new progress with `totalUnitCount` and nothing completed.
  static std::shared_ptr<Progress> create(std::int64_t totalUnitCount = 0);
  explicit Progress(std::int64_t totalUnitCount = 0);
  ~Progress() override;

  std::int64_t totalUnitCount() const;
  void setTotalUnitCount(std::int64_t count);
  std::int64_t completedUnitCount() const;
  void setCompletedUnitCount(std::int64_t count);
  // completed / total, or 0 while the total is not positive (a negative total means unknown).
  double fractionCompleted() const;
  // Whether the total or the completed count is negative (the size is not known).
  bool isIndeterminate() const;
  bool isFinished() const;

  // Whether the work can be cancelled or paused; informational, as on the platform (cancel()
  // and pause() act either way).
  bool isCancellable() const;
  void setCancellable(bool cancellable);
  bool isPausable() const;
  void setPausable(bool pausable);

  // The handler run by cancel(), on the calling thread. Set after cancel(), it runs at once.
  void setCancellationHandler(Handler handler);
  // The handlers run by pause() and resume(), on the calling thread.
  void setPausingHandler(Handler handler);
  void setResumingHandler(Handler handler);

  // Marks the progress cancelled and runs the cancellation handler; only the first call acts.
  void cancel();
  bool isCancelled() const;
  // Marks the progress paused and runs the pausing handler; nothing when paused or cancelled.
  void pause();
  // Clears the paused mark and runs the resuming handler; nothing unless paused.
  void resume();
  bool isPaused() const;

  std::string description() const override;

 private:
  // Changes one count under the update lock, announcing it and the fraction.
  void changeCount(std::int64_t Progress::*field, const char* key, std::int64_t count);
  // Sets one flag under the update lock, announcing it, then runs the handler in `handlerSlot`.
  // Nothing happens when the flag has that value already, or, if `refusedWhenCancelled`, once
  // the progress is cancelled.
  void changeFlag(bool Progress::*flag, const char* key, bool value, Handler Progress::*handlerSlot,
                  bool refusedWhenCancelled);

  mutable std::mutex mutex_;               // guards the fields below
  std::recursive_mutex updateMutex_;       // one announced change at a time; observers may re-enter
  std::int64_t total_;
  std::int64_t completed_ = 0;
  bool cancellable_ = true;
  bool pausable_ = false;
  bool cancelled_ = false;
  bool paused_ = false;
  Handler cancellationHandler_;
  Handler pausingHandler_;
  Handler resumingHandler_;
};

}  // namespace foundation
