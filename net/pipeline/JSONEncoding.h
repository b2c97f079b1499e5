#pragma once
// JSONEncoding writes parameters (or any JSON object) as the JSON body of a request, with
// "Content-Type" "application/json" unless the request has one. The ready-made value `default`
// is `default_()` here (a C++ keyword). An immutable value; thread-safe.
#include <optional>

#include "net/pipeline/ParameterEncoding.h"
#include "platform/foundation/JSONSerialization.h"

namespace pipeline {

class JSONEncoding final : public ParameterEncoding {
 public:
  // `options`: the JSON writing options (foundation::JSONWritingOptions bits).
  explicit JSONEncoding(unsigned options = 0) : options_(options) {}

  static JSONEncoding default_() { return JSONEncoding(); }
  static JSONEncoding prettyPrinted() { return JSONEncoding(foundation::JSONWritingPrettyPrinted); }

  unsigned options() const { return options_; }

  // The request with the JSON text of `parameters` as its body. Throws what the conversion
  // throws, or parameterEncodingFailed(jsonEncodingFailed) with the writer's error when the
  // parameters hold something JSON cannot (data, dates, objects, non-finite numbers).
  net::URLRequest encode(const URLRequestConvertible& urlRequest,
                         const std::optional<Parameters>& parameters) const override;
  // encode(_:withJSONObject:): as encode, with `jsonObject` in place of the parameters; an absent
  // object changes nothing. Named apart because a dictionary would fit both overloads.
  net::URLRequest encodeWithJSONObject(const URLRequestConvertible& urlRequest,
                         const std::optional<foundation::Value>& jsonObject) const;

 private:
  unsigned options_;
};

}  // namespace pipeline
