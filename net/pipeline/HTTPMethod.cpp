#include "net/pipeline/HTTPMethod.h"

#include <array>

namespace pipeline {
namespace {

constexpr std::array<std::string_view, 9> kRawValues = {"OPTIONS", "GET",    "HEAD",  "POST",   "PUT",
                                                        "PATCH",   "DELETE", "TRACE", "CONNECT"};

}  // namespace

std::optional<HTTPMethod> HTTPMethod::fromRawValue(std::string_view rawValue) {
  for (std::size_t i = 0; i < kRawValues.size(); ++i) {
    if (kRawValues[i] == rawValue) return HTTPMethod(static_cast<Case>(i));
  }
  return std::nullopt;
}

std::string_view HTTPMethod::rawValue() const { return kRawValues[value_]; }

}  // namespace pipeline
