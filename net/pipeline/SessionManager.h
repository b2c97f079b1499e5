#pragma once
// SessionManager owns one URL session and the SessionDelegate that hears all of its callbacks,
// and makes every request of the client: it builds the URL request, encodes the parameters,
// applies its adapter, creates the task on its own serial queue, wraps it in a Request of the
// right kind, registers it with the delegate and starts it. Every request-making operation
// returns a request at once, even when something failed: such a request carries the error and
// hands it to its response handlers. It also retries failed requests when its retrier asks.
//
// The shared manager `default_()` (with defaultHTTPHeaders on every request) is what the
// top-level request functions use. Managers are shared (std::shared_ptr) and made with create();
// every operation may be called from any thread. Destroying a manager cancels its session's tasks.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "net/pipeline/DataRequest.h"
#include "net/pipeline/DownloadRequest.h"
#include "net/pipeline/HTTPMethod.h"
#include "net/pipeline/Locked.h"
#include "net/pipeline/MultipartFormData.h"
#include "net/pipeline/ParameterEncoding.h"
#include "net/pipeline/RequestAdapter.h"
#include "net/pipeline/RequestRetrier.h"
#include "net/pipeline/ServerTrustPolicyManager.h"
#include "net/pipeline/SessionDelegate.h"
#include "net/pipeline/StreamRequest.h"
#include "net/pipeline/URLConvertible.h"
#include "net/pipeline/URLEncoding.h"
#include "net/pipeline/URLRequestConvertible.h"
#include "net/pipeline/UploadRequest.h"
#include "platform/dispatch/Queue.h"
#include "platform/net/InputStream.h"
#include "platform/net/URLSession.h"
#include "platform/net/URLSessionConfiguration.h"

namespace pipeline {

// The outcome of encoding a multipart upload: the started request (and whether its body is sent
// from a temporary file, and which), or the error.
struct MultipartFormDataEncodingResult {
  std::shared_ptr<UploadRequest> request;
  bool streamingFromDisk = false;
  std::optional<net::URL> streamFileURL;
  std::optional<AnyError> error;

  static MultipartFormDataEncodingResult success(std::shared_ptr<UploadRequest> request, bool streamingFromDisk,
                                                 std::optional<net::URL> streamFileURL) {
    return {std::move(request), streamingFromDisk, std::move(streamFileURL), std::nullopt};
  }
  static MultipartFormDataEncodingResult failure(AnyError error) { return {nullptr, false, std::nullopt, std::move(error)}; }
  bool isSuccess() const { return !error; }
};

class SessionManager : public std::enable_shared_from_this<SessionManager> {
 public:
  using QueuePtr = std::shared_ptr<dispatch::Queue>;
  using MultipartFormDataBuilder = std::function<void(MultipartFormData&)>;
  using EncodingCompletion = std::function<void(const MultipartFormDataEncodingResult&)>;

  // Bodies of this many bytes or more are written to a temporary file for a multipart upload.
  static constexpr std::uint64_t multipartFormDataEncodingMemoryThreshold = 10'000'000;

  // The shared manager: default configuration carrying defaultHTTPHeaders. Made once; never
  // destroyed. Thread-safe.
  static std::shared_ptr<SessionManager> default_();
  // "Accept-Encoding", "Accept-Language" (the preferred languages with quality values) and
  // "User-Agent", computed once. Thread-safe.
  static const HTTPHeaders& defaultHTTPHeaders();
  // The header values, from their sources, for the one-time computation above and its tests.
  static std::string acceptLanguage(const std::vector<std::string>& preferredLanguages);
  static std::string userAgent(const foundation::Dictionary* infoDictionary);

  // A manager with a new session over `configuration` whose delegate is `delegate` (a new one
  // when null), with `serverTrustPolicyManager` attached to the session.
  static std::shared_ptr<SessionManager> create(
      net::URLSessionConfiguration configuration = net::URLSessionConfiguration::defaultSessionConfiguration(),
      std::shared_ptr<SessionDelegate> delegate = nullptr,
      std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
  // A manager over an existing session; null unless `delegate` is that session's own delegate.
  static std::shared_ptr<SessionManager> create(net::URLSessionPtr session, std::shared_ptr<SessionDelegate> delegate,
                                                std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager = nullptr);
  virtual ~SessionManager();
  SessionManager(const SessionManager&) = delete;
  SessionManager& operator=(const SessionManager&) = delete;

  const net::URLSessionPtr& session() const { return session_; }
  const std::shared_ptr<SessionDelegate>& delegate() const { return delegate_; }
  // The serial queue every task is created on.
  const QueuePtr& queue() const { return queue_; }

  // Whether each request is resumed as soon as it is made (true).
  virtual bool startRequestsImmediately() const { return startRequestsImmediately_.get(); }
  virtual void setStartRequestsImmediately(bool value) { startRequestsImmediately_.set(value); }
  virtual std::shared_ptr<RequestAdapter> adapter() const { return adapter_.get(); }
  virtual void setAdapter(std::shared_ptr<RequestAdapter> adapter) { adapter_.set(std::move(adapter)); }
  // Kept by the delegate.
  virtual std::shared_ptr<RequestRetrier> retrier() const { return delegate_->retrier(); }
  virtual void setRetrier(std::shared_ptr<RequestRetrier> retrier) { delegate_->setRetrier(std::move(retrier)); }
  // Stored; there are no background sessions on this system to call it.
  virtual std::function<void()> backgroundCompletionHandler() const { return backgroundCompletionHandler_.get(); }
  virtual void setBackgroundCompletionHandler(std::function<void()> handler) {
    backgroundCompletionHandler_.set(std::move(handler));
  }

  // Data requests.
  virtual std::shared_ptr<DataRequest> request(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                               const std::optional<Parameters>& parameters = std::nullopt,
                                               const ParameterEncoding& encoding = URLEncoding::default_(),
                                               const std::optional<HTTPHeaders>& headers = std::nullopt);
  virtual std::shared_ptr<DataRequest> request(const URLRequestConvertible& urlRequest);

  // Downloads.
  virtual std::shared_ptr<DownloadRequest> download(const URLConvertible& url, HTTPMethod method = HTTPMethod::get,
                                                    const std::optional<Parameters>& parameters = std::nullopt,
                                                    const ParameterEncoding& encoding = URLEncoding::default_(),
                                                    const std::optional<HTTPHeaders>& headers = std::nullopt,
                                                    DownloadDestination destination = nullptr);
  virtual std::shared_ptr<DownloadRequest> download(const URLRequestConvertible& urlRequest,
                                                    DownloadDestination destination = nullptr);
  virtual std::shared_ptr<DownloadRequest> download(const foundation::Data& resumeData,
                                                    DownloadDestination destination = nullptr);

  // Uploads of a file, bytes or a stream.
  virtual std::shared_ptr<UploadRequest> upload(const net::URL& fileURL, const URLConvertible& url,
                                                HTTPMethod method = HTTPMethod::post,
                                                const std::optional<HTTPHeaders>& headers = std::nullopt);
  virtual std::shared_ptr<UploadRequest> upload(const net::URL& fileURL, const URLRequestConvertible& urlRequest);
  virtual std::shared_ptr<UploadRequest> upload(const foundation::Data& data, const URLConvertible& url,
                                                HTTPMethod method = HTTPMethod::post,
                                                const std::optional<HTTPHeaders>& headers = std::nullopt);
  virtual std::shared_ptr<UploadRequest> upload(const foundation::Data& data, const URLRequestConvertible& urlRequest);
  virtual std::shared_ptr<UploadRequest> upload(const std::shared_ptr<net::InputStream>& stream,
                                                const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
                                                const std::optional<HTTPHeaders>& headers = std::nullopt);
  virtual std::shared_ptr<UploadRequest> upload(const std::shared_ptr<net::InputStream>& stream,
                                                const URLRequestConvertible& urlRequest);

  // Multipart uploads: `multipartFormData` fills the form on a utility thread; below
  // `encodingMemoryThreshold` bytes (and not in a background session) the body is encoded in
  // memory, otherwise written to a temporary file that is removed once the upload completed.
  // `encodingCompletion` runs on `queue` (the main queue when null) with the started request or
  // the error. Returns at once.
  virtual void upload(MultipartFormDataBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                      const URLConvertible& url, HTTPMethod method = HTTPMethod::post,
                      const std::optional<HTTPHeaders>& headers = std::nullopt, QueuePtr queue = nullptr,
                      EncodingCompletion encodingCompletion = nullptr);
  virtual void upload(MultipartFormDataBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                      const URLRequestConvertible& urlRequest, QueuePtr queue = nullptr,
                      EncodingCompletion encodingCompletion = nullptr);

  // A stream task to `hostName` and `port`.
  virtual std::shared_ptr<StreamRequest> stream(const std::string& hostName, int port);

  // Re-creates `request`'s task from its description (adapting again), registers the request
  // under it and resumes it; false when there is no description or creation failed (the error
  // is then recorded in the request's task delegate).
  virtual bool retry(const std::shared_ptr<Request>& request);

 protected:
  SessionManager(net::URLSessionConfiguration configuration, std::shared_ptr<SessionDelegate> delegate);
  SessionManager(net::URLSessionPtr session, std::shared_ptr<SessionDelegate> delegate);
  // The construction steps that need the shared manager: the trust manager on the session, the
  // delegate's back reference and its background-events callback.
  void commonInit(std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager);

  virtual std::shared_ptr<DataRequest> request(const std::optional<net::URLRequest>& urlRequest, const AnyError& error);
  virtual std::shared_ptr<DownloadRequest> download(std::shared_ptr<DownloadRequest::Downloadable> downloadable,
                                                    DownloadDestination destination);
  virtual std::shared_ptr<DownloadRequest> download(std::shared_ptr<DownloadRequest::Downloadable> downloadable,
                                                    DownloadDestination destination, const AnyError& error);
  virtual std::shared_ptr<UploadRequest> upload(std::shared_ptr<UploadRequest::Uploadable> uploadable);
  virtual std::shared_ptr<UploadRequest> upload(std::shared_ptr<UploadRequest::Uploadable> uploadable,
                                                const AnyError& error);
  virtual std::shared_ptr<StreamRequest> stream(std::shared_ptr<StreamRequest::Streamable> streamable);
  virtual void allowRetrier(const std::shared_ptr<RequestRetrier>& retrier, const std::shared_ptr<Request>& request,
                            const AnyError& error);

 private:
  // Stores a request holding `error` (not registered), and starts it unless the retrier decides.
  template <class R>
  std::shared_ptr<R> failed(std::shared_ptr<R> request, const AnyError& error);
  void registerAndStart(const std::shared_ptr<Request>& request);
  void start(const std::shared_ptr<Request>& request);

  Locked<bool> startRequestsImmediately_{true};
  Locked<std::shared_ptr<RequestAdapter>> adapter_;
  Locked<std::function<void()>> backgroundCompletionHandler_;
  QueuePtr queue_;
  std::shared_ptr<SessionDelegate> delegate_;
  net::URLSessionPtr session_;
};

}  // namespace pipeline
