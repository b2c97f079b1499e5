#pragma once
// ParameterEncoding is how request parameters are written into a URL request: into the query or a
// form body (URLEncoding), as JSON (JSONEncoding) or as a property list (PropertyListEncoding).
// Implementations are immutable values, safe to share across threads.
#include <optional>

#include "net/pipeline/URLRequestConvertible.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"

namespace pipeline {

// Request parameters: names to any values, in the order given.
using Parameters = foundation::Dictionary;

class ParameterEncoding {
 public:
  virtual ~ParameterEncoding() = default;

  // The request of `urlRequest` with `parameters` written into it; absent parameters leave it
  // unchanged. Throws what the conversion throws, unchanged, or an AnyError holding
  // PipelineError::parameterEncodingFailed when the parameters cannot be written.
  virtual net::URLRequest encode(const URLRequestConvertible& urlRequest,
                                 const std::optional<Parameters>& parameters) const = 0;
};

}  // namespace pipeline
