#pragma once
// RLXMLParserResponseSerializer validates a response as its base does, accepting the MIME types
// "application/xml" and "text/xml", and hands back an XML parser over the body, not yet run: the
// caller sets its delegate and parses, and only then learns whether the body is well formed.
#include <memory>

#include "net/callbacks/RLURLResponseSerialization.h"

class RLXMLParserResponseSerializer : public RLHTTPResponseSerializer {
 public:
  RLXMLParserResponseSerializer();
  explicit RLXMLParserResponseSerializer(foundation::KeyedUnarchiver& coder) : RLHTTPResponseSerializer(coder) {}

  static std::shared_ptr<RLXMLParserResponseSerializer> serializer() {
    return std::make_shared<RLXMLParserResponseSerializer>();
  }

  // A new foundation::XMLParser over the body (an empty one for nil), or null after a failed
  // validation that stops the family's parsing serializers (see RLHTTPResponseSerializer).
  foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                              RLErrorOut error) const override;
  std::shared_ptr<RLURLResponseSerialization> copy() const override;
};
