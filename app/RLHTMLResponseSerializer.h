#pragma once
// RLHTMLResponseSerializer reads a reply as plain text: the body decoded as UTF-8, whatever the
// status code or content type. The newsletter service answers in a few fixed sentences, and an
// error status still carries one of them, so nothing is validated and no error is ever reported.
//
// Holds no state during a call: safe from any thread, as its base says.
#include <memory>

#include "net/callbacks/RLURLResponseSerialization.h"

class RLHTMLResponseSerializer : public RLHTTPResponseSerializer {
 public:
  RLHTMLResponseSerializer() = default;

  // The body as a text value ("" for an empty or missing body), or null when it is not valid
  // UTF-8. Never touches *error.
  foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                              RLErrorOut error) const override;
  // A new RLHTMLResponseSerializer with the base's sets.
  std::shared_ptr<RLURLResponseSerialization> copy() const override;
};
