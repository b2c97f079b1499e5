#pragma once
// Group stands in for the platform's dispatch groups: a count of outstanding pieces of work, with
// callbacks scheduled and waiters released each time the count falls back to zero.
#include <memory>

#include "platform/dispatch/Time.h"

namespace dispatch {

class Queue;

class Group {
 public:
  // Groups are shared: blocks running in a group keep it alive.
  static std::shared_ptr<Group> create();
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;
  ~Group();

  // Counts one more outstanding piece of work. Thread-safe.
  void enter();
  // Counts one piece of work done. A leave without a matching enter is ignored (the platform
  // crashes; nothing here relies on that). Thread-safe.
  void leave();
  // Schedules `block` on `queue` once the count is zero: at once when it is zero now, else when
  // the last outstanding piece leaves. Each block runs once. Thread-safe.
  void notify(const std::shared_ptr<Queue>& queue, Block block);
  // Blocks until the count is zero or `timeout` passes; returns true when it reached zero.
  bool wait(Duration timeout = kForever);

 private:
  Group();
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dispatch
