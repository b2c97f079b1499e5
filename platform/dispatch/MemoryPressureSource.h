#pragma once
// MemoryPressureSource stands in for the platform's memory-pressure dispatch source: its handler
// runs on a queue when the system reports memory pressure at a level in its mask.
//
// On Linux the events come from post(): the system watch (MemoryPressureWatch, started when the
// first source is resumed) calls it on each change of the kernel's memory-pressure level, and
// tests call it to raise events of their own.
#include <cstdint>
#include <memory>

#include "platform/dispatch/Source.h"

namespace dispatch {

class MemoryPressureSource : public Source {
 public:
  // The platform's level bits.
  static constexpr std::uint64_t kNormal = 1;
  static constexpr std::uint64_t kWarning = 2;
  static constexpr std::uint64_t kCritical = 4;

  // A suspended source for the levels in `mask` delivering on `queue` (not null).
  static std::shared_ptr<MemoryPressureSource> create(std::uint64_t mask, std::shared_ptr<Queue> queue);
  ~MemoryPressureSource() override;

  std::uint64_t mask() const { return mask_; }

  // Reports memory pressure at `level` to every live, resumed source whose mask has that level.
  // Thread-safe; returns at once (handlers run on their queues).
  static void post(std::uint64_t level);

 private:
  MemoryPressureSource(std::uint64_t mask, std::shared_ptr<Queue> queue);
  void onResumed() override;
  void onCancelled() override;

  std::uint64_t mask_;
};

}  // namespace dispatch
