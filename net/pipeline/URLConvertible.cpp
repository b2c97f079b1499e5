#include "net/pipeline/URLConvertible.h"

#include "net/pipeline/PipelineError.h"

namespace pipeline {

struct URLConvertible::FromString final : Concept {
  explicit FromString(std::string s) : value(std::move(s)) {}
  net::URL asURL(const URLConvertible& self) const override {
    if (auto url = net::URL::fromString(value)) return *url;
    throw AnyError(PipelineError::invalidURL(self));
  }
  std::string description() const override { return value; }
  const std::type_info& type() const override { return typeid(std::string); }
  const void* get() const override { return &value; }
  std::string value;
};

struct URLConvertible::FromURL final : Concept {
  explicit FromURL(net::URL u) : value(std::move(u)) {}
  net::URL asURL(const URLConvertible&) const override { return value; }
  std::string description() const override { return value.description(); }
  const std::type_info& type() const override { return typeid(net::URL); }
  const void* get() const override { return &value; }
  net::URL value;
};

struct URLConvertible::FromComponents final : Concept {
  explicit FromComponents(net::URLComponents c) : value(std::move(c)) {}
  net::URL asURL(const URLConvertible& self) const override {
    if (auto url = value.url()) return *url;
    throw AnyError(PipelineError::invalidURL(self));
  }
  std::string description() const override { return value.description(); }
  const std::type_info& type() const override { return typeid(net::URLComponents); }
  const void* get() const override { return &value; }
  net::URLComponents value;
};

URLConvertible::URLConvertible(std::string string) : held_(std::make_shared<const FromString>(std::move(string))) {}
URLConvertible::URLConvertible(net::URL url) : held_(std::make_shared<const FromURL>(std::move(url))) {}
URLConvertible::URLConvertible(net::URLComponents components)
    : held_(std::make_shared<const FromComponents>(std::move(components))) {}

}  // namespace pipeline
