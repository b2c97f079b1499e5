#include "telemetry/core/Internals/Ingestion/TLHttpIngestion.h"

#include "platform/foundation/UUID.h"
#include "platform/net/PercentEncoding.h"
#include "platform/net/URLComponents.h"
#include "platform/net/URLSession.h"
#include "telemetry/core/Internals/Ingestion/TLHttpUtil.h"
#include "telemetry/core/Internals/Ingestion/TLIngestionCall.h"
#include "telemetry/core/Internals/Model/TLLogContainer.h"
#include "telemetry/core/Internals/Util/TLCompression.h"
#include "telemetry/core/Internals/Util/TL_Reachability.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr double kRequestTimeoutSeconds = 60;

std::string describeCallIds(const std::map<std::string, std::shared_ptr<TLIngestionCall>>& calls) {
  std::string text = "{";
  for (const auto& [callId, call] : calls) {
    if (text.size() > 1) text += ", ";
    text += callId;
  }
  return text + "}";
}

}  // namespace

std::vector<double> TLHttpIngestion::defaultRetryIntervals() { return {10, 300, 1200}; }

TLHttpIngestion::TLHttpIngestion(std::optional<std::string> baseURL, std::string apiPath,
                                 net::HTTPHeaderFields headers, const QueryStrings& queryStrings,
                                 std::shared_ptr<TL_Reachability> reachability, std::vector<double> retryIntervals,
                                 std::int64_t maxNumberOfConnections)
    : baseURL_(std::move(baseURL)),
      apiPath_(std::move(apiPath)),
      reachability_(std::move(reachability)),
      httpHeaders_(std::move(headers)),
      maxNumberOfConnections_(maxNumberOfConnections),
      callsRetryIntervals_(std::move(retryIntervals)) {
  std::string query;
  for (const auto& [key, value] : queryStrings) {
    if (!query.empty()) query += "&";
    query += key + "=" + value;
  }
  query_ = net::addingPercentEncoding(query, net::URLAllowedCharacters::urlQueryAllowed());
  std::string text = baseURL_.value_or("") + apiPath_;
  if (!query_.empty()) text += "?" + query_;
  sendURL_ = net::URL::fromString(text);
}

TLHttpIngestion::~TLHttpIngestion() {
  if (reachability_) reachability_->stopNotifier();
  if (networkObserver_) foundation::NotificationCenter::defaultCenter().removeObserver(networkObserver_);
  if (session_) session_->finishTasksAndInvalidate();
  // Timers of calls still pending must not outlive the ingestion.
  std::lock_guard guard(*lock_);
  for (const auto& [callId, call] : pendingCalls_) call->resetTimer();
}

void TLHttpIngestion::startWatchingNetwork() {
  // Any watcher's notification makes the ingestion read its own watcher. Starting the notifier
  // posts once, so an ingestion made while the network is down pauses at once.
  networkObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
      kTLReachabilityChangedNotification, nullptr, nullptr, [weak = weak_from_this()](const foundation::Notification&) {
        if (auto self = weak.lock()) self->networkStateChanged();
      });
  if (reachability_) reachability_->startNotifier();
}

// ---- Sending ---------------------------------------------------------------------------------

void TLHttpIngestion::sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> authToken,
                                TLSendAsyncCompletionHandler handler) {
  sendAsync(std::move(data), std::nullopt, std::move(authToken), foundation::UUID().UUIDString(), std::move(handler));
}

void TLHttpIngestion::sendAsync(std::shared_ptr<TLLogContainer> data, TLSendAsyncCompletionHandler handler) {
  // Through the token form, so a subclass's checks of the payload apply here too.
  sendAsync(std::move(data), std::optional<std::string>(), std::move(handler));
}

void TLHttpIngestion::sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> eTag,
                                std::optional<std::string> authToken, TLSendAsyncCompletionHandler handler) {
  sendAsync(std::move(data), std::move(eTag), std::move(authToken), foundation::UUID().UUIDString(),
            std::move(handler));
}

void TLHttpIngestion::sendAsyncWithETag(std::shared_ptr<TLLogContainer> data, std::optional<std::string> eTag,
                                        TLSendAsyncCompletionHandler handler) {
  sendAsync(std::move(data), std::move(eTag), std::nullopt, foundation::UUID().UUIDString(), std::move(handler));
}

void TLHttpIngestion::sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> eTag,
                                std::optional<std::string> authToken, const std::string& callId,
                                TLSendAsyncCompletionHandler handler) {
  std::lock_guard guard(*lock_);
  std::shared_ptr<TLIngestionCall>& call = pendingCalls_[callId];
  if (!call) {
    call = std::make_shared<TLIngestionCall>(callsRetryIntervals_);
    call->setLock(lock_);
    call->setDelegate(std::static_pointer_cast<TLIngestionCallDelegate>(shared_from_this()));
    call->setData(std::move(data));
    call->setAuthToken(std::move(authToken));
    call->setETag(std::move(eTag));
    call->setCallId(callId);
    call->setCompletionHandler(std::move(handler));
  }
  sendCallAsync(std::shared_ptr<TLIngestionCall>(call));
}

bool TLHttpIngestion::isPending(const std::shared_ptr<TLIngestionCall>& call) const {
  const auto it = pendingCalls_.find(call->callId());
  return it != pendingCalls_.end() && it->second == call;
}

void TLHttpIngestion::sendCallAsync(const std::shared_ptr<TLIngestionCall>& call) {
  std::lock_guard guard(*lock_);
  if (paused_ || !enabled_ || !call) return;
  // A dropped or finished call is never sent again, and a running attempt is never doubled:
  // either would answer the call's handler twice.
  if (!isPending(call) || call->isSubmitted()) return;
  std::optional<net::URLRequest> request = createRequest(call->data(), call->eTag(), call->authToken());
  if (!request) return;
  // A retry waiting on its timer would send the call a second time.
  call->resetTimer();
  call->setSubmitted(true);
  auto task = session()->dataTask(
      *request, [weak = weak_from_this(), call](std::optional<foundation::Data> data,
                                                std::shared_ptr<const net::URLResponse> response,
                                                std::optional<foundation::Error> error) {
        if (auto self = weak.lock()) self->attemptCompleted(call, std::move(data), std::move(response), std::move(error));
      });
  task->resume();
}

void TLHttpIngestion::attemptCompleted(const std::shared_ptr<TLIngestionCall>& call,
                                       std::optional<foundation::Data> data,
                                       std::shared_ptr<const net::URLResponse> response,
                                       std::optional<foundation::Error> error) {
  std::lock_guard guard(*lock_);
  auto httpResponse = std::dynamic_pointer_cast<const net::HTTPURLResponse>(response);
  if (error) {
    TLLogDebug(kTLLogTag, "HTTP request error with code: %td, domain: %@, description: %@", error->code(),
               error->domain(), error->localizedDescription());
  } else if (TLLogger::currentLogLevel() <= TLLogLevelVerbose) {
    TLLogVerbose(kTLLogTag, "HTTP response received with status code: %tu, payload:\n%@",
                 httpResponse ? httpResponse->statusCode() : 0, TLHttpUtil::printablePayload(httpResponse, data));
  }
  call->setSubmitted(false);
  // A response whose transfer then failed (a body cut short) is no answer: the attempt counts as
  // one without a response, which is retried, rather than as its status.
  if (error) httpResponse = nullptr;
  // Disabling with deletion dropped the call (and cancelled its request): nothing to report.
  if (!isPending(call)) return;
  call->ingestion(*this, std::move(httpResponse), std::move(data), std::move(error));
}

void TLHttpIngestion::call(const std::shared_ptr<TLIngestionCall>& call, TLIngestionCallResult result) {
  std::lock_guard guard(*lock_);
  if (result == TLIngestionCallResultRecoverableError) {
    setEnabled(false, false);
  } else if (result == TLIngestionCallResultFatalError) {
    setEnabled(false, true);
    enumerateDelegates([this](TLIngestionDelegate& delegate) { delegate.ingestionDidReceiveFatalError(*this); });
  }
  if (!call || call->callId().empty()) {
    TLLogWarning(kTLLogTag, "Call object is invalid");
    return;
  }
  const auto it = pendingCalls_.find(call->callId());
  if (it != pendingCalls_.end() && it->second == call) pendingCalls_.erase(it);
  TLLogInfo(kTLLogTag, "Removed call id:%@ from pending calls:%@", call->callId(), describeCallIds(pendingCalls_));
}

std::optional<net::URLRequest> TLHttpIngestion::createRequest(const std::shared_ptr<TLLogContainer>&,
                                                              const std::optional<std::string>&,
                                                              const std::optional<std::string>&) {
  return std::nullopt;
}

void TLHttpIngestion::setBody(net::URLRequest& request, foundation::Data body) const {
  if (body.size() >= kCompressionThreshold) {
    if (auto compressed = compressBody(body)) {
      request.setValue("gzip", "Content-Encoding");
      body = std::move(*compressed);
    }
  }
  request.setHTTPBody(std::move(body));
}

std::optional<foundation::Data> TLHttpIngestion::compressBody(const foundation::Data& body) const {
  return TLCompression::compressData(body);
}

void TLHttpIngestion::logRequest(const net::URLRequest& request) const {
  if (TLLogger::currentLogLevel() > TLLogLevelVerbose) return;
  TLLogVerbose(kTLLogTag, "URL: %@", request.url() ? request.url()->absoluteString() : std::string("(null)"));
  TLLogVerbose(kTLLogTag, "Headers: %@", prettyPrintHeaders(request.allHTTPHeaderFields()));
}

bool TLHttpIngestion::isSendable(const std::shared_ptr<TLLogContainer>& data) {
  // Without a batch id the answer could not be matched, and the call could never leave the table.
  return data && data->isValid() && data->batchId() && !data->batchId()->empty();
}

void TLHttpIngestion::refuseInvalidContainer(const std::shared_ptr<TLLogContainer>& data,
                                             const TLSendAsyncCompletionHandler& handler) {
  foundation::Error error =
      foundation::Error::withDescription(kTLErrorDomain, TLLogInvalidContainerErrorCode, "Invalid log container.");
  TLLogError(kTLLogTag, "%@", error.localizedDescription());
  if (handler) handler(data ? data->batchId().value_or("") : std::string(), nullptr, std::nullopt, std::move(error));
}

// ---- Control ---------------------------------------------------------------------------------

bool TLHttpIngestion::isReadyToSend() const { return true; }

void TLHttpIngestion::setEnabled(bool isEnabled, bool deleteDataOnDisabled) {
  std::lock_guard guard(*lock_);
  if (enabled_ == isEnabled) return;
  enabled_ = isEnabled;
  if (isEnabled) {
    // The watcher's first notification resumes the ingestion when the network is up.
    if (reachability_) reachability_->startNotifier();
    else resume();
    return;
  }
  if (reachability_) reachability_->stopNotifier();
  pause();
  if (!deleteDataOnDisabled) return;
  if (session_) session_->invalidateAndCancel();
  session_.reset();
  for (const auto& [callId, call] : pendingCalls_) call->resetTimer();
  pendingCalls_.clear();
}

bool TLHttpIngestion::isEnabled() const {
  std::lock_guard guard(*lock_);
  return enabled_;
}

void TLHttpIngestion::pause() {
  std::lock_guard guard(*lock_);
  if (paused_) return;
  TLLogInfo(kTLLogTag, "Pause ingestion.");
  paused_ = true;
  for (const auto& [callId, call] : pendingCalls_) {
    if (!call->isSubmitted()) call->resetRetry();
  }
  enumerateDelegates([this](TLIngestionDelegate& delegate) { delegate.ingestionDidPause(*this); });
}

void TLHttpIngestion::resume() {
  std::lock_guard guard(*lock_);
  if (!paused_ || !enabled_) return;
  TLLogInfo(kTLLogTag, "Resume ingestion.");
  paused_ = false;
  // A copy: an attempt that fails at once may end its call and change the table.
  const auto calls = pendingCalls_;
  for (const auto& [callId, call] : calls) {
    if (!call->isSubmitted()) sendCallAsync(call);
  }
  enumerateDelegates([this](TLIngestionDelegate& delegate) { delegate.ingestionDidResume(*this); });
}

bool TLHttpIngestion::isPaused() const {
  std::lock_guard guard(*lock_);
  return paused_;
}

void TLHttpIngestion::addDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) {
  std::lock_guard guard(*lock_);
  delegates_.add(delegate);
}

void TLHttpIngestion::removeDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) {
  std::lock_guard guard(*lock_);
  delegates_.remove(delegate);
}

void TLHttpIngestion::enumerateDelegates(const std::function<void(TLIngestionDelegate&)>& block) const {
  delegates_.forEach(block);
}

void TLHttpIngestion::networkStateChanged() {
  if (reachability_ && reachability_->currentReachabilityStatus() == TLNetworkStatusNotReachable) {
    TLLogInfo(kTLLogTag, "Internet connection is down.");
    pause();
  } else {
    TLLogInfo(kTLLogTag, "Internet connection is up.");
    resume();
  }
}

void TLHttpIngestion::setBaseURL(const std::string& baseURL) {
  std::lock_guard guard(*lock_);
  baseURL_ = baseURL;
  const std::string current = sendURL_ ? sendURL_->absoluteString() : std::string("(null)");
  const auto newURL = net::URL::fromString(baseURL + apiPath_);
  if (!newURL) {
    TLLogInfo(kTLLogTag, "Failed to update HTTP URL %@ with %@", current, baseURL);
    return;
  }
  // Copy the new location into the current URL's components, so its query stays. Without a
  // current URL (a base URL that never parsed) the query kept from creation is used.
  net::URLComponents components;
  if (sendURL_) {
    components = net::URLComponents::fromURL(*sendURL_);
  } else if (!query_.empty()) {
    components.setPercentEncodedQuery(query_);
  }
  const net::URLComponents source = net::URLComponents::fromURL(*newURL);
  components.setScheme(source.scheme());
  components.setPercentEncodedUser(source.percentEncodedUser());
  components.setPercentEncodedPassword(source.percentEncodedPassword());
  components.setPercentEncodedHost(source.percentEncodedHost());
  components.setPort(source.port());
  components.setPercentEncodedPath(source.percentEncodedPath());
  if (auto url = components.url()) {
    sendURL_ = std::move(url);
  } else {
    TLLogInfo(kTLLogTag, "Failed to update HTTP URL %@ with %@", current, baseURL);
  }
}

// ---- State -----------------------------------------------------------------------------------

std::optional<std::string> TLHttpIngestion::baseURL() const {
  std::lock_guard guard(*lock_);
  return baseURL_;
}

std::optional<net::URL> TLHttpIngestion::sendURL() const {
  std::lock_guard guard(*lock_);
  return sendURL_;
}

std::map<std::string, std::shared_ptr<TLIngestionCall>> TLHttpIngestion::pendingCalls() const {
  std::lock_guard guard(*lock_);
  return pendingCalls_;
}

std::shared_ptr<net::URLSession> TLHttpIngestion::session() {
  std::lock_guard guard(*lock_);
  if (!session_) {
    auto configuration = net::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.timeoutIntervalForRequest = kRequestTimeoutSeconds;
    configuration.httpMaximumConnectionsPerHost = static_cast<long>(maxNumberOfConnections_);
    // No delegate and no queue: the session's own serial queue runs completions one at a time.
    session_ = net::URLSession::create(std::move(configuration));
  }
  return session_;
}

// ---- Log output ------------------------------------------------------------------------------

std::string TLHttpIngestion::prettyPrintHeaders(const net::HTTPHeaderFields& headers) const {
  return TLHttpUtil::prettyPrintHeaders(
      headers, [this](const std::string& value, const std::string& key) { return obfuscateHeaderValue(value, key); });
}

std::string TLHttpIngestion::obfuscateHeaderValue(const std::string& value, const std::string&) const {
  return value;
}

std::optional<std::string> TLHttpIngestion::eTagFromResponse(const net::HTTPURLResponse& response) {
  for (const auto& [name, value] : response.allHeaderFields()) {
    if (net::HTTPHeaderFields::namesEqual(name, "etag")) return value;
  }
  return std::nullopt;
}
