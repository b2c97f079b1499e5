#include "net/pipeline/Request.h"

#include "net/pipeline/DataTaskDelegate.h"
#include "net/pipeline/DownloadTaskDelegate.h"
#include "net/pipeline/Notifications.h"
#include "net/pipeline/UploadTaskDelegate.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URLCredentialStorage.h"
#include "platform/net/URLProtectionSpace.h"
#include "platform/security/Base64.h"

namespace pipeline {

namespace {

std::shared_ptr<TaskDelegate> delegateFor(RequestTask::Kind kind, net::TaskPtr task) {
  switch (kind) {
    case RequestTask::Kind::data: return std::make_shared<DataTaskDelegate>(std::move(task));
    case RequestTask::Kind::download: return std::make_shared<DownloadTaskDelegate>(std::move(task));
    case RequestTask::Kind::upload: return std::make_shared<UploadTaskDelegate>(std::move(task));
    case RequestTask::Kind::stream: break;
  }
  return std::make_shared<TaskDelegate>(std::move(task));
}

// Whether `bytes` are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool isValidUTF8(const foundation::Data& bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::uint8_t lead = bytes[i];
    std::size_t length = 0;
    std::uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, code = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > bytes.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      code = (code << 6) | (bytes[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  std::size_t at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

bool isCookieHeader(std::string_view name) { return net::HTTPHeaderFields::namesEqual(name, "Cookie"); }

}  // namespace

Request::Request(net::URLSessionPtr session, RequestTask requestTask, std::optional<AnyError> error)
    : session_(std::move(session)),
      originalTask_(std::move(requestTask.taskConvertible)),
      taskDelegate_(delegateFor(requestTask.kind, std::move(requestTask.task))) {
  taskDelegate_->setError(std::move(error));
}

Request::~Request() = default;

void Request::installEndTimeOperation() {
  auto self = shared_from_this();
  delegate()->queue()->addOperation([self] { self->setEndTime(absoluteTimeNow()); });
}

unsigned Request::retryCount() const {
  std::lock_guard lock(stateMutex_);
  return retryCount_;
}

void Request::setRetryCount(unsigned count) {
  std::lock_guard lock(stateMutex_);
  retryCount_ = count;
}

std::optional<double> Request::startTime() const {
  std::lock_guard lock(stateMutex_);
  return startTime_;
}

void Request::setStartTime(std::optional<double> time) {
  std::lock_guard lock(stateMutex_);
  startTime_ = time;
}

std::optional<double> Request::endTime() const {
  std::lock_guard lock(stateMutex_);
  return endTime_;
}

void Request::setEndTime(std::optional<double> time) {
  std::lock_guard lock(stateMutex_);
  endTime_ = time;
}

std::shared_ptr<TaskDelegate> Request::delegate() const {
  std::lock_guard lock(taskDelegateLock_);
  return taskDelegate_;
}

void Request::setDelegate(std::shared_ptr<TaskDelegate> delegate) {
  std::lock_guard lock(taskDelegateLock_);
  taskDelegate_ = std::move(delegate);
}

net::TaskPtr Request::task() const { return delegate()->task(); }

std::optional<net::URLRequest> Request::request() const {
  auto current = task();
  if (!current) return std::nullopt;
  return current->originalRequest();
}

std::shared_ptr<const net::HTTPURLResponse> Request::response() const {
  auto current = task();
  if (!current) return nullptr;
  return std::dynamic_pointer_cast<const net::HTTPURLResponse>(current->response());
}

std::vector<std::function<void()>> Request::validations() const {
  std::lock_guard lock(stateMutex_);
  return validations_;
}

void Request::appendValidation(std::function<void()> validation) {
  std::lock_guard lock(stateMutex_);
  validations_.push_back(std::move(validation));
}

Request& Request::authenticate(const std::string& user, const std::string& password,
                               net::URLCredentialPersistence persistence) {
  return authenticate(net::URLCredential::withUser(user, password, persistence));
}

Request& Request::authenticate(std::shared_ptr<const net::URLCredential> credential) {
  delegate()->setCredential(std::move(credential));
  return *this;
}

std::optional<std::pair<std::string, std::string>> Request::authorizationHeader(const std::string& user,
                                                                                const std::string& password) {
  return std::make_pair(std::string("Authorization"), "Basic " + security::base64EncodedString(user + ":" + password));
}

void Request::postTaskNotification(const std::string& name, const net::TaskPtr& task) {
  foundation::Dictionary userInfo;
  userInfo.set(Notification::Key::Task, foundation::Value(std::static_pointer_cast<foundation::Object>(task)));
  foundation::NotificationCenter::defaultCenter().post(name, std::static_pointer_cast<foundation::Object>(shared_from_this()),
                                                       std::move(userInfo));
}

void Request::resume() {
  auto current = task();
  if (!current) {
    delegate()->queue()->setSuspended(false);
    return;
  }
  {
    std::lock_guard lock(stateMutex_);
    if (!startTime_) startTime_ = absoluteTimeNow();
  }
  current->resume();
  postTaskNotification(Notification::Name::Task::DidResume, current);
}

void Request::suspend() {
  auto current = task();
  if (!current) return;
  current->suspend();
  postTaskNotification(Notification::Name::Task::DidSuspend, current);
}

void Request::cancel() {
  auto current = task();
  if (!current) return;
  current->cancel();
  postTaskNotification(Notification::Name::Task::DidCancel, current);
}

std::string Request::description() const {
  std::vector<std::string> parts;
  if (auto urlRequest = request()) {
    if (!urlRequest->httpMethod().empty()) parts.push_back(urlRequest->httpMethod());
    if (urlRequest->url()) parts.push_back(urlRequest->url()->absoluteString());
  }
  if (auto httpResponse = response()) parts.push_back("(" + std::to_string(httpResponse->statusCode()) + ")");
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : " ") + part;
  return text;
}

std::string Request::debugDescription() const {
  static constexpr const char* kFailure = "$ curl command could not be created";
  const auto urlRequest = request();
  if (!urlRequest || !urlRequest->url() || !urlRequest->url()->host()) return kFailure;
  const net::URL& url = *urlRequest->url();
  const auto& configuration = session_->configuration();
  std::vector<std::string> components{"$ curl -v"};

  if (urlRequest->httpMethod() != "GET") components.push_back("-X " + urlRequest->httpMethod());

  if (const auto& storage = configuration.urlCredentialStorage) {
    net::URLProtectionSpace space(*url.host(), url.port().value_or(0), url.scheme(), url.host(),
                                  std::string(net::kURLAuthenticationMethodHTTPBasic));
    auto addCredential = [&](const std::shared_ptr<const net::URLCredential>& credential) {
      if (credential && credential->user() && credential->password()) {
        components.push_back("-u " + *credential->user() + ":" + *credential->password());
      }
    };
    if (auto stored = storage->credentialsForProtectionSpace(space)) {
      for (const auto& entry : *stored) addCredential(entry.second);
    } else {
      addCredential(delegate()->credential());
    }
  }

  if (configuration.httpShouldSetCookies && configuration.httpCookieStorage) {
    const auto cookies = configuration.httpCookieStorage->cookiesForURL(url);
    if (!cookies.empty()) {
      std::string text;
      for (const auto& cookie : cookies) text += cookie.name + "=" + cookie.value + ";";
      text.pop_back();
      components.push_back("-b \"" + text + "\"");
    }
  }

  // Cookies travel only in "-b": a "Cookie" header of any spelling would send them twice.
  net::HTTPHeaderFields headers;
  for (const auto& [name, value] : configuration.httpAdditionalHeaders) {
    if (!isCookieHeader(name)) headers.set(name, value);
  }
  for (const auto& [name, value] : urlRequest->allHTTPHeaderFields()) {
    if (!isCookieHeader(name)) headers.set(name, value);
  }
  for (const auto& [name, value] : headers) {
    components.push_back("-H \"" + name + ": " + replaceAll(value, "\"", "\\\"") + "\"");
  }

  if (const auto& body = urlRequest->httpBody(); body && isValidUTF8(*body)) {
    std::string text(body->begin(), body->end());
    text = replaceAll(std::move(text), "\\\"", "\\\\\"");
    text = replaceAll(std::move(text), "\"", "\\\"");
    components.push_back("-d \"" + text + "\"");
  }

  components.push_back("\"" + url.absoluteString() + "\"");
  std::string command;
  for (std::size_t i = 0; i < components.size(); ++i) command += (i ? " \\\n\t" : "") + components[i];
  return command;
}

Timeline Request::captureTimeline() const {
  const double start = startTime().value_or(absoluteTimeNow());
  const double completed = endTime().value_or(absoluteTimeNow());
  const double initial = delegate()->initialResponseTime().value_or(completed);
  return Timeline(start, initial, completed, absoluteTimeNow());
}

}  // namespace pipeline
