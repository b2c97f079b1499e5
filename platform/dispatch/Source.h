#pragma once
// Source is the common part of the dispatch sources (timer and memory pressure): an event handler
// and a cancel handler that run on a target queue, created suspended, with resume, suspend and
// cancel. Events that arrive while a delivery is pending are merged into it.
//
// Sounder than the platform on one point: after cancel() returns, the event handler never runs
// again, and a handler running on another thread has finished, unless cancel() was called from
// inside that handler (which then finishes normally).
#include <cstdint>
#include <memory>

#include "platform/dispatch/Time.h"

namespace dispatch {

class Queue;

class Source : public std::enable_shared_from_this<Source> {
 public:
  virtual ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  // Sets the block run for each event on the target queue, replacing any earlier one. Thread-safe.
  void setEventHandler(Block handler);
  // Sets the block run once on the target queue after cancel(). Thread-safe.
  void setCancelHandler(Block handler);
  // Starts (or, after suspend(), restarts) delivery. Sources are created suspended; a resume
  // without a matching suspend is ignored. Thread-safe.
  void resume();
  // Holds delivery back; events that arrive meanwhile are merged and delivered on resume.
  void suspend();
  // Stops the source for good; see the class comment for what it waits for. Idempotent.
  void cancel();
  bool isCancelled() const;
  // The data of the event being handled: for timers the number of firings merged into it, for
  // memory pressure the levels seen, or-ed. Meaningful inside the event handler only.
  std::uint64_t data() const;

  const std::shared_ptr<Queue>& queue() const { return queue_; }

 protected:
  explicit Source(std::shared_ptr<Queue> queue);

  // Records an event from the source's producer and schedules the handler unless a delivery is
  // already pending. `orData` merges by or (levels) instead of by sum (counts).
  void signalEvent(std::uint64_t data, bool orData);
  // Whether the source has been resumed at least once and is neither suspended nor cancelled.
  bool isActive() const;
  // Hooks for subclasses, called with no lock held, on the thread calling resume()/cancel().
  virtual void onResumed() {}
  virtual void onCancelled() {}

 private:
  void deliver();

  std::shared_ptr<Queue> queue_;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace dispatch
