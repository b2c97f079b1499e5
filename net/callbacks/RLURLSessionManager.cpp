#include "net/callbacks/RLURLSessionManager.h"

#include <cstdio>

#include "net/callbacks/RLArchivableClasses.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "net/callbacks/RLTaskResumeSuspendHook.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

using foundation::NotificationCenter;
using net::URLSessionAuthChallengeDisposition;
using net::URLSessionCallback;

namespace {

const char* const kSessionConfigurationKey = "sessionConfiguration";

std::string addressText(const void* address) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", address);
  return text;
}

// The identity a task is posted under (notifications carry it as an Object).
const void* senderOf(const net::TaskPtr& task) { return static_cast<const foundation::Object*>(task.get()); }

void postOnMainQueue(const char* name, const net::TaskPtr& task) {
  dispatch::mainQueue()->async([name, task] {
    NotificationCenter::defaultCenter().post(name, std::static_pointer_cast<foundation::Object>(task));
  });
}

}  // namespace

struct RLURLSessionManager::Blocks {
  SessionDidBecomeInvalidBlock sessionDidBecomeInvalid;
  SessionDidReceiveAuthenticationChallengeBlock sessionDidReceiveAuthenticationChallenge;
  TaskWillPerformHTTPRedirectionBlock taskWillPerformHTTPRedirection;
  TaskDidReceiveAuthenticationChallengeBlock taskDidReceiveAuthenticationChallenge;
  TaskNeedNewBodyStreamBlock taskNeedNewBodyStream;
  TaskDidSendBodyDataBlock taskDidSendBodyData;
  TaskDidCompleteBlock taskDidComplete;
  DataTaskDidReceiveResponseBlock dataTaskDidReceiveResponse;
  DataTaskDidBecomeDownloadTaskBlock dataTaskDidBecomeDownloadTask;
  DataTaskDidReceiveDataBlock dataTaskDidReceiveData;
  DataTaskWillCacheResponseBlock dataTaskWillCacheResponse;
  DownloadTaskDidFinishDownloadingBlock downloadTaskDidFinishDownloading;
  DownloadTaskDidWriteDataBlock downloadTaskDidWriteData;
  DownloadTaskDidResumeBlock downloadTaskDidResume;
};

template <class Block>
Block RLURLSessionManager::block(Block Blocks::*field) const {
  std::lock_guard guard(propertiesMutex_);
  return (*blocks_).*field;
}

template <class Block>
void RLURLSessionManager::setBlock(Block Blocks::*field, Block value) {
  std::lock_guard guard(propertiesMutex_);
  (*blocks_).*field = std::move(value);
}

// ---- Creation

RLURLSessionManager::RLURLSessionManager() : taskDescription_(addressText(this)), blocks_(std::make_unique<Blocks>()) {}

std::shared_ptr<RLURLSessionManager> RLURLSessionManager::create(std::optional<net::URLSessionConfiguration> configuration) {
  std::shared_ptr<RLURLSessionManager> manager(new RLURLSessionManager());
  manager->initWithSessionConfiguration(std::move(configuration));
  return manager;
}

std::shared_ptr<RLURLSessionManager> RLURLSessionManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
  const auto configuration = coder.decodeObjectOfClass<net::URLSessionConfiguration>(kSessionConfigurationKey);
  return create(configuration ? std::optional(*configuration) : std::nullopt);
}

void RLURLSessionManager::initWithSessionConfiguration(std::optional<net::URLSessionConfiguration> configuration) {
  RLInstallTaskResumeSuspendHook();
  // A manager can be archived as soon as it exists.
  static std::once_flag registered;
  std::call_once(registered, RLRegisterArchivableClasses);
  sessionConfiguration_ =
      configuration ? std::move(*configuration) : net::URLSessionConfiguration::defaultSessionConfiguration();
  operationQueue_ = foundation::OperationQueue::create();
  operationQueue_->setMaxConcurrentOperationCount(1);
  session_ = net::URLSession::create(sessionConfiguration_, shared_from_this(), operationQueue_);
  responseSerializer_ = RLJSONResponseSerializer::serializer();
  securityPolicy_ = RLSecurityPolicy::defaultPolicy();
  reachabilityManager_ = RLNetworkReachabilityManager::sharedManager();
  // A session that already has tasks (one re-made for a background identifier) has them adopted.
  const std::weak_ptr<RLURLSessionManager> weak = weak_from_this();
  session_->getTasks([weak](std::vector<net::DataTaskPtr> data, std::vector<std::shared_ptr<net::URLSessionUploadTask>> upload,
                            std::vector<net::DownloadTaskPtr> download) {
    const auto self = weak.lock();
    if (!self) return;
    for (const auto& task : data) self->addDelegateForDataTask(task, nullptr, nullptr, nullptr);
    for (const auto& task : upload) self->addDelegateForUploadTask(task, nullptr, nullptr);
    for (const auto& task : download) self->addDelegateForDownloadTask(task, nullptr, nullptr, nullptr);
  });
}

RLURLSessionManager::~RLURLSessionManager() {
  std::lock_guard guard(lock_);
  for (const auto& [identifier, tokens] : observers_) {
    NotificationCenter::defaultCenter().removeObserver(tokens.second);
    NotificationCenter::defaultCenter().removeObserver(tokens.first);
  }
}

// ---- Configuration

std::shared_ptr<RLURLResponseSerialization> RLURLSessionManager::responseSerializer() const {
  std::lock_guard guard(propertiesMutex_);
  return responseSerializer_;
}

void RLURLSessionManager::setResponseSerializer(std::shared_ptr<RLURLResponseSerialization> serializer) {
  std::lock_guard guard(propertiesMutex_);
  responseSerializer_ = std::move(serializer);
}

std::shared_ptr<RLSecurityPolicy> RLURLSessionManager::securityPolicy() const {
  std::lock_guard guard(propertiesMutex_);
  return securityPolicy_;
}

void RLURLSessionManager::setSecurityPolicy(std::shared_ptr<RLSecurityPolicy> policy) {
  std::lock_guard guard(propertiesMutex_);
  securityPolicy_ = std::move(policy);
}

std::shared_ptr<RLNetworkReachabilityManager> RLURLSessionManager::reachabilityManager() const {
  std::lock_guard guard(propertiesMutex_);
  return reachabilityManager_;
}

void RLURLSessionManager::setReachabilityManager(std::shared_ptr<RLNetworkReachabilityManager> manager) {
  std::lock_guard guard(propertiesMutex_);
  reachabilityManager_ = std::move(manager);
}

std::shared_ptr<dispatch::Queue> RLURLSessionManager::completionQueue() const {
  std::lock_guard guard(propertiesMutex_);
  return completionQueue_;
}

void RLURLSessionManager::setCompletionQueue(std::shared_ptr<dispatch::Queue> queue) {
  std::lock_guard guard(propertiesMutex_);
  completionQueue_ = std::move(queue);
}

std::shared_ptr<dispatch::Group> RLURLSessionManager::completionGroup() const {
  std::lock_guard guard(propertiesMutex_);
  return completionGroup_;
}

void RLURLSessionManager::setCompletionGroup(std::shared_ptr<dispatch::Group> group) {
  std::lock_guard guard(propertiesMutex_);
  completionGroup_ = std::move(group);
}

bool RLURLSessionManager::attemptsToRecreateUploadTasksForBackgroundSessions() const {
  std::lock_guard guard(propertiesMutex_);
  return attemptsToRecreateUploadTasks_;
}

void RLURLSessionManager::setAttemptsToRecreateUploadTasksForBackgroundSessions(bool attempts) {
  std::lock_guard guard(propertiesMutex_);
  attemptsToRecreateUploadTasks_ = attempts;
}

std::string RLURLSessionManager::description() const {
  return "<RLURLSessionManager: " + addressText(this) + ", session: " + session_->description() +
         ", operationQueue: <OperationQueue: " + addressText(operationQueue_.get()) + ">>";
}

// ---- Task factories. Tasks are made on the caller's thread: the platform versions that
// needed them made on one serial queue do not exist here.

net::DataTaskPtr RLURLSessionManager::dataTaskWithRequest(const net::URLRequest& request,
                                                          RLTaskCompletionHandler completionHandler) {
  return dataTaskWithRequest(request, nullptr, nullptr, std::move(completionHandler));
}

net::DataTaskPtr RLURLSessionManager::dataTaskWithRequest(const net::URLRequest& request, RLProgressBlock uploadProgress,
                                                          RLProgressBlock downloadProgress,
                                                          RLTaskCompletionHandler completionHandler) {
  auto task = session_->dataTask(request);
  addDelegateForDataTask(task, std::move(uploadProgress), std::move(downloadProgress), std::move(completionHandler));
  return task;
}

std::shared_ptr<net::URLSessionUploadTask> RLURLSessionManager::makeUploadTaskFromFile(const net::URLRequest& request,
                                                                                      const net::URL& fileURL) {
  return session_->uploadTaskFromFile(request, fileURL);
}

std::shared_ptr<net::URLSessionUploadTask> RLURLSessionManager::uploadTaskWithRequest(
    const net::URLRequest& request, const net::URL& fromFile, RLProgressBlock progress,
    RLTaskCompletionHandler completionHandler) {
  auto task = makeUploadTaskFromFile(request, fromFile);
  // Background sessions sometimes fail to make a file upload at first; three more tries.
  if (!task && attemptsToRecreateUploadTasksForBackgroundSessions() && sessionConfiguration_.identifier) {
    for (int attempt = 0; attempt < 3 && !task; ++attempt) task = makeUploadTaskFromFile(request, fromFile);
  }
  if (task) addDelegateForUploadTask(task, std::move(progress), std::move(completionHandler));
  return task;
}

std::shared_ptr<net::URLSessionUploadTask> RLURLSessionManager::uploadTaskWithRequest(
    const net::URLRequest& request, const foundation::Data& fromData, RLProgressBlock progress,
    RLTaskCompletionHandler completionHandler) {
  auto task = session_->uploadTask(request, fromData);
  addDelegateForUploadTask(task, std::move(progress), std::move(completionHandler));
  return task;
}

std::shared_ptr<net::URLSessionUploadTask> RLURLSessionManager::uploadTaskWithStreamedRequest(
    const net::URLRequest& request, RLProgressBlock progress, RLTaskCompletionHandler completionHandler) {
  auto task = session_->uploadTaskWithStreamedRequest(request);
  addDelegateForUploadTask(task, std::move(progress), std::move(completionHandler));
  return task;
}

net::DownloadTaskPtr RLURLSessionManager::downloadTaskWithRequest(const net::URLRequest& request, RLProgressBlock progress,
                                                                  RLDownloadDestinationBlock destination,
                                                                  RLTaskCompletionHandler completionHandler) {
  auto task = session_->downloadTask(request);
  addDelegateForDownloadTask(task, std::move(progress), std::move(destination), std::move(completionHandler));
  return task;
}

net::DownloadTaskPtr RLURLSessionManager::downloadTaskWithResumeData(const foundation::Data& resumeData,
                                                                     RLProgressBlock progress,
                                                                     RLDownloadDestinationBlock destination,
                                                                     RLTaskCompletionHandler completionHandler) {
  auto task = session_->downloadTaskWithResumeData(resumeData);
  addDelegateForDownloadTask(task, std::move(progress), std::move(destination), std::move(completionHandler));
  return task;
}

// ---- The delegate table. Blocks are set before a delegate is registered, so no event can
// reach a half-made delegate.

std::shared_ptr<RLURLSessionManagerTaskDelegate> RLURLSessionManager::newDelegate(
    const net::TaskPtr& task, RLTaskCompletionHandler completionHandler) {
  auto delegate = std::make_shared<RLURLSessionManagerTaskDelegate>(task);
  delegate->setManager(shared_from_this());
  delegate->setCompletionHandler(std::move(completionHandler));
  task->setTaskDescription(taskDescription_);
  return delegate;
}

void RLURLSessionManager::addDelegateForDataTask(const net::DataTaskPtr& task, RLProgressBlock uploadProgress,
                                                 RLProgressBlock downloadProgress,
                                                 RLTaskCompletionHandler completionHandler) {
  auto delegate = newDelegate(task, std::move(completionHandler));
  delegate->setUploadProgressBlock(std::move(uploadProgress));
  delegate->setDownloadProgressBlock(std::move(downloadProgress));
  setDelegate(delegate, task);
}

void RLURLSessionManager::addDelegateForUploadTask(const net::TaskPtr& task, RLProgressBlock progress,
                                                   RLTaskCompletionHandler completionHandler) {
  auto delegate = newDelegate(task, std::move(completionHandler));
  delegate->setUploadProgressBlock(std::move(progress));
  setDelegate(delegate, task);
}

void RLURLSessionManager::addDelegateForDownloadTask(const net::DownloadTaskPtr& task, RLProgressBlock progress,
                                                     RLDownloadDestinationBlock destination,
                                                     RLTaskCompletionHandler completionHandler) {
  auto delegate = newDelegate(task, std::move(completionHandler));
  if (destination) {
    delegate->setDownloadTaskDidFinishDownloading(
        [destination = std::move(destination)](const net::URLSessionPtr&, const net::DownloadTaskPtr& task,
                                               const net::URL& location) { return destination(location, task->response()); });
  }
  delegate->setDownloadProgressBlock(std::move(progress));
  setDelegate(delegate, task);
}

void RLURLSessionManager::setDelegate(const std::shared_ptr<RLURLSessionManagerTaskDelegate>& delegate,
                                      const net::TaskPtr& task) {
  std::lock_guard guard(lock_);
  delegates_[task->taskIdentifier()] = delegate;
  addNotificationObserverForTaskLocked(task);
}

std::shared_ptr<RLURLSessionManagerTaskDelegate> RLURLSessionManager::delegateForTask(const net::TaskPtr& task) const {
  if (!task) return nullptr;
  std::lock_guard guard(lock_);
  const auto found = delegates_.find(task->taskIdentifier());
  return found == delegates_.end() ? nullptr : found->second;
}

void RLURLSessionManager::removeDelegateForTask(const net::TaskPtr& task) {
  std::shared_ptr<RLURLSessionManagerTaskDelegate> removed;
  std::lock_guard guard(lock_);
  removeNotificationObserverForTaskLocked(task->taskIdentifier());
  const auto found = delegates_.find(task->taskIdentifier());
  if (found == delegates_.end()) return;
  removed = std::move(found->second);
  delegates_.erase(found);
}

void RLURLSessionManager::addNotificationObserverForTaskLocked(const net::TaskPtr& task) {
  auto& center = NotificationCenter::defaultCenter();
  removeNotificationObserverForTaskLocked(task->taskIdentifier());
  // Weak: the observers must not keep the manager alive, and it removes them itself.
  const std::weak_ptr<RLURLSessionManager> weak = weak_from_this();
  const auto resume = center.addObserver(RLNetworkingTaskResumeInternalNotification, senderOf(task), nullptr,
                                         [weak](const foundation::Notification& notification) {
                                           if (auto self = weak.lock()) self->taskDidResume(notification);
                                         });
  const auto suspend = center.addObserver(RLNetworkingTaskSuspendInternalNotification, senderOf(task), nullptr,
                                          [weak](const foundation::Notification& notification) {
                                            if (auto self = weak.lock()) self->taskDidSuspend(notification);
                                          });
  observers_[task->taskIdentifier()] = {resume, suspend};
}

void RLURLSessionManager::removeNotificationObserverForTaskLocked(std::uint64_t taskIdentifier) {
  const auto found = observers_.find(taskIdentifier);
  if (found == observers_.end()) return;
  NotificationCenter::defaultCenter().removeObserver(found->second.second);
  NotificationCenter::defaultCenter().removeObserver(found->second.first);
  observers_.erase(found);
}

void RLURLSessionManager::taskDidResume(const foundation::Notification& notification) {
  const auto task = std::dynamic_pointer_cast<net::URLSessionTask>(notification.object());
  if (task && task->taskDescription() == taskDescription_) postOnMainQueue(RLNetworkingTaskDidResumeNotification, task);
}

void RLURLSessionManager::taskDidSuspend(const foundation::Notification& notification) {
  const auto task = std::dynamic_pointer_cast<net::URLSessionTask>(notification.object());
  if (task && task->taskDescription() == taskDescription_) postOnMainQueue(RLNetworkingTaskDidSuspendNotification, task);
}

// ---- Progress and task lists

std::shared_ptr<foundation::Progress> RLURLSessionManager::uploadProgressForTask(const net::TaskPtr& task) const {
  const auto delegate = delegateForTask(task);
  return delegate ? delegate->uploadProgress() : nullptr;
}

std::shared_ptr<foundation::Progress> RLURLSessionManager::downloadProgressForTask(const net::TaskPtr& task) const {
  const auto delegate = delegateForTask(task);
  return delegate ? delegate->downloadProgress() : nullptr;
}

RLURLSessionManager::TaskList RLURLSessionManager::tasksOfKinds(bool data, bool upload, bool download) const {
  // The session's own list, read here: asking through the delegate queue and waiting would
  // never return when called from that queue.
  TaskList dataTasks, uploadTasks, downloadTasks;
  for (auto& task : session_->allTasks()) {
    switch (task->kind()) {
      case net::URLSessionTask::Kind::Data: if (data) dataTasks.push_back(std::move(task)); break;
      case net::URLSessionTask::Kind::Upload: if (upload) uploadTasks.push_back(std::move(task)); break;
      case net::URLSessionTask::Kind::Download: if (download) downloadTasks.push_back(std::move(task)); break;
      case net::URLSessionTask::Kind::Stream: break;
    }
  }
  dataTasks.insert(dataTasks.end(), uploadTasks.begin(), uploadTasks.end());
  dataTasks.insert(dataTasks.end(), downloadTasks.begin(), downloadTasks.end());
  return dataTasks;
}

RLURLSessionManager::TaskList RLURLSessionManager::tasks() const { return tasksOfKinds(true, true, true); }
RLURLSessionManager::TaskList RLURLSessionManager::dataTasks() const { return tasksOfKinds(true, false, false); }
RLURLSessionManager::TaskList RLURLSessionManager::uploadTasks() const { return tasksOfKinds(false, true, false); }
RLURLSessionManager::TaskList RLURLSessionManager::downloadTasks() const { return tasksOfKinds(false, false, true); }

void RLURLSessionManager::invalidateSessionCancelingTasks(bool cancelPendingTasks) {
  if (cancelPendingTasks) {
    session_->invalidateAndCancel();
  } else {
    session_->finishTasksAndInvalidate();
  }
}

// ---- Override block setters

void RLURLSessionManager::setSessionDidBecomeInvalidBlock(SessionDidBecomeInvalidBlock block) {
  setBlock(&Blocks::sessionDidBecomeInvalid, std::move(block));
}
void RLURLSessionManager::setSessionDidReceiveAuthenticationChallengeBlock(
    SessionDidReceiveAuthenticationChallengeBlock block) {
  setBlock(&Blocks::sessionDidReceiveAuthenticationChallenge, std::move(block));
}
void RLURLSessionManager::setTaskWillPerformHTTPRedirectionBlock(TaskWillPerformHTTPRedirectionBlock block) {
  setBlock(&Blocks::taskWillPerformHTTPRedirection, std::move(block));
}
void RLURLSessionManager::setTaskDidReceiveAuthenticationChallengeBlock(TaskDidReceiveAuthenticationChallengeBlock block) {
  setBlock(&Blocks::taskDidReceiveAuthenticationChallenge, std::move(block));
}
void RLURLSessionManager::setTaskNeedNewBodyStreamBlock(TaskNeedNewBodyStreamBlock block) {
  setBlock(&Blocks::taskNeedNewBodyStream, std::move(block));
}
void RLURLSessionManager::setTaskDidSendBodyDataBlock(TaskDidSendBodyDataBlock block) {
  setBlock(&Blocks::taskDidSendBodyData, std::move(block));
}
void RLURLSessionManager::setTaskDidCompleteBlock(TaskDidCompleteBlock block) {
  setBlock(&Blocks::taskDidComplete, std::move(block));
}
void RLURLSessionManager::setDataTaskDidReceiveResponseBlock(DataTaskDidReceiveResponseBlock block) {
  setBlock(&Blocks::dataTaskDidReceiveResponse, std::move(block));
}
void RLURLSessionManager::setDataTaskDidBecomeDownloadTaskBlock(DataTaskDidBecomeDownloadTaskBlock block) {
  setBlock(&Blocks::dataTaskDidBecomeDownloadTask, std::move(block));
}
void RLURLSessionManager::setDataTaskDidReceiveDataBlock(DataTaskDidReceiveDataBlock block) {
  setBlock(&Blocks::dataTaskDidReceiveData, std::move(block));
}
void RLURLSessionManager::setDataTaskWillCacheResponseBlock(DataTaskWillCacheResponseBlock block) {
  setBlock(&Blocks::dataTaskWillCacheResponse, std::move(block));
}
void RLURLSessionManager::setDownloadTaskDidFinishDownloadingBlock(DownloadTaskDidFinishDownloadingBlock block) {
  setBlock(&Blocks::downloadTaskDidFinishDownloading, std::move(block));
}
void RLURLSessionManager::setDownloadTaskDidWriteDataBlock(DownloadTaskDidWriteDataBlock block) {
  setBlock(&Blocks::downloadTaskDidWriteData, std::move(block));
}
void RLURLSessionManager::setDownloadTaskDidResumeBlock(DownloadTaskDidResumeBlock block) {
  setBlock(&Blocks::downloadTaskDidResume, std::move(block));
}

// ---- Session events

bool RLURLSessionManager::respondsTo(URLSessionCallback callback) const {
  switch (callback) {
    case URLSessionCallback::TaskWillPerformHTTPRedirection:
      return static_cast<bool>(block(&Blocks::taskWillPerformHTTPRedirection));
    case URLSessionCallback::DataTaskDidReceiveResponse:
      return static_cast<bool>(block(&Blocks::dataTaskDidReceiveResponse));
    case URLSessionCallback::DataTaskWillCacheResponse:
      return static_cast<bool>(block(&Blocks::dataTaskWillCacheResponse));
    default:
      return true;
  }
}

void RLURLSessionManager::didBecomeInvalid(const net::URLSessionPtr& session,
                                           const std::optional<foundation::Error>& error) {
  if (auto invalid = block(&Blocks::sessionDidBecomeInvalid)) invalid(session, error);
  NotificationCenter::defaultCenter().post(RLURLSessionDidInvalidateNotification,
                                           std::static_pointer_cast<foundation::Object>(session));
}

URLSessionAuthChallengeDisposition RLURLSessionManager::evaluateChallenge(
    const net::URLAuthenticationChallenge& challenge, std::shared_ptr<const net::URLCredential>& credential,
    bool alwaysUseCredential) const {
  const auto& space = challenge.protectionSpace();
  if (space.authenticationMethod() != net::kURLAuthenticationMethodServerTrust) {
    return URLSessionAuthChallengeDisposition::PerformDefaultHandling;
  }
  const auto policy = securityPolicy();
  if (!policy || !policy->evaluateServerTrust(space.serverTrust(), space.host())) {
    return URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge;
  }
  credential = net::URLCredential::forTrust(space.serverTrust());
  return credential || alwaysUseCredential ? URLSessionAuthChallengeDisposition::UseCredential
                                           : URLSessionAuthChallengeDisposition::PerformDefaultHandling;
}

void RLURLSessionManager::didReceiveChallenge(const net::URLSessionPtr& session,
                                              const net::URLAuthenticationChallenge& challenge,
                                              net::ChallengeCompletion completion) {
  std::shared_ptr<const net::URLCredential> credential;
  URLSessionAuthChallengeDisposition disposition;
  if (auto answer = block(&Blocks::sessionDidReceiveAuthenticationChallenge)) {
    disposition = answer(session, challenge, credential);
  } else {
    disposition = evaluateChallenge(challenge, credential, false);
  }
  if (completion) completion(disposition, credential);
}

void RLURLSessionManager::taskDidReceiveChallenge(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                                  const net::URLAuthenticationChallenge& challenge,
                                                  net::ChallengeCompletion completion) {
  std::shared_ptr<const net::URLCredential> credential;
  URLSessionAuthChallengeDisposition disposition;
  if (auto answer = block(&Blocks::taskDidReceiveAuthenticationChallenge)) {
    disposition = answer(session, task, challenge, credential);
  } else {
    disposition = evaluateChallenge(challenge, credential, true);
  }
  if (completion) completion(disposition, credential);
}

void RLURLSessionManager::willPerformHTTPRedirection(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                                     const std::shared_ptr<const net::HTTPURLResponse>& response,
                                                     const net::URLRequest& newRequest,
                                                     net::RedirectCompletion completion) {
  std::optional<net::URLRequest> request = newRequest;
  if (auto redirect = block(&Blocks::taskWillPerformHTTPRedirection)) request = redirect(session, task, response, newRequest);
  if (completion) completion(std::move(request));
}

void RLURLSessionManager::needNewBodyStream(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                            net::BodyStreamCompletion completion) {
  std::shared_ptr<net::InputStream> stream;
  if (auto make = block(&Blocks::taskNeedNewBodyStream)) {
    stream = make(session, task);
  } else if (task->originalRequest() && task->originalRequest()->httpBodyStream()) {
    stream = task->originalRequest()->httpBodyStream()->copy();
  }
  if (completion) completion(std::move(stream));
}

void RLURLSessionManager::didSendBodyData(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                          std::int64_t bytesSent, std::int64_t totalBytesSent,
                                          std::int64_t totalBytesExpectedToSend) {
  std::int64_t total = totalBytesExpectedToSend;
  if (total == net::kURLSessionTransferSizeUnknown && task->originalRequest()) {
    if (const auto length = task->originalRequest()->valueForHTTPHeaderField("Content-Length")) {
      total = foundation::Value(*length).intValue();
    }
  }
  if (auto delegate = delegateForTask(task)) {
    delegate->didSendBodyData(session, task, bytesSent, totalBytesSent, totalBytesExpectedToSend);
  }
  if (auto sent = block(&Blocks::taskDidSendBodyData)) sent(session, task, bytesSent, totalBytesSent, total);
}

void RLURLSessionManager::didCompleteWithError(const net::URLSessionPtr& session, const net::TaskPtr& task,
                                               const std::optional<foundation::Error>& error) {
  if (auto delegate = delegateForTask(task)) {
    delegate->didCompleteWithError(session, task, error);
    removeDelegateForTask(task);
  }
  if (auto complete = block(&Blocks::taskDidComplete)) complete(session, task, error);
}

void RLURLSessionManager::didReceiveResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                                             const RLURLResponsePtr& response, net::ResponseCompletion completion) {
  auto disposition = net::URLSessionResponseDisposition::Allow;
  if (auto decide = block(&Blocks::dataTaskDidReceiveResponse)) disposition = decide(session, task, response);
  if (completion) completion(disposition);
}

void RLURLSessionManager::didBecomeDownloadTask(const net::URLSessionPtr& session, const net::DataTaskPtr& dataTask,
                                                const net::DownloadTaskPtr& downloadTask) {
  if (auto delegate = delegateForTask(dataTask)) {
    removeDelegateForTask(dataTask);
    setDelegate(delegate, downloadTask);
  }
  if (auto became = block(&Blocks::dataTaskDidBecomeDownloadTask)) became(session, dataTask, downloadTask);
}

void RLURLSessionManager::didReceiveData(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                                         const foundation::Data& data) {
  if (auto delegate = delegateForTask(task)) delegate->didReceiveData(session, task, data);
  if (auto received = block(&Blocks::dataTaskDidReceiveData)) received(session, task, data);
}

void RLURLSessionManager::willCacheResponse(const net::URLSessionPtr& session, const net::DataTaskPtr& task,
                                            const std::shared_ptr<const net::CachedURLResponse>& proposed,
                                            net::CacheCompletion completion) {
  auto cached = proposed;
  if (auto decide = block(&Blocks::dataTaskWillCacheResponse)) cached = decide(session, task, proposed);
  if (completion) completion(std::move(cached));
}

void RLURLSessionManager::didFinishDownloadingToURL(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                                    const net::URL& location) {
  const auto delegate = delegateForTask(task);
  if (auto choose = block(&Blocks::downloadTaskDidFinishDownloading)) {
    if (auto destination = choose(session, task, location)) {
      if (delegate) delegate->setDownloadFileURL(destination);
      auto error = RLMoveDownloadedFile(task, location, *destination);
      if (error && delegate) delegate->setDownloadMoveError(std::move(*error));
      return;
    }
  }
  if (delegate) delegate->didFinishDownloadingToURL(session, task, location);
}

void RLURLSessionManager::didWriteData(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                       std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                       std::int64_t totalBytesExpectedToWrite) {
  if (auto delegate = delegateForTask(task)) {
    delegate->didWriteData(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
  }
  if (auto wrote = block(&Blocks::downloadTaskDidWriteData)) {
    wrote(session, task, bytesWritten, totalBytesWritten, totalBytesExpectedToWrite);
  }
}

void RLURLSessionManager::didResumeAtOffset(const net::URLSessionPtr& session, const net::DownloadTaskPtr& task,
                                            std::int64_t fileOffset, std::int64_t expectedTotalBytes) {
  if (auto delegate = delegateForTask(task)) delegate->didResumeAtOffset(session, task, fileOffset, expectedTotalBytes);
  if (auto resumed = block(&Blocks::downloadTaskDidResume)) resumed(session, task, fileOffset, expectedTotalBytes);
}

// ---- Archiving and copying

void RLURLSessionManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(std::make_shared<net::URLSessionConfiguration>(session_->configuration()), kSessionConfigurationKey);
}

std::shared_ptr<RLURLSessionManager> RLURLSessionManager::copy() const { return create(session_->configuration()); }
