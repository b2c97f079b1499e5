#include "net/pipeline/URLRequestConvertible.h"

namespace pipeline {

struct URLRequestConvertible::FromRequest final : Concept {
  explicit FromRequest(net::URLRequest r) : value(std::move(r)) {}
  net::URLRequest asURLRequest() const override { return value; }
  const std::type_info& type() const override { return typeid(net::URLRequest); }
  const void* get() const override { return &value; }
  net::URLRequest value;
};

URLRequestConvertible::URLRequestConvertible(net::URLRequest request)
    : held_(std::make_shared<const FromRequest>(std::move(request))) {}

std::optional<net::URLRequest> URLRequestConvertible::urlRequest() const {
  try {
    return asURLRequest();
  } catch (...) {
    return std::nullopt;
  }
}

net::URLRequest makeURLRequest(const URLConvertible& url, HTTPMethod method, const std::optional<HTTPHeaders>& headers) {
  net::URLRequest request(url.asURL(), net::URLRequestCachePolicy::UseProtocolCachePolicy, 60.0);
  request.setHTTPMethod(std::string(method.rawValue()));
  if (headers) {
    for (const auto& [field, value] : *headers) request.setValue(value, field);
  }
  return request;
}

}  // namespace pipeline
