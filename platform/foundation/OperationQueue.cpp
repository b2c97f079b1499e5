#include "platform/foundation/OperationQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "platform/dispatch/Queue.h"

namespace foundation {

struct Operation::State {
  mutable std::mutex mutex;
  std::function<void()> block;
  bool added = false;
  bool cancelled = false;
  bool executing = false;
  bool finished = false;
};

Operation::Operation(std::function<void()> block) : state_(std::make_shared<State>()) {
  state_->block = std::move(block);
}

void Operation::cancel() {
  std::lock_guard lock(state_->mutex);
  state_->cancelled = true;
}

bool Operation::isCancelled() const {
  std::lock_guard lock(state_->mutex);
  return state_->cancelled;
}

bool Operation::isExecuting() const {
  std::lock_guard lock(state_->mutex);
  return state_->executing;
}

bool Operation::isFinished() const {
  std::lock_guard lock(state_->mutex);
  return state_->finished;
}

namespace {
thread_local OperationQueue* tlsCurrentQueue = nullptr;
}  // namespace

struct OperationQueue::State {
  mutable std::mutex mutex;
  std::condition_variable idle;
  std::deque<std::shared_ptr<Operation>> waiting;
  std::size_t running = 0;
  long maxConcurrent = kDefaultMaxConcurrentOperationCount;
  bool suspended = false;
  dispatch::QualityOfService qos = dispatch::QualityOfService::Default;
  std::string name;
};

OperationQueue::OperationQueue() : state_(std::make_unique<State>()) {}

OperationQueue::~OperationQueue() = default;

std::shared_ptr<OperationQueue> OperationQueue::create() {
  return std::shared_ptr<OperationQueue>(new OperationQueue());
}

std::shared_ptr<OperationQueue> OperationQueue::currentQueue() {
  return tlsCurrentQueue ? tlsCurrentQueue->shared_from_this() : nullptr;
}

std::shared_ptr<Operation> OperationQueue::addOperation(std::function<void()> block) {
  auto operation = std::make_shared<Operation>(std::move(block));
  addOperation(operation);
  return operation;
}

void OperationQueue::addOperation(const std::shared_ptr<Operation>& operation) {
  if (!operation) return;
  {
    std::lock_guard opLock(operation->state_->mutex);
    if (operation->state_->added) return;
    operation->state_->added = true;
  }
  std::lock_guard lock(state_->mutex);
  state_->waiting.push_back(operation);
  startReadyLocked();
}

void OperationQueue::startReadyLocked() {
  if (state_->suspended) return;
  while (!state_->waiting.empty()) {
    if (state_->maxConcurrent >= 0 && state_->running >= static_cast<std::size_t>(state_->maxConcurrent)) return;
    auto operation = std::move(state_->waiting.front());
    state_->waiting.pop_front();
    ++state_->running;
    dispatch::Queue::global(state_->qos)->async([self = shared_from_this(), operation] { self->run(operation); });
  }
}

void OperationQueue::run(const std::shared_ptr<Operation>& operation) {
  std::function<void()> block;
  {
    std::lock_guard lock(operation->state_->mutex);
    if (!operation->state_->cancelled) {
      block = std::move(operation->state_->block);
      operation->state_->executing = true;
    }
  }
  if (block) {
    OperationQueue* outer = tlsCurrentQueue;
    tlsCurrentQueue = this;
    block();
    block = nullptr;
    tlsCurrentQueue = outer;
  }
  {
    std::lock_guard lock(operation->state_->mutex);
    operation->state_->executing = false;
    operation->state_->finished = true;
    operation->state_->block = nullptr;
  }
  std::lock_guard lock(state_->mutex);
  --state_->running;
  startReadyLocked();
  state_->idle.notify_all();
}

void OperationQueue::cancelAllOperations() {
  std::lock_guard lock(state_->mutex);
  // Waiting operations are cancelled in place and still pass through run(), which finishes them
  // without calling their blocks: the queue's counts then stay right.
  for (const auto& operation : state_->waiting) operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
  std::unique_lock lock(state_->mutex);
  state_->idle.wait(lock, [&] { return state_->waiting.empty() && state_->running == 0; });
}

std::size_t OperationQueue::operationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->waiting.size() + state_->running;
}

long OperationQueue::maxConcurrentOperationCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->maxConcurrent;
}

void OperationQueue::setMaxConcurrentOperationCount(long count) {
  std::lock_guard lock(state_->mutex);
  state_->maxConcurrent = count < 0 ? kDefaultMaxConcurrentOperationCount : count;
  startReadyLocked();
}

bool OperationQueue::isSuspended() const {
  std::lock_guard lock(state_->mutex);
  return state_->suspended;
}

void OperationQueue::setSuspended(bool suspended) {
  std::lock_guard lock(state_->mutex);
  state_->suspended = suspended;
  startReadyLocked();
}

dispatch::QualityOfService OperationQueue::qualityOfService() const {
  std::lock_guard lock(state_->mutex);
  return state_->qos;
}

void OperationQueue::setQualityOfService(dispatch::QualityOfService qos) {
  std::lock_guard lock(state_->mutex);
  state_->qos = qos;
}

std::string OperationQueue::name() const {
  std::lock_guard lock(state_->mutex);
  return state_->name;
}

void OperationQueue::setName(std::string name) {
  std::lock_guard lock(state_->mutex);
  state_->name = std::move(name);
}

}  // namespace foundation
