#pragma once
// SharedBody is a collected response body as the requests hand it on: nothing for none, else
// bytes that nobody changes any more, shared by the task delegate, the response values and the
// completion notification, so that a large body is not copied for each of them. Never null.
// Copies may be read from any thread.
#include <memory>
#include <optional>

#include "platform/foundation/Value.h"

namespace pipeline {

using SharedBody = std::shared_ptr<const std::optional<foundation::Data>>;

inline SharedBody shareBody(std::optional<foundation::Data> body) {
  return std::make_shared<const std::optional<foundation::Data>>(std::move(body));
}

// The body's bytes as a data Value sharing them; null for no body.
inline foundation::Value bodyValue(const SharedBody& body) {
  if (!body || !*body) return foundation::Value();
  return foundation::Value(std::shared_ptr<const foundation::Data>(body, &**body));
}

}  // namespace pipeline
