#include "net/callbacks/RLURLSessionManagerTaskDelegate.h"

#include "net/callbacks/RLURLSessionManager.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/ReserveData.h"

using foundation::Value;

namespace {

const char* const kFractionCompleted = "fractionCompleted";
constexpr std::int64_t kLargestReservedBody = std::int64_t{1} << 30;

// Makes `progress` stand for the task's transfer: unknown total, and cancel, pause and resume
// passed on to the task while it lives.
void bindToTask(foundation::Progress& progress, const net::TaskPtr& task) {
  const std::weak_ptr<net::URLSessionTask> weak = task;
  progress.setTotalUnitCount(net::kURLSessionTransferSizeUnknown);
  progress.setCancellable(true);
  progress.setCancellationHandler([weak] {
    if (auto task = weak.lock()) task->cancel();
  });
  progress.setPausable(true);
  progress.setPausingHandler([weak] {
    if (auto task = weak.lock()) task->suspend();
  });
  progress.setResumingHandler([weak] {
    if (auto task = weak.lock()) task->resume();
  });
}

// Posts the completion notification on the main queue. The user info moves into the
// notification: it may hold the whole body, which is not worth a copy on the main thread.
void postCompletion(const net::TaskPtr& task, foundation::Dictionary userInfo) {
  dispatch::mainQueue()->async([task, userInfo = std::move(userInfo)]() mutable {
    foundation::NotificationCenter::defaultCenter().post(
        RLNetworkingTaskDidCompleteNotification, std::static_pointer_cast<foundation::Object>(task), std::move(userInfo));
  });
}

Value errorValue(const foundation::Error& error) { return Value(std::make_shared<foundation::Error>(error)); }

// The completion notification's first keys: the serializer, then where the download went or,
// when it went nowhere, the body (sharing its bytes).
foundation::Dictionary completionUserInfo(const std::shared_ptr<RLURLResponseSerialization>& serializer,
                                          const std::optional<net::URL>& movedTo, const RLOptionalData& data) {
  foundation::Dictionary userInfo;
  if (serializer) userInfo.set(RLNetworkingTaskDidCompleteResponseSerializerKey, Value(serializer));
  if (movedTo) {
    userInfo.set(RLNetworkingTaskDidCompleteAssetPathKey, Value(std::make_shared<net::URL>(*movedTo)));
  } else if (data) {
    userInfo.set(RLNetworkingTaskDidCompleteResponseDataKey, data.value());
  }
  return userInfo;
}

}  // namespace

std::shared_ptr<dispatch::Queue> RLURLSessionManagerProcessingQueue() {
  static const auto queue =
      new std::shared_ptr<dispatch::Queue>(dispatch::Queue::createConcurrent("com.relay.networking.session.manager.processing"));
  return *queue;
}

std::shared_ptr<dispatch::Group> RLURLSessionManagerCompletionGroup() {
  static const auto group = new std::shared_ptr<dispatch::Group>(dispatch::Group::create());
  return *group;
}

std::optional<foundation::Error> RLMoveDownloadedFile(const net::DownloadTaskPtr& task, const net::URL& location,
                                                      const net::URL& destination) {
  foundation::Error error;
  if (foundation::FileManager::defaultManager().moveItemAtPath(location.path(), destination.path(), &error)) {
    return std::nullopt;
  }
  foundation::NotificationCenter::defaultCenter().post(RLURLSessionDownloadTaskDidFailToMoveFileNotification,
                                                       std::static_pointer_cast<foundation::Object>(task),
                                                       error.userInfo());
  return error;
}

RLURLSessionManagerTaskDelegate::RLURLSessionManagerTaskDelegate(const net::TaskPtr& task)
    : uploadProgress_(foundation::Progress::create()), downloadProgress_(foundation::Progress::create()) {
  bindToTask(*uploadProgress_, task);
  bindToTask(*downloadProgress_, task);
  uploadObservation_ = uploadProgress_->addObserver(
      kFractionCompleted, [this](const Value&, const Value&) { progressChanged(uploadProgress_.get()); });
  downloadObservation_ = downloadProgress_->addObserver(
      kFractionCompleted, [this](const Value&, const Value&) { progressChanged(downloadProgress_.get()); });
}

RLURLSessionManagerTaskDelegate::~RLURLSessionManagerTaskDelegate() {
  // Callers may keep the progress objects; they must no longer reach this delegate.
  downloadProgress_->removeObserver(downloadObservation_);
  uploadProgress_->removeObserver(uploadObservation_);
}

void RLURLSessionManagerTaskDelegate::progressChanged(const foundation::Progress* progress) {
  if (progress == downloadProgress_.get()) {
    if (downloadProgressBlock_) downloadProgressBlock_(downloadProgress_);
  } else if (progress == uploadProgress_.get()) {
    if (uploadProgressBlock_) uploadProgressBlock_(uploadProgress_);
  }
}

void RLURLSessionManagerTaskDelegate::didReceiveData(const net::URLSessionPtr&, const net::DataTaskPtr& task,
                                                     const foundation::Data& data) {
  const std::int64_t expected = task->countOfBytesExpectedToReceive();
  downloadProgress_->setTotalUnitCount(expected);
  downloadProgress_->setCompletedUnitCount(task->countOfBytesReceived());
  if (!mutableData_) return;
  // Room for the announced length at once saves copying a large body over and over as it grows;
  // an announcement beyond any sane body is not trusted with memory up front.
  if (mutableData_->empty() && expected > 0 && expected <= kLargestReservedBody) {
    foundation::reserveData(*mutableData_, static_cast<std::size_t>(expected));
  }
  mutableData_->insert(mutableData_->end(), data.begin(), data.end());
}

void RLURLSessionManagerTaskDelegate::didSendBodyData(const net::URLSessionPtr&, const net::TaskPtr& task,
                                                      std::int64_t, std::int64_t, std::int64_t) {
  uploadProgress_->setTotalUnitCount(task->countOfBytesExpectedToSend());
  uploadProgress_->setCompletedUnitCount(task->countOfBytesSent());
}

void RLURLSessionManagerTaskDelegate::didWriteData(const net::URLSessionPtr&, const net::DownloadTaskPtr&,
                                                   std::int64_t, std::int64_t totalBytesWritten,
                                                   std::int64_t totalBytesExpectedToWrite) {
  downloadProgress_->setTotalUnitCount(totalBytesExpectedToWrite);
  downloadProgress_->setCompletedUnitCount(totalBytesWritten);
}

void RLURLSessionManagerTaskDelegate::didResumeAtOffset(const net::URLSessionPtr&, const net::DownloadTaskPtr&,
                                                        std::int64_t fileOffset, std::int64_t expectedTotalBytes) {
  downloadProgress_->setTotalUnitCount(expectedTotalBytes);
  downloadProgress_->setCompletedUnitCount(fileOffset);
}

void RLURLSessionManagerTaskDelegate::didFinishDownloadingToURL(const net::URLSessionPtr& session,
                                                                const net::DownloadTaskPtr& task,
                                                                const net::URL& location) {
  downloadFileURL_.reset();
  if (downloadTaskDidFinishDownloading_) downloadFileURL_ = downloadTaskDidFinishDownloading_(session, task, location);
  if (!downloadFileURL_) return;
  if (auto error = RLMoveDownloadedFile(task, location, *downloadFileURL_)) downloadMoveError_ = std::move(error);
}

void RLURLSessionManagerTaskDelegate::didCompleteWithError(const net::URLSessionPtr&, const net::TaskPtr& task,
                                                           const std::optional<foundation::Error>& error) {
  const auto manager = manager_.lock();
  const auto serializer = manager ? manager->responseSerializer() : nullptr;
  auto queue = manager ? manager->completionQueue() : nullptr;
  if (!queue) queue = dispatch::mainQueue();
  auto group = manager ? manager->completionGroup() : nullptr;
  if (!group) group = RLURLSessionManagerCompletionGroup();
  // From here on the body is only read, so the serializer, the response object and the
  // notification share its bytes.
  const RLOptionalData data(std::move(mutableData_));
  mutableData_.reset();
  // A file that could not be moved is nowhere the caller can find it: no asset path, and the
  // move error in place of a response object, so that nobody looks for it there.
  std::optional<net::URL> movedTo = downloadMoveError_ ? std::nullopt : downloadFileURL_;
  auto handler = completionHandler_;

  if (error) {
    // The transport error wins; the serializer does not run and the body reaches only the
    // notification.
    auto userInfo = completionUserInfo(serializer, movedTo, data);
    userInfo.set(RLNetworkingTaskDidCompleteErrorKey, errorValue(*error));
    queue->async(
        [task, handler, error, userInfo = std::move(userInfo)]() mutable {
          if (handler) handler(task->response(), Value(), error);
          postCompletion(task, std::move(userInfo));
        },
        group);
    return;
  }

  RLURLSessionManagerProcessingQueue()->async([task, handler, serializer, data, queue, group,
                                               movedTo = std::move(movedTo), moveError = downloadMoveError_]() mutable {
    std::optional<foundation::Error> serializationError;
    Value responseObject =
        serializer ? serializer->responseObjectForResponse(task->response(), data, &serializationError) : Value();
    if (movedTo) responseObject = Value(std::make_shared<net::URL>(*movedTo));
    if (moveError) {
      responseObject = Value();
      serializationError = RLErrorWithUnderlyingError(moveError, serializationError);
    }
    auto userInfo = completionUserInfo(serializer, movedTo, data);
    // The object takes its place among the keys now and moves in once the handler is done with
    // it, so that it is not copied for the notification.
    const bool hasObject = !responseObject.isNull();
    if (hasObject) userInfo.set(RLNetworkingTaskDidCompleteSerializedResponseKey, Value());
    if (serializationError) userInfo.set(RLNetworkingTaskDidCompleteErrorKey, errorValue(*serializationError));
    queue->async(
        [task, handler, responseObject = std::move(responseObject), hasObject, serializationError,
         userInfo = std::move(userInfo)]() mutable {
          if (handler) handler(task->response(), responseObject, serializationError);
          if (hasObject) userInfo.set(RLNetworkingTaskDidCompleteSerializedResponseKey, std::move(responseObject));
          postCompletion(task, std::move(userInfo));
        },
        group);
  });
}
