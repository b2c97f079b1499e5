#include "platform/dispatch/Group.h"

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/dispatch/Queue.h"

namespace dispatch {

struct Group::State {
  std::mutex mutex;
  std::condition_variable empty;
  long count = 0;
  std::vector<std::pair<std::shared_ptr<Queue>, Block>> notifications;
};

Group::Group() : state_(std::make_unique<State>()) {}
Group::~Group() = default;

std::shared_ptr<Group> Group::create() { return std::shared_ptr<Group>(new Group()); }

void Group::enter() {
  std::lock_guard lock(state_->mutex);
  ++state_->count;
}

void Group::leave() {
  std::vector<std::pair<std::shared_ptr<Queue>, Block>> due;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->count == 0) return;
    if (--state_->count > 0) return;
    due.swap(state_->notifications);
    state_->empty.notify_all();
  }
  for (auto& [queue, block] : due) queue->async(std::move(block));
}

void Group::notify(const std::shared_ptr<Queue>& queue, Block block) {
  if (!queue) return;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->count > 0) {
      state_->notifications.emplace_back(queue, std::move(block));
      return;
    }
  }
  queue->async(std::move(block));
}

bool Group::wait(Duration timeout) {
  std::unique_lock lock(state_->mutex);
  const auto isEmpty = [&] { return state_->count == 0; };
  if (timeout == kForever) {
    state_->empty.wait(lock, isEmpty);
    return true;
  }
  return state_->empty.wait_until(lock, deadlineAfter(timeout), isEmpty);
}

}  // namespace dispatch
