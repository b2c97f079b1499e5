#include "platform/dispatch/MemoryPressureSource.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/dispatch/MemoryPressureWatch.h"

namespace dispatch {

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::weak_ptr<MemoryPressureSource>> sources;
};

Registry& registry() {
  static auto* shared = new Registry();
  return *shared;
}

}  // namespace

MemoryPressureSource::MemoryPressureSource(std::uint64_t mask, std::shared_ptr<Queue> queue)
    : Source(std::move(queue)), mask_(mask) {}

MemoryPressureSource::~MemoryPressureSource() = default;

std::shared_ptr<MemoryPressureSource> MemoryPressureSource::create(std::uint64_t mask, std::shared_ptr<Queue> queue) {
  return std::shared_ptr<MemoryPressureSource>(new MemoryPressureSource(mask, std::move(queue)));
}

void MemoryPressureSource::onResumed() {
  {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    std::erase_if(reg.sources, [](const auto& weak) { return weak.expired(); });
    const auto self = std::static_pointer_cast<MemoryPressureSource>(shared_from_this());
    const bool known = std::any_of(reg.sources.begin(), reg.sources.end(),
                                   [&](const auto& weak) { return weak.lock() == self; });
    if (!known) reg.sources.push_back(self);
  }
  // Outside the registry's lock: stopping the watch waits for its thread, which may be posting.
  MemoryPressureWatch::ensureStarted();
}

void MemoryPressureSource::onCancelled() {
  auto& reg = registry();
  std::lock_guard lock(reg.mutex);
  const Source* self = this;
  std::erase_if(reg.sources, [&](const auto& weak) {
    auto source = weak.lock();
    return !source || source.get() == self;
  });
}

void MemoryPressureSource::post(std::uint64_t level) {
  std::vector<std::shared_ptr<MemoryPressureSource>> targets;
  {
    auto& reg = registry();
    std::lock_guard lock(reg.mutex);
    for (const auto& weak : reg.sources) {
      if (auto source = weak.lock(); source && (source->mask_ & level)) targets.push_back(source);
    }
  }
  for (const auto& source : targets) source->signalEvent(level & source->mask_, true);
}

}  // namespace dispatch
