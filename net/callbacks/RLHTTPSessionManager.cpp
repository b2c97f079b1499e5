#include "net/callbacks/RLHTTPSessionManager.h"

#include <cstdio>

#include "net/callbacks/RLJSONResponseSerializer.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

using foundation::Value;

namespace {

const char* const kBaseURLKey = "baseURL";
const char* const kSessionConfigurationKey = "sessionConfiguration";
const char* const kRequestSerializerKey = "requestSerializer";
const char* const kResponseSerializerKey = "responseSerializer";
const char* const kSecurityPolicyKey = "securityPolicy";

std::string pinningModeName(RLSSLPinningMode mode) {
  switch (mode) {
    case RLSSLPinningModeNone: return "RLSSLPinningModeNone";
    case RLSSLPinningModePublicKey: return "RLSSLPinningModePublicKey";
    case RLSSLPinningModeCertificate: return "RLSSLPinningModeCertificate";
  }
  return "Unknown Pinning Mode";
}

std::string addressText(const void* address) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", address);
  return text;
}

// A URL with a path gets a trailing "/", so that relative strings resolve beneath it.
std::optional<net::URL> normalisedBaseURL(std::optional<net::URL> url) {
  if (!url || url->path().empty()) return url;
  const std::string text = url->absoluteString();
  if (!text.empty() && text.back() == '/') return url;
  return url->appendingPathComponent("");
}

// The completion handler of a task made by the operations: failure when there is an error
// (also one that came with a response object), success otherwise. `task` is filled in once the
// task exists, before it can complete.
RLTaskCompletionHandler outcomeHandler(std::shared_ptr<net::DataTaskPtr> task, RLHTTPSessionManager::SuccessBlock success,
                                       RLHTTPSessionManager::FailureBlock failure) {
  return [task = std::move(task), success = std::move(success), failure = std::move(failure)](
             const RLURLResponsePtr&, const Value& responseObject, const std::optional<foundation::Error>& error) {
    if (error) {
      if (failure) failure(*task, *error);
    } else if (success) {
      success(*task, responseObject);
    }
  };
}

// Sets `policy` on a manager that is still being made; when the policy is refused the manager
// is ended before the exception goes on, since its session would otherwise keep it for good.
void setPolicyOrEnd(RLHTTPSessionManager& manager, std::shared_ptr<RLSecurityPolicy> policy) {
  try {
    manager.setSecurityPolicy(std::move(policy));
  } catch (...) {
    manager.invalidateSessionCancelingTasks(true);
    throw;
  }
}

}  // namespace

// ---- Creation

std::shared_ptr<RLHTTPSessionManager> RLHTTPSessionManager::manager() { return create(); }

std::shared_ptr<RLHTTPSessionManager> RLHTTPSessionManager::create(std::optional<net::URL> baseURL,
                                                                   std::optional<net::URLSessionConfiguration> configuration) {
  std::shared_ptr<RLHTTPSessionManager> manager(new RLHTTPSessionManager());
  manager->initWithBaseURL(std::move(baseURL), std::move(configuration));
  return manager;
}

void RLHTTPSessionManager::initWithBaseURL(std::optional<net::URL> url,
                                           std::optional<net::URLSessionConfiguration> configuration) {
  initWithSessionConfiguration(std::move(configuration));
  std::lock_guard guard(httpMutex_);
  baseURL_ = normalisedBaseURL(std::move(url));
  requestSerializer_ = RLHTTPRequestSerializer::serializer();
  // The base class set the same default; it is set again here, as the subclass's own choice.
  RLURLSessionManager::setResponseSerializer(RLJSONResponseSerializer::serializer());
}

std::shared_ptr<RLHTTPSessionManager> RLHTTPSessionManager::initWithCoder(foundation::KeyedUnarchiver& coder) {
  const auto url = coder.decodeObjectOfClass<net::URL>(kBaseURLKey);
  std::optional<net::URLSessionConfiguration> configuration;
  if (const auto decoded = coder.decodeObjectOfClass<net::URLSessionConfiguration>(kSessionConfigurationKey)) {
    configuration = *decoded;
  } else if (const auto identifier = coder.decodeStringForKey("identifier")) {
    configuration = net::URLSessionConfiguration::backgroundSessionConfiguration(*identifier);
  }
  auto manager = create(url ? std::optional(*url) : std::nullopt, std::move(configuration));
  // A serializer missing from the archive leaves the default in place: a manager without one
  // would fail every request.
  if (auto request = coder.decodeObjectOfClass<RLHTTPRequestSerializer>(kRequestSerializerKey)) {
    manager->setRequestSerializer(std::move(request));
  }
  if (auto response = coder.decodeObjectOfClass<RLHTTPResponseSerializer>(kResponseSerializerKey)) {
    manager->setResponseSerializer(std::move(response));
  }
  if (auto policy = coder.decodeObjectOfClass<RLSecurityPolicy>(kSecurityPolicyKey)) {
    setPolicyOrEnd(*manager, std::move(policy));
  }
  return manager;
}

// ---- Configuration

std::optional<net::URL> RLHTTPSessionManager::baseURL() const {
  std::lock_guard guard(httpMutex_);
  return baseURL_;
}

void RLHTTPSessionManager::setBaseURL(std::optional<net::URL> url) {
  std::lock_guard guard(httpMutex_);
  baseURL_ = std::move(url);
}

std::shared_ptr<RLHTTPRequestSerializer> RLHTTPSessionManager::requestSerializer() const {
  std::lock_guard guard(httpMutex_);
  return requestSerializer_;
}

void RLHTTPSessionManager::setRequestSerializer(std::shared_ptr<RLHTTPRequestSerializer> serializer) {
  if (!serializer) serializer = RLHTTPRequestSerializer::serializer();
  std::lock_guard guard(httpMutex_);
  requestSerializer_ = std::move(serializer);
}

void RLHTTPSessionManager::setSecurityPolicy(std::shared_ptr<RLSecurityPolicy> policy) {
  if (policy && policy->SSLPinningMode() != RLSSLPinningModeNone) {
    const auto url = baseURL();
    if (!url || url->scheme() != "https") {
      throw RLInvalidSecurityPolicyException("A security policy configured with `" +
                                             pinningModeName(policy->SSLPinningMode()) +
                                             "` can only be applied on a manager with a secure base URL (i.e. https)");
    }
  }
  RLURLSessionManager::setSecurityPolicy(std::move(policy));
}

std::string RLHTTPSessionManager::description() const {
  const auto url = baseURL();
  return "<RLHTTPSessionManager: " + addressText(this) + ", baseURL: " + (url ? url->absoluteString() : "(null)") +
         ", session: " + session()->description() + ", operationQueue: <OperationQueue: " +
         addressText(operationQueue().get()) + ">>";
}

// ---- Operations

std::string RLHTTPSessionManager::resolvedURLString(const std::string& URLString) const {
  const auto url = net::URL::fromString(URLString, baseURL());
  return url ? url->absoluteString() : std::string();
}

void RLHTTPSessionManager::failWithoutTask(FailureBlock failure, foundation::Error error) const {
  if (!failure) return;
  auto queue = completionQueue();
  if (!queue) queue = dispatch::mainQueue();
  queue->async([failure = std::move(failure), error = std::move(error)] { failure(nullptr, error); });
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::dataTaskWithHTTPMethod(
    const std::string& method, const std::string& URLString, const Value& parameters, RLProgressBlock uploadProgress,
    RLProgressBlock downloadProgress, SuccessBlock success, FailureBlock failure) {
  foundation::Error error;
  const auto request = requestSerializer()->requestWithMethod(method, resolvedURLString(URLString), parameters, &error);
  if (!request) {
    failWithoutTask(std::move(failure), std::move(error));
    return nullptr;
  }
  auto task = std::make_shared<DataTaskPtr>();
  *task = dataTaskWithRequest(*request, std::move(uploadProgress), std::move(downloadProgress),
                              outcomeHandler(task, std::move(success), std::move(failure)));
  return *task;
}

namespace {

// Resumes `task` when there is one, and answers it.
net::DataTaskPtr resumed(net::DataTaskPtr task) {
  if (task) task->resume();
  return task;
}

}  // namespace

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::GET(const std::string& URLString, const Value& parameters,
                                                            SuccessBlock success, FailureBlock failure) {
  return GET(URLString, parameters, nullptr, std::move(success), std::move(failure));
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::GET(const std::string& URLString, const Value& parameters,
                                                            RLProgressBlock downloadProgress, SuccessBlock success,
                                                            FailureBlock failure) {
  return resumed(dataTaskWithHTTPMethod("GET", URLString, parameters, nullptr, std::move(downloadProgress),
                                        std::move(success), std::move(failure)));
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::HEAD(const std::string& URLString, const Value& parameters,
                                                             HeadSuccessBlock success, FailureBlock failure) {
  SuccessBlock taskOnly = [success = std::move(success)](const DataTaskPtr& task, const Value&) {
    if (success) success(task);
  };
  return resumed(dataTaskWithHTTPMethod("HEAD", URLString, parameters, nullptr, nullptr, std::move(taskOnly),
                                        std::move(failure)));
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::POST(const std::string& URLString, const Value& parameters,
                                                             SuccessBlock success, FailureBlock failure) {
  return POST(URLString, parameters, RLProgressBlock(), std::move(success), std::move(failure));
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::POST(const std::string& URLString, const Value& parameters,
                                                             RLProgressBlock uploadProgress, SuccessBlock success,
                                                             FailureBlock failure) {
  return resumed(dataTaskWithHTTPMethod("POST", URLString, parameters, std::move(uploadProgress), nullptr,
                                        std::move(success), std::move(failure)));
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::POST(const std::string& URLString, const Value& parameters,
                                                             BodyConstructionBlock block, SuccessBlock success,
                                                             FailureBlock failure) {
  return POST(URLString, parameters, std::move(block), RLProgressBlock(), std::move(success), std::move(failure));
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::POST(const std::string& URLString, const Value& parameters,
                                                             BodyConstructionBlock block, RLProgressBlock uploadProgress,
                                                             SuccessBlock success, FailureBlock failure) {
  foundation::Error error;
  const auto request = requestSerializer()->multipartFormRequestWithMethod("POST", resolvedURLString(URLString),
                                                                           parameters, block, &error);
  if (!request) {
    failWithoutTask(std::move(failure), std::move(error));
    return nullptr;
  }
  auto task = std::make_shared<DataTaskPtr>();
  *task = uploadTaskWithStreamedRequest(*request, std::move(uploadProgress),
                                        outcomeHandler(task, std::move(success), std::move(failure)));
  return resumed(*task);
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::PUT(const std::string& URLString, const Value& parameters,
                                                            SuccessBlock success, FailureBlock failure) {
  return resumed(
      dataTaskWithHTTPMethod("PUT", URLString, parameters, nullptr, nullptr, std::move(success), std::move(failure)));
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::PATCH(const std::string& URLString, const Value& parameters,
                                                              SuccessBlock success, FailureBlock failure) {
  return resumed(
      dataTaskWithHTTPMethod("PATCH", URLString, parameters, nullptr, nullptr, std::move(success), std::move(failure)));
}

RLHTTPSessionManager::DataTaskPtr RLHTTPSessionManager::DELETE(const std::string& URLString, const Value& parameters,
                                                               SuccessBlock success, FailureBlock failure) {
  return resumed(
      dataTaskWithHTTPMethod("DELETE", URLString, parameters, nullptr, nullptr, std::move(success), std::move(failure)));
}

// ---- Archiving and copying

void RLHTTPSessionManager::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  RLURLSessionManager::encodeWithCoder(coder);
  const auto url = baseURL();
  coder.encodeObject(url ? Value(std::make_shared<net::URL>(*url)) : Value(), kBaseURLKey);
  // Every configuration here can be archived, so it goes in whole, never as its identifier alone.
  coder.encodeObject(std::make_shared<net::URLSessionConfiguration>(session()->configuration()), kSessionConfigurationKey);
  coder.encodeObject(requestSerializer(), kRequestSerializerKey);
  coder.encodeObject(responseSerializer(), kResponseSerializerKey);
  coder.encodeObject(securityPolicy(), kSecurityPolicyKey);
}

std::shared_ptr<RLURLSessionManager> RLHTTPSessionManager::copy() const {
  auto copied = create(baseURL(), session()->configuration());
  const auto request = requestSerializer();
  copied->setRequestSerializer(request ? std::dynamic_pointer_cast<RLHTTPRequestSerializer>(request->copy()) : nullptr);
  const auto response = responseSerializer();
  copied->setResponseSerializer(response ? response->copy() : nullptr);
  const auto policy = securityPolicy();
  setPolicyOrEnd(*copied, policy ? policy->copy() : nullptr);
  return copied;
}
