#pragma once
// DownloadRequest is the request of a download task: the body goes to a temporary file that the
// task delegate moves to the caller's destination. It adds resume data (from a cancellation or a
// failed transfer), download progress, validations over the file and response handlers that hand
// a DownloadResponse to the caller.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "net/pipeline/DownloadOptions.h"
#include "net/pipeline/DownloadTaskDelegate.h"
#include "net/pipeline/Request.h"
#include "net/pipeline/Response.h"
#include "net/pipeline/ResponseSerialization.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/JSONSerialization.h"

namespace pipeline {

// The search-path domains of suggestedDownloadDestination, with the platform's bit values. Only
// the user's domain has folders on this system.
enum class SearchPathDomainMask : unsigned { user = 1, local = 2, network = 4, system = 8, all = 0x0ffff };

class DownloadRequest : public Request {
 public:
  using DownloadOptions = pipeline::DownloadOptions;
  using DownloadDestination = pipeline::DownloadDestination;
  using QueuePtr = std::shared_ptr<dispatch::Queue>;

  // The description of a download task: a URL request, or resume data of an earlier download.
  class Downloadable : public TaskConvertible {
   public:
    static std::shared_ptr<Downloadable> request(net::URLRequest urlRequest);
    static std::shared_ptr<Downloadable> resumeData(foundation::Data data);
    // The URL request of the request case; nothing for resume data.
    const net::URLRequest* urlRequest() const { return std::get_if<net::URLRequest>(&value_); }
    const foundation::Data* resumeDataBytes() const { return std::get_if<foundation::Data>(&value_); }
    // A download task for the (adapted) request, or one continuing from the resume data (which
    // is never adapted).
    net::TaskPtr createTask(const net::URLSessionPtr& session, const std::shared_ptr<RequestAdapter>& adapter,
                            dispatch::Queue& queue) const override;

   private:
    explicit Downloadable(std::variant<net::URLRequest, foundation::Data> value) : value_(std::move(value)) {}
    std::variant<net::URLRequest, foundation::Data> value_;
  };

  // A check over the URL request, the HTTP response, the temporary and the destination file.
  using Validation = std::function<ValidationResult(const std::optional<net::URLRequest>&, const net::HTTPURLResponse&,
                                                    const std::optional<net::URL>&, const std::optional<net::URL>&)>;

  static std::shared_ptr<DownloadRequest> create(net::URLSessionPtr session, RequestTask requestTask,
                                                 std::optional<AnyError> error = std::nullopt);

  // The task's request, else the Downloadable's URL request (none for resume data).
  std::optional<net::URLRequest> request() const override;
  std::optional<foundation::Data> resumeData() const;
  std::shared_ptr<Progress> progress() const;
  // The task delegate, a DownloadTaskDelegate for this kind. Never null.
  std::shared_ptr<DownloadTaskDelegate> downloadDelegate() const;

  // cancel(true).
  void cancel() override;
  // Cancels the task, with the flag asking for resume data (stored in resumeData() later, when
  // the transfer allows it), and posts DidCancel at once. Nothing without a task.
  void cancel(bool createResumeData);
  // Reports the download progress to `closure` on `queue` (the main queue when null).
  DownloadRequest& downloadProgress(std::function<void(const std::shared_ptr<Progress>&)> closure,
                                    QueuePtr queue = nullptr);

  // A destination in the user's `directory` under the server's suggested file name (its last
  // path component only), with no options; the temporary file itself when the directory has no
  // folder in `domain`.
  static DownloadDestination suggestedDownloadDestination(
      foundation::SearchPathDirectory directory = foundation::SearchPathDirectory::Documents,
      SearchPathDomainMask domain = SearchPathDomainMask::user);

  // Validations, as for data requests; the content-type check reads the downloaded file (the
  // destination when a destination was set, else the temporary file).
  DownloadRequest& validate(Validation validation);
  DownloadRequest& validate(std::vector<int> statusCode);
  DownloadRequest& validate(std::vector<std::string> contentType);
  DownloadRequest& validate();

  // Response handlers (beside the HTTP response accessor of the base).
  using Request::response;
  DownloadRequest& response(QueuePtr queue, std::function<void(const DefaultDownloadResponse&)> completionHandler);
  DownloadRequest& response(std::function<void(const DefaultDownloadResponse&)> completionHandler) {
    return response(nullptr, std::move(completionHandler));
  }
  template <DownloadResponseSerializerProtocol Serializer>
  DownloadRequest& response(QueuePtr queue, Serializer responseSerializer,
                            std::function<void(const DownloadResponse<typename Serializer::SerializedObject>&)> completion);

  // The built-in serializers over the file: a given error, then no file (inputFileNil), then an
  // unreadable file (inputFileReadFailed), then the data request's rule on the file's bytes.
  static DownloadResponseSerializer<foundation::Data> dataResponseSerializer();
  static DownloadResponseSerializer<std::string> stringResponseSerializer(
      std::optional<foundation::StringEncoding> encoding = std::nullopt);
  static DownloadResponseSerializer<foundation::Value> jsonResponseSerializer(
      unsigned options = foundation::JSONReadingAllowFragments);
  static DownloadResponseSerializer<foundation::Value> propertyListResponseSerializer(unsigned options = 0);

  DownloadRequest& responseData(QueuePtr queue, std::function<void(const DownloadResponse<foundation::Data>&)> completion);
  DownloadRequest& responseString(QueuePtr queue, std::optional<foundation::StringEncoding> encoding,
                                  std::function<void(const DownloadResponse<std::string>&)> completion);
  DownloadRequest& responseJSON(QueuePtr queue, unsigned options,
                                std::function<void(const DownloadResponse<foundation::Value>&)> completion);
  DownloadRequest& responsePropertyList(QueuePtr queue, unsigned options,
                                        std::function<void(const DownloadResponse<foundation::Value>&)> completion);

 private:
  DownloadRequest(net::URLSessionPtr session, RequestTask requestTask, std::optional<AnyError> error)
      : Request(std::move(session), std::move(requestTask), std::move(error)) {}
  std::shared_ptr<DownloadRequest> sharedDownloadRequest() {
    return std::static_pointer_cast<DownloadRequest>(shared_from_this());
  }
};

template <DownloadResponseSerializerProtocol Serializer>
DownloadRequest& DownloadRequest::response(
    QueuePtr queue, Serializer responseSerializer,
    std::function<void(const DownloadResponse<typename Serializer::SerializedObject>&)> completion) {
  using Value = typename Serializer::SerializedObject;
  auto self = sharedDownloadRequest();
  auto taskDelegate = downloadDelegate();
  taskDelegate->queue()->addOperation([self, taskDelegate, queue = std::move(queue),
                                       serializer = std::move(responseSerializer), completion = std::move(completion)] {
    const auto urlRequest = self->request();
    const auto httpResponse = self->response();
    const auto fileURL = taskDelegate->destination.get() ? taskDelegate->destinationURL() : taskDelegate->temporaryURL();
    Result<Value> result = serializer.serializeResponse(urlRequest, httpResponse, fileURL, taskDelegate->error());
    DownloadResponse<Value> value(urlRequest, httpResponse, taskDelegate->temporaryURL(), taskDelegate->destinationURL(),
                                  taskDelegate->resumeData(), std::move(result), self->captureTimeline());
    value.attachMetrics(taskDelegate->metrics());
    auto target = queue ? queue : dispatch::Queue::main();
    target->async([completion, value = std::move(value)] { completion(value); });
  });
  return *this;
}

}  // namespace pipeline
