#pragma once
// Progress reports how far one transfer has come: a total and a completed unit count (bytes here),
// as the platform's progress objects do for the client's progress callbacks. A total of
// kURLSessionTransferSizeUnknown (-1) means the size is not known. Thread-safe: the URL session's
// delegate queue writes it while a progress callback reads it on its own queue.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Value.h"

namespace pipeline {

class Progress : public foundation::Object {
 public:
  // A new progress with `totalUnitCount` and nothing completed.
  static std::shared_ptr<Progress> create(std::int64_t totalUnitCount = 0);
  explicit Progress(std::int64_t totalUnitCount = 0) : total_(totalUnitCount) {}

  std::int64_t totalUnitCount() const { return total_.load(); }
  void setTotalUnitCount(std::int64_t count) { total_.store(count); }
  std::int64_t completedUnitCount() const { return completed_.load(); }
  void setCompletedUnitCount(std::int64_t count) { completed_.store(count); }
  // completed / total, or 0 while the total is not positive.
  double fractionCompleted() const;

  std::string description() const override;

 private:
  std::atomic<std::int64_t> total_;
  std::atomic<std::int64_t> completed_{0};
};

// A progress callback and the queue it runs on (the main queue when none is given).
struct ProgressHandler {
  std::function<void(const std::shared_ptr<Progress>&)> closure;
  std::shared_ptr<dispatch::Queue> queue;
};

}  // namespace pipeline
