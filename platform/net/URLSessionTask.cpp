#include "platform/net/URLSessionTask.h"

#include <map>

#include "platform/net/detail/SessionCore.h"

namespace net {
namespace {

struct ObserverRegistry {
  std::mutex mutex;
  std::uint64_t next = 1;
  std::map<std::uint64_t, URLSessionTask::TransitionObserver> observers;
};

ObserverRegistry& registry() {
  static auto* r = new ObserverRegistry();
  return *r;
}

// Installed at most once and never removed, so a plain atomic read suffices on every call.
std::atomic<URLSessionTask::ResumeSuspendHook> gResumeSuspendHook{nullptr};

}  // namespace

std::uint64_t URLSessionTask::addTransitionObserver(TransitionObserver observer) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  std::uint64_t token = r.next++;
  r.observers.emplace(token, std::move(observer));
  return token;
}

void URLSessionTask::removeTransitionObserver(std::uint64_t token) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.observers.erase(token);
}

bool URLSessionTask::installResumeSuspendHook(ResumeSuspendHook hook) {
  ResumeSuspendHook none = nullptr;
  return hook && gResumeSuspendHook.compare_exchange_strong(none, hook);
}

void URLSessionTask::callResumeSuspendHook(Transition transition, URLSessionTaskState stateBefore) {
  if (auto hook = gResumeSuspendHook.load()) hook(shared_from_this(), transition, stateBefore);
}

URLSessionTask::URLSessionTask(Kind kind, std::uint64_t identifier, std::optional<URLRequest> request,
                               std::weak_ptr<detail::SessionCore> core)
    : kind_(kind),
      identifier_(identifier),
      originalRequest_(request),
      core_(std::move(core)),
      currentRequest_(std::move(request)) {}

URLSessionTask::~URLSessionTask() = default;

std::optional<URLRequest> URLSessionTask::currentRequest() const {
  std::lock_guard lock(mutex_);
  return currentRequest_;
}

std::shared_ptr<const URLResponse> URLSessionTask::response() const {
  std::lock_guard lock(mutex_);
  return response_;
}

URLSessionTaskState URLSessionTask::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

std::optional<foundation::Error> URLSessionTask::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

std::string URLSessionTask::taskDescription() const {
  std::lock_guard lock(mutex_);
  return taskDescription_;
}

void URLSessionTask::setTaskDescription(std::string description) {
  std::lock_guard lock(mutex_);
  taskDescription_ = std::move(description);
}

float URLSessionTask::priority() const {
  std::lock_guard lock(mutex_);
  return priority_;
}

void URLSessionTask::setPriority(float priority) {
  std::lock_guard lock(mutex_);
  priority_ = priority;
}

void URLSessionTask::notifyTransition(Transition transition) {
  std::vector<TransitionObserver> observers;
  {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    for (auto& [token, observer] : r.observers) observers.push_back(observer);
  }
  auto self = shared_from_this();
  for (auto& observer : observers) observer(self, transition);
}

void URLSessionTask::resume() {
  URLSessionTaskState before;
  {
    std::lock_guard lock(mutex_);
    before = state_;
    if (state_ == URLSessionTaskState::Suspended) state_ = URLSessionTaskState::Running;
  }
  if (before == URLSessionTaskState::Suspended) {
    if (auto core = core_.lock()) core->taskResumed(shared_from_this());
    notifyTransition(Transition::Resume);
  }
  callResumeSuspendHook(Transition::Resume, before);
}

void URLSessionTask::suspend() {
  URLSessionTaskState before;
  {
    std::lock_guard lock(mutex_);
    before = state_;
    if (state_ == URLSessionTaskState::Running) state_ = URLSessionTaskState::Suspended;
  }
  if (before == URLSessionTaskState::Running) {
    if (auto core = core_.lock()) core->taskSuspended(shared_from_this());
    notifyTransition(Transition::Suspend);
  }
  callResumeSuspendHook(Transition::Suspend, before);
}

void URLSessionTask::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (state_ != URLSessionTaskState::Running && state_ != URLSessionTaskState::Suspended) return;
    state_ = URLSessionTaskState::Canceling;
  }
  if (auto core = core_.lock()) core->taskCancelled(shared_from_this());
}

std::string URLSessionTask::description() const {
  static const char* kKinds[] = {"URLSessionDataTask", "URLSessionUploadTask", "URLSessionDownloadTask",
                                 "URLSessionStreamTask"};
  std::string url;
  if (auto request = currentRequest(); request && request->url()) url = " " + request->url()->absoluteString();
  return std::string("<") + kKinds[static_cast<int>(kind_)] + " " + std::to_string(identifier_) + url + ">";
}

void URLSessionDownloadTask::cancelByProducingResumeData(
    std::function<void(std::optional<foundation::Data>)> completion) {
  {
    std::lock_guard lock(mutex_);
    if (state_ != URLSessionTaskState::Running && state_ != URLSessionTaskState::Suspended) {
      // Nothing to cancel; the completion still runs once, with nothing.
      if (auto core = core_.lock()) {
        core->deliver([completion] { if (completion) completion(std::nullopt); });
      }
      return;
    }
    state_ = URLSessionTaskState::Canceling;
  }
  if (auto core = core_.lock()) core->cancelProducingResumeData(shared_from_this(), std::move(completion));
}

URLSessionStreamTask::URLSessionStreamTask(std::uint64_t identifier, std::string host, int port,
                                           std::weak_ptr<detail::SessionCore> core)
    : URLSessionTask(Kind::Stream, identifier, std::nullopt, std::move(core)), host_(std::move(host)), port_(port) {}

}  // namespace net
