#include "net/pipeline/SessionManager.h"

#include <charconv>

#include "net/pipeline/AdaptError.h"
#include "net/pipeline/DispatchQueueExtensions.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/String.h"
#include "platform/foundation/UUID.h"

namespace pipeline {

namespace {

std::string shortestDouble(double value) {
  char buffer[32];
  auto [end, code] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, end);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string infoText(const foundation::Dictionary& info, const std::string& key) {
  const auto* value = info.find(key);
  return value && value->isString() ? value->stringValue() : "Unknown";
}

// The adapter's own error when `error` wraps one, else `error` itself.
AnyError unwrapped(const AnyError& error) {
  if (const auto* adaptError = error.as<AdaptError>()) return adaptError->error;
  return error;
}

std::shared_ptr<dispatch::Queue> utilityQueue() { return dispatch::Queue::global(dispatch::QualityOfService::Utility); }

std::shared_ptr<dispatch::Queue> newManagerQueue() {
  return dispatch::Queue::createSerial("org.pipeline.session-manager." + foundation::UUID().UUIDString());
}

}  // namespace

// ---- Class-level values ----------------------------------------------------------------------

std::string SessionManager::acceptLanguage(const std::vector<std::string>& preferredLanguages) {
  std::string value;
  const std::size_t count = std::min<std::size_t>(6, preferredLanguages.size());
  for (std::size_t i = 0; i < count; ++i) {
    const double quality = static_cast<double>(i) * -0.1 + 1.0;
    value += (i ? ", " : "") + preferredLanguages[i] + ";q=" + shortestDouble(quality);
  }
  return value;
}

std::string SessionManager::userAgent(const foundation::Dictionary* info) {
  if (!info) return "Pipeline";
  const std::string executable = infoText(*info, foundation::kCFBundleExecutableKey);
  const std::string bundle = infoText(*info, foundation::kCFBundleIdentifierKey);
  const std::string appVersion = infoText(*info, foundation::kCFBundleShortVersionStringKey);
  const std::string appBuild = infoText(*info, foundation::kCFBundleVersionKey);
  const auto version = foundation::ProcessInfo::processInfo().operatingSystemVersion();
  const std::string osNameVersion = "Linux " + std::to_string(version.majorVersion) + "." +
                                    std::to_string(version.minorVersion) + "." + std::to_string(version.patchVersion);
  // The client is built into the application, so its bundle is the application's own.
  const auto* shortVersion = info->find(foundation::kCFBundleShortVersionStringKey);
  const std::string pipelineVersion = shortVersion ? "Pipeline/" + shortVersion->description() : "Unknown";
  std::string agent = executable + "/" + appVersion + " (" + bundle + "; build:" + appBuild + "; " + osNameVersion +
                      ") " + pipelineVersion;
  // Header values must be ASCII: transliterate what can be, drop the rest.
  if (auto ascii = foundation::applyingTransform(agent, "Any-Latin; Latin-ASCII; [:^ASCII:] Remove")) return *ascii;
  std::string kept;
  for (char c : agent) {
    if (static_cast<unsigned char>(c) < 0x80) kept += c;
  }
  return kept;
}

const HTTPHeaders& SessionManager::defaultHTTPHeaders() {
  static const HTTPHeaders headers = [] {
    HTTPHeaders values;
    values["Accept-Encoding"] = "gzip;q=1.0, compress;q=0.5";
    values["Accept-Language"] = acceptLanguage(foundation::Locale::preferredLanguages());
    values["User-Agent"] = userAgent(foundation::Bundle::mainBundle()->infoDictionary());
    return values;
  }();
  return headers;
}

std::shared_ptr<SessionManager> SessionManager::default_() {
  // Never destroyed, so its session is never invalidated, even during exit.
  static auto* shared = new std::shared_ptr<SessionManager>([] {
    auto configuration = net::URLSessionConfiguration::defaultSessionConfiguration();
    for (const auto& [name, value] : defaultHTTPHeaders()) configuration.httpAdditionalHeaders.set(name, value);
    return create(std::move(configuration), std::make_shared<SessionDelegate>());
  }());
  return *shared;
}

// ---- Construction ----------------------------------------------------------------------------

SessionManager::SessionManager(net::URLSessionConfiguration configuration, std::shared_ptr<SessionDelegate> delegate)
    : queue_(newManagerQueue()), delegate_(std::move(delegate)) {
  session_ = net::URLSession::create(std::move(configuration), delegate_);
}

SessionManager::SessionManager(net::URLSessionPtr session, std::shared_ptr<SessionDelegate> delegate)
    : queue_(newManagerQueue()), delegate_(std::move(delegate)), session_(std::move(session)) {}

std::shared_ptr<SessionManager> SessionManager::create(net::URLSessionConfiguration configuration,
                                                       std::shared_ptr<SessionDelegate> delegate,
                                                       std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
  if (!delegate) delegate = std::make_shared<SessionDelegate>();
  std::shared_ptr<SessionManager> manager(new SessionManager(std::move(configuration), std::move(delegate)));
  manager->commonInit(std::move(serverTrustPolicyManager));
  return manager;
}

std::shared_ptr<SessionManager> SessionManager::create(net::URLSessionPtr session,
                                                       std::shared_ptr<SessionDelegate> delegate,
                                                       std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
  if (!session || !delegate) return nullptr;
  if (session->delegate().get() != static_cast<net::URLSessionDelegate*>(delegate.get())) return nullptr;
  std::shared_ptr<SessionManager> manager(new SessionManager(std::move(session), std::move(delegate)));
  manager->commonInit(std::move(serverTrustPolicyManager));
  return manager;
}

void SessionManager::commonInit(std::shared_ptr<ServerTrustPolicyManager> serverTrustPolicyManager) {
  setServerTrustPolicyManager(*session_, std::move(serverTrustPolicyManager));
  delegate_->setSessionManager(weak_from_this());
  std::weak_ptr<SessionManager> weak = weak_from_this();
  delegate_->sessionDidFinishEventsForBackgroundURLSession.set([weak](const net::URLSessionPtr&) {
    auto manager = weak.lock();
    if (!manager) return;
    dispatch::Queue::main()->async([manager] {
      if (auto handler = manager->backgroundCompletionHandler()) handler();
    });
  });
}

SessionManager::~SessionManager() {
  if (session_) session_->invalidateAndCancel();
}

// ---- Starting and failing requests -----------------------------------------------------------

void SessionManager::start(const std::shared_ptr<Request>& request) {
  if (startRequestsImmediately()) request->resume();
}

void SessionManager::registerAndStart(const std::shared_ptr<Request>& request) {
  delegate_->setRequest(request, request->task());
  start(request);
}

template <class R>
std::shared_ptr<R> SessionManager::failed(std::shared_ptr<R> request, const AnyError& error) {
  auto retrier = this->retrier();
  if (retrier && error.is<AdaptError>()) {
    allowRetrier(retrier, request, unwrapped(error));
  } else {
    start(request);
  }
  return request;
}

// ---- Data requests ---------------------------------------------------------------------------

std::shared_ptr<DataRequest> SessionManager::request(const URLConvertible& url, HTTPMethod method,
                                                     const std::optional<Parameters>& parameters,
                                                     const ParameterEncoding& encoding,
                                                     const std::optional<HTTPHeaders>& headers) {
  std::optional<net::URLRequest> kept;
  try {
    kept = makeURLRequest(url, method, headers);
    net::URLRequest encoded = encoding.encode(*kept, parameters);
    return request(URLRequestConvertible(std::move(encoded)));
  } catch (...) {
    return request(kept, AnyError::fromCurrentException());
  }
}

std::shared_ptr<DataRequest> SessionManager::request(const URLRequestConvertible& urlRequest) {
  std::optional<net::URLRequest> kept;
  try {
    kept = urlRequest.asURLRequest();
    auto description = std::make_shared<const DataRequest::Requestable>(*kept);
    auto task = description->createTask(session_, adapter(), *queue_);
    auto made = DataRequest::create(session_, RequestTask::data(description, task));
    registerAndStart(made);
    return made;
  } catch (...) {
    return request(kept, AnyError::fromCurrentException());
  }
}

std::shared_ptr<DataRequest> SessionManager::request(const std::optional<net::URLRequest>& urlRequest,
                                                     const AnyError& error) {
  std::shared_ptr<const TaskConvertible> description;
  if (urlRequest) description = std::make_shared<const DataRequest::Requestable>(*urlRequest);
  auto made = DataRequest::create(session_, RequestTask::data(description, nullptr), unwrapped(error));
  return failed(made, error);
}

// ---- Downloads -------------------------------------------------------------------------------

std::shared_ptr<DownloadRequest> SessionManager::download(const URLConvertible& url, HTTPMethod method,
                                                          const std::optional<Parameters>& parameters,
                                                          const ParameterEncoding& encoding,
                                                          const std::optional<HTTPHeaders>& headers,
                                                          DownloadDestination destination) {
  try {
    net::URLRequest encoded = encoding.encode(makeURLRequest(url, method, headers), parameters);
    return download(URLRequestConvertible(std::move(encoded)), std::move(destination));
  } catch (...) {
    return download(nullptr, std::move(destination), AnyError::fromCurrentException());
  }
}

std::shared_ptr<DownloadRequest> SessionManager::download(const URLRequestConvertible& urlRequest,
                                                          DownloadDestination destination) {
  try {
    return download(DownloadRequest::Downloadable::request(urlRequest.asURLRequest()), std::move(destination));
  } catch (...) {
    return download(nullptr, std::move(destination), AnyError::fromCurrentException());
  }
}

std::shared_ptr<DownloadRequest> SessionManager::download(const foundation::Data& resumeData,
                                                          DownloadDestination destination) {
  return download(DownloadRequest::Downloadable::resumeData(resumeData), std::move(destination));
}

std::shared_ptr<DownloadRequest> SessionManager::download(std::shared_ptr<DownloadRequest::Downloadable> downloadable,
                                                          DownloadDestination destination) {
  net::TaskPtr task;
  try {
    task = downloadable->createTask(session_, adapter(), *queue_);
  } catch (...) {
    return download(downloadable, std::move(destination), AnyError::fromCurrentException());
  }
  auto made = DownloadRequest::create(session_, RequestTask::download(downloadable, task));
  made->downloadDelegate()->destination.set(std::move(destination));
  registerAndStart(made);
  return made;
}

std::shared_ptr<DownloadRequest> SessionManager::download(std::shared_ptr<DownloadRequest::Downloadable> downloadable,
                                                          DownloadDestination destination, const AnyError& error) {
  auto made = DownloadRequest::create(session_, RequestTask::download(std::move(downloadable), nullptr), unwrapped(error));
  made->downloadDelegate()->destination.set(std::move(destination));
  return failed(made, error);
}

// ---- Uploads ---------------------------------------------------------------------------------

std::shared_ptr<UploadRequest> SessionManager::upload(const net::URL& fileURL, const URLConvertible& url,
                                                      HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
  try {
    return upload(fileURL, URLRequestConvertible(makeURLRequest(url, method, headers)));
  } catch (...) {
    return upload(nullptr, AnyError::fromCurrentException());
  }
}

std::shared_ptr<UploadRequest> SessionManager::upload(const net::URL& fileURL, const URLRequestConvertible& urlRequest) {
  try {
    return upload(UploadRequest::Uploadable::file(fileURL, urlRequest.asURLRequest()));
  } catch (...) {
    return upload(nullptr, AnyError::fromCurrentException());
  }
}

std::shared_ptr<UploadRequest> SessionManager::upload(const foundation::Data& data, const URLConvertible& url,
                                                      HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
  try {
    return upload(data, URLRequestConvertible(makeURLRequest(url, method, headers)));
  } catch (...) {
    return upload(nullptr, AnyError::fromCurrentException());
  }
}

std::shared_ptr<UploadRequest> SessionManager::upload(const foundation::Data& data,
                                                      const URLRequestConvertible& urlRequest) {
  try {
    return upload(UploadRequest::Uploadable::data(data, urlRequest.asURLRequest()));
  } catch (...) {
    return upload(nullptr, AnyError::fromCurrentException());
  }
}

std::shared_ptr<UploadRequest> SessionManager::upload(const std::shared_ptr<net::InputStream>& stream,
                                                      const URLConvertible& url, HTTPMethod method,
                                                      const std::optional<HTTPHeaders>& headers) {
  try {
    return upload(stream, URLRequestConvertible(makeURLRequest(url, method, headers)));
  } catch (...) {
    return upload(nullptr, AnyError::fromCurrentException());
  }
}

std::shared_ptr<UploadRequest> SessionManager::upload(const std::shared_ptr<net::InputStream>& stream,
                                                      const URLRequestConvertible& urlRequest) {
  try {
    return upload(UploadRequest::Uploadable::stream(stream, urlRequest.asURLRequest()));
  } catch (...) {
    return upload(nullptr, AnyError::fromCurrentException());
  }
}

std::shared_ptr<UploadRequest> SessionManager::upload(std::shared_ptr<UploadRequest::Uploadable> uploadable) {
  net::TaskPtr task;
  try {
    task = uploadable->createTask(session_, adapter(), *queue_);
  } catch (...) {
    return upload(uploadable, AnyError::fromCurrentException());
  }
  auto made = UploadRequest::create(session_, RequestTask::upload(uploadable, task));
  if (const auto* stream = uploadable->inputStream()) {
    // The session reads the first body from the request. A stream cannot be read twice: once it
    // has been opened, asking for it again (a 307/308 redirect, an authentication retry) gets
    // none, and the task fails with the session's exhausted-stream error instead of sending an
    // empty or cut body as if it were whole.
    std::weak_ptr<net::InputStream> weakStream = *stream;
    made->uploadDelegate()->taskNeedNewBodyStream.set(
        [weakStream](const net::URLSessionPtr&, const net::TaskPtr&) -> std::shared_ptr<net::InputStream> {
          auto body = weakStream.lock();
          if (!body || body->streamStatus() != net::InputStream::Status::NotOpen) return nullptr;
          return body;
        });
  }
  registerAndStart(made);
  return made;
}

std::shared_ptr<UploadRequest> SessionManager::upload(std::shared_ptr<UploadRequest::Uploadable> uploadable,
                                                      const AnyError& error) {
  auto made = UploadRequest::create(session_, RequestTask::upload(std::move(uploadable), nullptr), unwrapped(error));
  return failed(made, error);
}

// ---- Multipart uploads -----------------------------------------------------------------------

void SessionManager::upload(MultipartFormDataBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                            const URLConvertible& url, HTTPMethod method, const std::optional<HTTPHeaders>& headers,
                            QueuePtr queue, EncodingCompletion encodingCompletion) {
  std::optional<net::URLRequest> urlRequest;
  try {
    urlRequest = makeURLRequest(url, method, headers);
  } catch (...) {
    auto error = AnyError::fromCurrentException();
    auto target = queue ? queue : dispatch::Queue::main();
    target->async([encodingCompletion, error] {
      if (encodingCompletion) encodingCompletion(MultipartFormDataEncodingResult::failure(error));
    });
    return;
  }
  upload(std::move(multipartFormData), encodingMemoryThreshold, URLRequestConvertible(*urlRequest), std::move(queue),
         std::move(encodingCompletion));
}

void SessionManager::upload(MultipartFormDataBuilder multipartFormData, std::uint64_t encodingMemoryThreshold,
                            const URLRequestConvertible& urlRequestConvertible, QueuePtr queue,
                            EncodingCompletion encodingCompletion) {
  auto self = shared_from_this();
  auto target = queue ? queue : dispatch::Queue::main();
  utilityQueue()->async([self, builder = std::move(multipartFormData), encodingMemoryThreshold, urlRequestConvertible,
                         target, encodingCompletion] {
    auto deliver = [target, encodingCompletion](MultipartFormDataEncodingResult result) {
      target->async([encodingCompletion, result = std::move(result)] {
        if (encodingCompletion) encodingCompletion(result);
      });
    };
    MultipartFormData formData;
    if (builder) builder(formData);
    std::optional<net::URL> tempFileURL;
    auto& files = foundation::FileManager::defaultManager();
    try {
      net::URLRequest urlRequest = urlRequestConvertible.asURLRequest();
      urlRequest.setValue(formData.contentType(), "Content-Type");
      const bool isBackgroundSession = self->session_->configuration().identifier.has_value();
      if (formData.contentLength() < encodingMemoryThreshold && !isBackgroundSession) {
        foundation::Data data = formData.encode();
        auto made = self->upload(data, URLRequestConvertible(urlRequest));
        deliver(MultipartFormDataEncodingResult::success(made, false, std::nullopt));
        return;
      }
      const net::URL directoryURL = net::URL::fileURLWithPath(files.temporaryDirectory(), true)
                                        .appendingPathComponent("org.pipeline.manager/multipart.form.data", true);
      const net::URL fileURL = directoryURL.appendingPathComponent(foundation::UUID().UUIDString());
      tempFileURL = fileURL;
      std::optional<foundation::Error> directoryError;
      self->queue_->sync([&] {
        foundation::Error error;
        if (!files.createDirectoryAtPath(directoryURL.path(), true, &error)) directoryError = error;
      });
      if (directoryError) throw AnyError(*directoryError);
      formData.writeEncodedData(fileURL);
      auto made = self->upload(fileURL, URLRequestConvertible(urlRequest));
      made->delegate()->queue()->addOperation([fileURL] {
        foundation::FileManager::defaultManager().removeItemAtPath(fileURL.path());
      });
      deliver(MultipartFormDataEncodingResult::success(made, true, fileURL));
    } catch (...) {
      auto error = AnyError::fromCurrentException();
      if (tempFileURL) files.removeItemAtPath(tempFileURL->path());
      deliver(MultipartFormDataEncodingResult::failure(error));
    }
  });
}

// ---- Streams ---------------------------------------------------------------------------------

std::shared_ptr<StreamRequest> SessionManager::stream(const std::string& hostName, int port) {
  return stream(std::make_shared<StreamRequest::Streamable>(hostName, port));
}

std::shared_ptr<StreamRequest> SessionManager::stream(std::shared_ptr<StreamRequest::Streamable> streamable) {
  auto task = streamable->createTask(session_, nullptr, *queue_);
  auto made = StreamRequest::create(session_, RequestTask::stream(streamable, task));
  registerAndStart(made);
  return made;
}

// ---- Retry -----------------------------------------------------------------------------------

void SessionManager::allowRetrier(const std::shared_ptr<RequestRetrier>& retrier,
                                  const std::shared_ptr<Request>& request, const AnyError& error) {
  std::weak_ptr<SessionManager> weak = weak_from_this();
  utilityQueue()->async([weak, retrier, request, error] {
    auto manager = weak.lock();
    if (!manager) return;
    retrier->shouldRetry(manager, request, error, [weak, request](bool shouldRetry, double timeDelay) {
      auto manager = weak.lock();
      if (!manager) return;
      if (!shouldRetry) return manager->start(request);
      after(*utilityQueue(), timeDelay, [weak, request] {
        auto manager = weak.lock();
        if (!manager) return;
        if (manager->retry(request) && request->task()) return;
        manager->start(request);
      });
    });
  });
}

bool SessionManager::retry(const std::shared_ptr<Request>& request) {
  const auto& description = request->originalTask();
  if (!description) return false;
  net::TaskPtr task;
  try {
    task = description->createTask(session_, adapter(), *queue_);
  } catch (...) {
    request->delegate()->setError(unwrapped(AnyError::fromCurrentException()));
    return false;
  }
  if (auto old = request->task()) delegate_->setRequest(nullptr, old);
  request->delegate()->setTask(task);
  request->setRetryCount(request->retryCount() + 1);
  request->setStartTime(absoluteTimeNow());
  request->setEndTime(std::nullopt);
  // Registered before it runs: a task that fails at once (a refused connection) must find its
  // request, or the failure would reach nobody and the handlers would never run.
  delegate_->setRequest(request, task);
  task->resume();
  return true;
}

}  // namespace pipeline
