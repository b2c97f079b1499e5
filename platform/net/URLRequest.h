#pragma once
// URLRequest stands in for the platform's URL request: what to load (URL, method, header fields,
// body as bytes or as a stream) and how (timeout, cache policy, cookie handling). A plain value
// (the body stream is shared between copies, as on the platform); not synchronised.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Value.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/InputStream.h"
#include "platform/net/URL.h"

namespace net {

// Cache policies, with the platform's values. This layer keeps no response cache, so every
// policy loads from the network; the value is carried for callers that read it back.
enum class URLRequestCachePolicy : unsigned {
  UseProtocolCachePolicy = 0,
  ReloadIgnoringLocalCacheData = 1,
  ReturnCacheDataElseLoad = 2,
  ReturnCacheDataDontLoad = 3,
  ReloadIgnoringLocalAndRemoteCacheData = 4,
  ReloadRevalidatingCacheData = 5,
};

class URLRequest : public foundation::Object {
 public:
  // The platform's default timeout, in seconds.
  static constexpr double kDefaultTimeoutInterval = 60.0;

  URLRequest() = default;
  // A GET request for `url` with the given cache policy and timeout.
  explicit URLRequest(URL url, URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy,
                      double timeoutInterval = kDefaultTimeoutInterval);

  const std::optional<URL>& url() const { return url_; }
  void setURL(std::optional<URL> url) { url_ = std::move(url); }
  // "GET" unless set; setting an empty method restores "GET".
  const std::string& httpMethod() const { return method_; }
  void setHTTPMethod(std::string method);

  // Header fields, names compared without case.
  const HTTPHeaderFields& allHTTPHeaderFields() const { return headers_; }
  void setAllHTTPHeaderFields(HTTPHeaderFields headers) { headers_ = std::move(headers); }
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const { return headers_.value(name); }
  // Sets the field; nothing removes it.
  void setValue(const std::optional<std::string>& value, std::string_view field);
  // Appends to the field with ", " (addValue:forHTTPHeaderField:).
  void addValue(std::string_view value, std::string_view field) { headers_.add(field, value); }

  // The body as bytes; setting it drops a body stream.
  const std::optional<foundation::Data>& httpBody() const { return body_; }
  void setHTTPBody(std::optional<foundation::Data> body);
  // The body as a stream; setting it drops body bytes.
  const std::shared_ptr<InputStream>& httpBodyStream() const { return bodyStream_; }
  void setHTTPBodyStream(std::shared_ptr<InputStream> stream);

  // Seconds without progress after which the load fails with a time-out; 60 by default. Zero or
  // less means the session configuration's request timeout.
  double timeoutInterval() const { return timeout_; }
  void setTimeoutInterval(double seconds) { timeout_ = seconds; }
  URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
  void setCachePolicy(URLRequestCachePolicy policy) { cachePolicy_ = policy; }
  // Whether cookies from the session's cookie storage are sent and received ones stored.
  bool httpShouldHandleCookies() const { return handleCookies_; }
  void setHTTPShouldHandleCookies(bool value) { handleCookies_ = value; }
  // Carried for callers; HTTP/1.1 pipelining is never used by this layer.
  bool httpShouldUsePipelining() const { return pipelining_; }
  void setHTTPShouldUsePipelining(bool value) { pipelining_ = value; }
  // Carried for callers; Linux has no cellular policy to apply.
  bool allowsCellularAccess() const { return cellular_; }
  void setAllowsCellularAccess(bool value) { cellular_ = value; }
  // The platform's network service type value (0 default); carried for callers.
  unsigned networkServiceType() const { return serviceType_; }
  void setNetworkServiceType(unsigned value) { serviceType_ = value; }
  const std::optional<URL>& mainDocumentURL() const { return mainDocumentURL_; }
  void setMainDocumentURL(std::optional<URL> url) { mainDocumentURL_ = std::move(url); }

  // "<URLRequest: GET http://...>"-style text with the URL.
  std::string description() const override;
  bool isEqual(const foundation::Object& other) const override;
  // Equal URL, method, header fields, body bytes, stream identity and policies.
  bool operator==(const URLRequest& other) const;

 private:
  std::optional<URL> url_;
  std::string method_ = "GET";
  HTTPHeaderFields headers_;
  std::optional<foundation::Data> body_;
  std::shared_ptr<InputStream> bodyStream_;
  double timeout_ = kDefaultTimeoutInterval;
  URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::UseProtocolCachePolicy;
  bool handleCookies_ = true;
  bool pipelining_ = false;
  bool cellular_ = true;
  unsigned serviceType_ = 0;
  std::optional<URL> mainDocumentURL_;
};

}  // namespace net
