#include "net/pipeline/JSONEncoding.h"

#include "net/pipeline/PipelineError.h"

namespace pipeline {
namespace {

using Reason = PipelineError::ParameterEncodingFailureReason;

net::URLRequest withJSONBody(net::URLRequest request, const foundation::Value& object, unsigned options) {
  foundation::Error error;
  auto data = foundation::JSONSerialization::dataWithJSONObject(object, options, &error);
  if (!data) throw AnyError(PipelineError::parameterEncodingFailed(Reason::jsonEncodingFailed(AnyError(error))));
  if (!request.valueForHTTPHeaderField("Content-Type")) request.setValue("application/json", "Content-Type");
  request.setHTTPBody(std::move(*data));
  return request;
}

}  // namespace

net::URLRequest JSONEncoding::encode(const URLRequestConvertible& urlRequest,
                                     const std::optional<Parameters>& parameters) const {
  net::URLRequest request = urlRequest.asURLRequest();
  if (!parameters) return request;
  return withJSONBody(std::move(request), foundation::Value(*parameters), options_);
}

net::URLRequest JSONEncoding::encodeWithJSONObject(const URLRequestConvertible& urlRequest,
                                                   const std::optional<foundation::Value>& jsonObject) const {
  net::URLRequest request = urlRequest.asURLRequest();
  if (!jsonObject) return request;
  return withJSONBody(std::move(request), *jsonObject, options_);
}

}  // namespace pipeline
