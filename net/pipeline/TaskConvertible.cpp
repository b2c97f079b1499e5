#include "net/pipeline/TaskConvertible.h"

#include "net/pipeline/AdaptError.h"

namespace pipeline {

net::URLRequest TaskConvertible::adapted(const net::URLRequest& urlRequest,
                                         const std::shared_ptr<RequestAdapter>& adapter) {
  if (!adapter) return urlRequest;
  try {
    return adapter->adapt(urlRequest);
  } catch (...) {
    throw AnyError(AdaptError{AnyError::fromCurrentException()});
  }
}

}  // namespace pipeline
