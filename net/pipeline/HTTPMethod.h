#pragma once
// HTTPMethod is the request method of the client, one of the nine HTTP methods, with its text as
// raw value. The DELETE case is `delete_` because `delete` is a C++ keyword. A small value that
// compares by case and hashes as its raw value text. HTTPHeaders, the client's header dictionary
// (field to value), lives here too, beside the method it travels with.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pipeline {

// Header field to value; ordered by field name so that every use of it is deterministic.
using HTTPHeaders = std::map<std::string, std::string>;

class HTTPMethod {
 public:
  enum Case : std::uint8_t { options, get, head, post, put, patch, delete_, trace, connect };

  constexpr HTTPMethod(Case value) : value_(value) {}

  // The method whose raw value is exactly `rawValue` (case-sensitive), or nothing.
  static std::optional<HTTPMethod> fromRawValue(std::string_view rawValue);

  // "OPTIONS", "GET", "HEAD", "POST", "PUT", "PATCH", "DELETE", "TRACE" or "CONNECT".
  std::string_view rawValue() const;
  constexpr Case value() const { return value_; }
  constexpr operator Case() const { return value_; }

 private:
  Case value_;
};

}  // namespace pipeline

template <>
struct std::hash<pipeline::HTTPMethod> {
  std::size_t operator()(pipeline::HTTPMethod method) const noexcept {
    return std::hash<std::string_view>{}(method.rawValue());
  }
};
