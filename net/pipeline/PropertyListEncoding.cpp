#include "net/pipeline/PropertyListEncoding.h"

#include "net/pipeline/PipelineError.h"

namespace pipeline {

net::URLRequest PropertyListEncoding::encode(const URLRequestConvertible& urlRequest,
                                             const std::optional<Parameters>& parameters) const {
  net::URLRequest request = urlRequest.asURLRequest();
  if (!parameters) return request;
  foundation::Error error;
  auto data = foundation::PropertyListSerialization::dataWithPropertyList(
      foundation::Value(*parameters), format_, static_cast<unsigned>(options_), &error);
  if (!data) {
    throw AnyError(PipelineError::parameterEncodingFailed(
        PipelineError::ParameterEncodingFailureReason::propertyListEncodingFailed(AnyError(error))));
  }
  if (!request.valueForHTTPHeaderField("Content-Type")) request.setValue("application/x-plist", "Content-Type");
  request.setHTTPBody(std::move(*data));
  return request;
}

}  // namespace pipeline
