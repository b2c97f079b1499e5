#pragma once
// RLHTTPSessionManager is the session manager the application uses: it adds a base URL, a
// request serializer and one operation per HTTP method (GET, HEAD, POST with a form, JSON or
// multipart body, PUT, PATCH, DELETE). Each operation builds the request from a URL string
// (relative to the base URL, or absolute) and parameters, makes a data task (a streamed upload
// task for multipart bodies), resumes it, and ends in exactly one of the caller's two blocks:
// success with the response object, or failure with the error.
//
// Made with manager() or create(); owned by a std::shared_ptr and kept alive by its session
// until invalidated, as its base class says. The operations may be called from any thread (the
// request is built on the calling thread); success and failure run on the completion queue, the
// main queue when none is set. Serializers and policy may be replaced at any time: a task uses
// the request serializer current when it is built and the response serializer current when it
// completes.
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "net/callbacks/RLHTTPRequestSerializer.h"
#include "net/callbacks/RLURLSessionManager.h"
#include "platform/net/URL.h"

// Thrown by setSecurityPolicy for a pinning policy on a manager whose base URL is not "https";
// what() is the reason.
class RLInvalidSecurityPolicyException : public std::logic_error {
 public:
  explicit RLInvalidSecurityPolicyException(const std::string& reason) : std::logic_error(reason) {}
  // "Invalid Security Policy".
  static const char* name() { return "Invalid Security Policy"; }
};

class RLHTTPSessionManager : public RLURLSessionManager {
 public:
  using DataTaskPtr = net::DataTaskPtr;
  // Success: the task and the response object (null for none).
  using SuccessBlock = std::function<void(const DataTaskPtr& task, const foundation::Value& responseObject)>;
  // Success of HEAD: the task alone.
  using HeadSuccessBlock = std::function<void(const DataTaskPtr& task)>;
  // Failure: the task (null when no request could be built) and the error.
  using FailureBlock = std::function<void(const DataTaskPtr& task, const foundation::Error& error)>;
  using BodyConstructionBlock = RLHTTPRequestSerializer::MultipartFormDataBlock;

  // A new manager without base URL on the default configuration.
  static std::shared_ptr<RLHTTPSessionManager> manager();
  // A new manager on `configuration` (default when nothing) with `baseURL` normalised: a URL
  // with a path that does not end in "/" gets one, so relative strings resolve beneath its last
  // segment; a URL without path, and no URL, stay as they are. The HTTP request serializer and
  // the JSON response serializer.
  static std::shared_ptr<RLHTTPSessionManager> create(
      std::optional<net::URL> baseURL = std::nullopt,
      std::optional<net::URLSessionConfiguration> configuration = std::nullopt);
  // Rebuilds an archived manager (see encodeWithCoder); without a configuration, a background
  // configuration for an archived "identifier". A serializer missing from the archive leaves the
  // default. A pinning policy archived with a base URL that is not "https" throws
  // RLInvalidSecurityPolicyException, which fails the unarchiving.
  static std::shared_ptr<RLHTTPSessionManager> initWithCoder(foundation::KeyedUnarchiver& coder);

  std::optional<net::URL> baseURL() const;
  // Stores the URL as given (no normalisation).
  void setBaseURL(std::optional<net::URL> url);
  std::shared_ptr<RLHTTPRequestSerializer> requestSerializer() const;
  // Stores `serializer`; null stores a new default serializer, as no request can be built
  // without one.
  void setRequestSerializer(std::shared_ptr<RLHTTPRequestSerializer> serializer);
  // Throws RLInvalidSecurityPolicyException, storing nothing, when the policy pins (any mode but
  // none) and the base URL's scheme is not "https" (a manager without base URL has none).
  void setSecurityPolicy(std::shared_ptr<RLSecurityPolicy> policy) override;

  // "<RLHTTPSessionManager: 0x..., baseURL: ..., session: ..., operationQueue: ...>".
  std::string description() const override;

  // ---- Operations. Each answers the resumed task, or null when the request serializer refused
  // (failure is then called with a null task, asynchronously on the completion queue). A
  // transport error, a failed trust evaluation or a response the response serializer rejects
  // calls failure with the task and the error; the error wins over any object that came with it.
  DataTaskPtr GET(const std::string& URLString, const foundation::Value& parameters, SuccessBlock success,
                  FailureBlock failure);
  // `downloadProgress` follows the response body.
  DataTaskPtr GET(const std::string& URLString, const foundation::Value& parameters, RLProgressBlock downloadProgress,
                  SuccessBlock success, FailureBlock failure);
  DataTaskPtr HEAD(const std::string& URLString, const foundation::Value& parameters, HeadSuccessBlock success,
                   FailureBlock failure);
  DataTaskPtr POST(const std::string& URLString, const foundation::Value& parameters, SuccessBlock success,
                   FailureBlock failure);
  // `uploadProgress` follows the request body.
  DataTaskPtr POST(const std::string& URLString, const foundation::Value& parameters, RLProgressBlock uploadProgress,
                   SuccessBlock success, FailureBlock failure);
  // A multipart form: the parameters as fields, then the parts `block` adds. The task is a
  // streamed upload task (a data task by kind).
  DataTaskPtr POST(const std::string& URLString, const foundation::Value& parameters, BodyConstructionBlock block,
                   SuccessBlock success, FailureBlock failure);
  DataTaskPtr POST(const std::string& URLString, const foundation::Value& parameters, BodyConstructionBlock block,
                   RLProgressBlock uploadProgress, SuccessBlock success, FailureBlock failure);
  DataTaskPtr PUT(const std::string& URLString, const foundation::Value& parameters, SuccessBlock success,
                  FailureBlock failure);
  DataTaskPtr PATCH(const std::string& URLString, const foundation::Value& parameters, SuccessBlock success,
                    FailureBlock failure);
  DataTaskPtr DELETE(const std::string& URLString, const foundation::Value& parameters, SuccessBlock success,
                     FailureBlock failure);
  // What the operations above build on: the task for `method`, not yet resumed.
  DataTaskPtr dataTaskWithHTTPMethod(const std::string& method, const std::string& URLString,
                                     const foundation::Value& parameters, RLProgressBlock uploadProgress,
                                     RLProgressBlock downloadProgress, SuccessBlock success, FailureBlock failure);

  // ---- Archiving and copying
  // The base's encoding, then "baseURL", the configuration again under "sessionConfiguration",
  // "requestSerializer", "responseSerializer" and "securityPolicy".
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // A new manager with the same base URL and configuration and copies of the serializers and
  // the policy. Throws as setSecurityPolicy does.
  std::shared_ptr<RLURLSessionManager> copy() const override;

 protected:
  RLHTTPSessionManager() = default;
  void initWithBaseURL(std::optional<net::URL> url, std::optional<net::URLSessionConfiguration> configuration);

 private:
  // `URLString` resolved against the base URL, as text ("" when it is no URL).
  std::string resolvedURLString(const std::string& URLString) const;
  // Runs `failure` with a null task and `error`, asynchronously on the completion queue.
  void failWithoutTask(FailureBlock failure, foundation::Error error) const;

  mutable std::mutex httpMutex_;  // guards the two fields below
  std::optional<net::URL> baseURL_;
  std::shared_ptr<RLHTTPRequestSerializer> requestSerializer_;
};
