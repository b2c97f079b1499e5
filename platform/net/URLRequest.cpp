#include "platform/net/URLRequest.h"

namespace net {

URLRequest::URLRequest(URL url, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : url_(std::move(url)), timeout_(timeoutInterval), cachePolicy_(cachePolicy) {}

void URLRequest::setHTTPMethod(std::string method) { method_ = method.empty() ? "GET" : std::move(method); }

void URLRequest::setValue(const std::optional<std::string>& value, std::string_view field) {
  if (!value) {
    headers_.remove(field);
    return;
  }
  headers_.set(field, *value);
}

void URLRequest::setHTTPBody(std::optional<foundation::Data> body) {
  body_ = std::move(body);
  if (body_) bodyStream_.reset();
}

void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
  bodyStream_ = std::move(stream);
  if (bodyStream_) body_.reset();
}

std::string URLRequest::description() const {
  return "<URLRequest: " + method_ + " " + (url_ ? url_->absoluteString() : std::string("(null)")) + ">";
}

bool URLRequest::isEqual(const foundation::Object& other) const {
  auto* request = dynamic_cast<const URLRequest*>(&other);
  return request && *this == *request;
}

bool URLRequest::operator==(const URLRequest& other) const {
  return url_ == other.url_ && method_ == other.method_ && headers_ == other.headers_ && body_ == other.body_ &&
         bodyStream_ == other.bodyStream_ && timeout_ == other.timeout_ && cachePolicy_ == other.cachePolicy_ &&
         handleCookies_ == other.handleCookies_ && pipelining_ == other.pipelining_ && cellular_ == other.cellular_ &&
         serviceType_ == other.serviceType_ && mainDocumentURL_ == other.mainDocumentURL_;
}

}  // namespace net
