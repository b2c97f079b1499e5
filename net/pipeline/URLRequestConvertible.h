#pragma once
// URLRequestConvertible is anything that can become a URL request: a URL request (itself) or a
// caller's own type with an `asURLRequest()` member, such as a router of the caller's endpoints.
// A small type-erased, immutable value; copies share the held value.
//
// makeURLRequest is the client's way of building a request from a URL, a method and headers
// (an added initialiser of the URL request type, which C++ cannot add to net::URLRequest).
#include <memory>
#include <optional>
#include <typeinfo>
#include <utility>

#include "net/pipeline/HTTPMethod.h"
#include "net/pipeline/Result.h"
#include "net/pipeline/URLConvertible.h"
#include "platform/net/URLRequest.h"

namespace pipeline {

template <class T>
concept URLRequestConvertibleType = requires(const T& t) {
  { t.asURLRequest() } -> std::convertible_to<net::URLRequest>;
};

class URLRequestConvertible {
 public:
  // A URL request: converts to itself.
  URLRequestConvertible(net::URLRequest request);
  // A caller's type with `asURLRequest()`, which may throw.
  template <class T>
    requires(URLRequestConvertibleType<T> && !std::is_same_v<std::decay_t<T>, URLRequestConvertible>)
  URLRequestConvertible(T value) : held_(std::make_shared<const Custom<T>>(std::move(value))) {}

  // The URL request, or what the caller's type throws (as it throws it).
  net::URLRequest asURLRequest() const { return held_->asURLRequest(); }
  // asURLRequest(), or nothing when it throws (the error is dropped). Never throws.
  std::optional<net::URLRequest> urlRequest() const;

  // The held value when it is exactly of type T, else nullptr.
  template <class T>
  const T* as() const {
    return held_->type() == typeid(T) ? static_cast<const T*>(held_->get()) : nullptr;
  }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual net::URLRequest asURLRequest() const = 0;
    virtual const std::type_info& type() const = 0;
    virtual const void* get() const = 0;
  };
  template <class T>
  struct Custom final : Concept {
    explicit Custom(T v) : value(std::move(v)) {}
    net::URLRequest asURLRequest() const override { return value.asURLRequest(); }
    const std::type_info& type() const override { return typeid(T); }
    const void* get() const override { return &value; }
    T value;
  };
  struct FromRequest;

  std::shared_ptr<const Concept> held_;
};

// A request for `url.asURL()` with the protocol's default cache policy, a 60-second timeout,
// `method` and each of `headers` set as a header field. Throws what asURL() throws, unchanged.
net::URLRequest makeURLRequest(const URLConvertible& url, HTTPMethod method,
                               const std::optional<HTTPHeaders>& headers = std::nullopt);

}  // namespace pipeline
