#pragma once
// URLConvertible is anything that can name a resource by becoming a URL: a string (parsed as a
// URL), a URL (itself), URL components (their composed URL), or a caller's own type with an
// `asURL()` member. It is a small type-erased, immutable value; copies share the held value.
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <utility>

#include "net/pipeline/Result.h"
#include "platform/net/URL.h"
#include "platform/net/URLComponents.h"

namespace pipeline {

template <class T>
concept URLConvertibleType = requires(const T& t) {
  { t.asURL() } -> std::convertible_to<net::URL>;
};

class URLConvertible {
 public:
  // A string: converts to the URL the platform parses from it.
  URLConvertible(std::string string);
  URLConvertible(const char* string) : URLConvertible(std::string(string)) {}
  // A URL: converts to itself.
  URLConvertible(net::URL url);
  // URL components: convert to their composed URL.
  URLConvertible(net::URLComponents components);
  // A caller's type with `asURL()` (which may throw); its text form comes from textualForm.
  template <class T>
    requires(URLConvertibleType<T> && !std::is_same_v<std::decay_t<T>, URLConvertible>)
  URLConvertible(T value) : held_(std::make_shared<const Custom<T>>(std::move(value))) {}

  // The URL. Throws an AnyError holding PipelineError::invalidURL (carrying this value) when a
  // string does not parse or components compose no URL; a caller's type throws what it throws.
  net::URL asURL() const { return held_->asURL(*this); }

  // The textual form of the held value: a string as itself, a URL as its string form.
  std::string description() const { return held_->description(); }

  // The held value when it is exactly of type T (std::string, net::URL, net::URLComponents, or a
  // caller's type), else nullptr.
  template <class T>
  const T* as() const {
    return held_->type() == typeid(T) ? static_cast<const T*>(held_->get()) : nullptr;
  }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual net::URL asURL(const URLConvertible& self) const = 0;
    virtual std::string description() const = 0;
    virtual const std::type_info& type() const = 0;
    virtual const void* get() const = 0;
  };
  template <class T>
  struct Custom final : Concept {
    explicit Custom(T v) : value(std::move(v)) {}
    net::URL asURL(const URLConvertible&) const override { return value.asURL(); }
    std::string description() const override { return textualForm(value); }
    const std::type_info& type() const override { return typeid(T); }
    const void* get() const override { return &value; }
    T value;
  };
  struct FromString;
  struct FromURL;
  struct FromComponents;

  std::shared_ptr<const Concept> held_;
};

}  // namespace pipeline
