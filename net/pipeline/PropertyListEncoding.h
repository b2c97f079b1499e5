#pragma once
// PropertyListEncoding writes parameters as a property-list body (XML or binary), with
// "Content-Type" "application/x-plist" unless the request has one. The ready-made value `default`
// is `default_()` here (a C++ keyword). An immutable value; thread-safe.
#include <optional>

#include "net/pipeline/ParameterEncoding.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace pipeline {

class PropertyListEncoding final : public ParameterEncoding {
 public:
  explicit PropertyListEncoding(foundation::PropertyListFormat format = foundation::PropertyListFormat::XML,
                                long options = 0)
      : format_(format), options_(options) {}

  static PropertyListEncoding default_() { return PropertyListEncoding(); }
  static PropertyListEncoding xml() { return PropertyListEncoding(foundation::PropertyListFormat::XML); }
  static PropertyListEncoding binary() { return PropertyListEncoding(foundation::PropertyListFormat::Binary); }

  foundation::PropertyListFormat format() const { return format_; }
  long options() const { return options_; }

  // The request with the property list of `parameters` as its body. Throws what the conversion
  // throws, or parameterEncodingFailed(propertyListEncodingFailed) with the writer's error when
  // the parameters hold something a property list cannot (null, objects).
  net::URLRequest encode(const URLRequestConvertible& urlRequest,
                         const std::optional<Parameters>& parameters) const override;

 private:
  foundation::PropertyListFormat format_;
  long options_;
};

}  // namespace pipeline
