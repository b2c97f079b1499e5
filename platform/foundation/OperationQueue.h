#pragma once
// OperationQueue stands in for the platform's operation queues: blocks run on dispatch worker
// threads, at most maxConcurrentOperationCount at a time, started in the order added, held back
// while the queue is suspended. Dependencies between operations, priorities and key-value
// observation of the queue's properties are left out.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "platform/dispatch/QualityOfService.h"

namespace foundation {

// One block added to an operation queue.
class Operation {
 public:
  explicit Operation(std::function<void()> block);
  // Marks the operation cancelled: if it has not started, its block will not run (it still
  // counts as finished). A running block is not interrupted. Thread-safe.
  void cancel();
  bool isCancelled() const;
  bool isExecuting() const;
  bool isFinished() const;

 private:
  friend class OperationQueue;
  struct State;
  std::shared_ptr<State> state_;
};

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
 public:
  static constexpr long kDefaultMaxConcurrentOperationCount = -1;  // as many as the system allows

  static std::shared_ptr<OperationQueue> create();
  ~OperationQueue();
  OperationQueue(const OperationQueue&) = delete;
  OperationQueue& operator=(const OperationQueue&) = delete;

  // The queue whose operation the calling thread is running, or null.
  static std::shared_ptr<OperationQueue> currentQueue();

  // Adds a block; it runs once a slot is free and the queue is not suspended. Returns the
  // operation, which the caller may keep to cancel it. Thread-safe.
  std::shared_ptr<Operation> addOperation(std::function<void()> block);
  // Adds an operation made by the caller; an operation already added anywhere is ignored.
  void addOperation(const std::shared_ptr<Operation>& operation);
  // Cancels every operation that has not finished. Thread-safe.
  void cancelAllOperations();
  // Blocks until no operation is waiting or running. Waits forever on a suspended queue with
  // operations waiting, as the platform does. Must not be called from one of its own operations.
  void waitUntilAllOperationsAreFinished();
  // Operations waiting or running.
  std::size_t operationCount() const;

  long maxConcurrentOperationCount() const;
  // Sets the number of slots; 0 holds everything back, negative values mean no limit.
  void setMaxConcurrentOperationCount(long count);
  bool isSuspended() const;
  // Suspending holds back operations that have not started; un-suspending starts them. Thread-safe.
  void setSuspended(bool suspended);
  dispatch::QualityOfService qualityOfService() const;
  void setQualityOfService(dispatch::QualityOfService qos);
  std::string name() const;
  void setName(std::string name);

 private:
  OperationQueue();
  void startReadyLocked();
  void run(const std::shared_ptr<Operation>& operation);

  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace foundation
