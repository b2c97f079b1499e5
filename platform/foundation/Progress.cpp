#include "platform/foundation/Progress.h"

namespace foundation {

std::shared_ptr<Progress> Progress::create(std::int64_t totalUnitCount) {
  return std::make_shared<Progress>(totalUnitCount);
}

Progress::Progress(std::int64_t totalUnitCount) : total_(totalUnitCount) {}

Progress::~Progress() = default;

std::int64_t Progress::totalUnitCount() const {
  std::lock_guard lock(mutex_);
  return total_;
}

std::int64_t Progress::completedUnitCount() const {
  std::lock_guard lock(mutex_);
  return completed_;
}

void Progress::setTotalUnitCount(std::int64_t count) { changeCount(&Progress::total_, "totalUnitCount", count); }

void Progress::setCompletedUnitCount(std::int64_t count) {
  changeCount(&Progress::completed_, "completedUnitCount", count);
}

void Progress::changeCount(std::int64_t Progress::*field, const char* key, std::int64_t count) {
  std::lock_guard update(updateMutex_);
  std::int64_t old;
  {
    std::lock_guard lock(mutex_);
    old = this->*field;
    if (old == count) return;
  }
  willChangeValueForKey("fractionCompleted", Value(fractionCompleted()));
  setValueNotifying(key, Value(static_cast<long long>(old)), Value(static_cast<long long>(count)), [&] {
    std::lock_guard lock(mutex_);
    this->*field = count;
  });
  didChangeValueForKey("fractionCompleted", Value(fractionCompleted()));
}

double Progress::fractionCompleted() const {
  std::lock_guard lock(mutex_);
  if (total_ <= 0) return 0.0;
  return static_cast<double>(completed_) / static_cast<double>(total_);
}

bool Progress::isIndeterminate() const {
  std::lock_guard lock(mutex_);
  return total_ < 0 || completed_ < 0;
}

bool Progress::isFinished() const {
  std::lock_guard lock(mutex_);
  return total_ > 0 && completed_ >= total_;
}

bool Progress::isCancellable() const {
  std::lock_guard lock(mutex_);
  return cancellable_;
}

void Progress::setCancellable(bool cancellable) {
  std::lock_guard lock(mutex_);
  cancellable_ = cancellable;
}

bool Progress::isPausable() const {
  std::lock_guard lock(mutex_);
  return pausable_;
}

void Progress::setPausable(bool pausable) {
  std::lock_guard lock(mutex_);
  pausable_ = pausable;
}

void Progress::setCancellationHandler(Handler handler) {
  bool runNow;
  {
    std::lock_guard lock(mutex_);
    cancellationHandler_ = handler;
    runNow = cancelled_;
  }
  if (runNow && handler) handler();
}

void Progress::setPausingHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  pausingHandler_ = std::move(handler);
}

void Progress::setResumingHandler(Handler handler) {
  std::lock_guard lock(mutex_);
  resumingHandler_ = std::move(handler);
}

void Progress::changeFlag(bool Progress::*flag, const char* key, bool value, Handler Progress::*handlerSlot,
                          bool refusedWhenCancelled) {
  Handler handler;
  {
    std::lock_guard update(updateMutex_);
    {
      std::lock_guard lock(mutex_);
      if (this->*flag == value || (refusedWhenCancelled && cancelled_)) return;
      handler = this->*handlerSlot;
    }
    setValueNotifying(key, Value(!value), Value(value), [&] {
      std::lock_guard lock(mutex_);
      this->*flag = value;
    });
  }
  if (handler) handler();  // outside the locks: it may well call back into the work's owner
}

void Progress::cancel() { changeFlag(&Progress::cancelled_, "cancelled", true, &Progress::cancellationHandler_, false); }

bool Progress::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void Progress::pause() { changeFlag(&Progress::paused_, "paused", true, &Progress::pausingHandler_, true); }

void Progress::resume() { changeFlag(&Progress::paused_, "paused", false, &Progress::resumingHandler_, false); }

bool Progress::isPaused() const {
  std::lock_guard lock(mutex_);
  return paused_;
}

std::string Progress::description() const {
  std::lock_guard lock(mutex_);
  return "<Progress: " + std::to_string(completed_) + " of " + std::to_string(total_) + ">";
}

}  // namespace foundation
