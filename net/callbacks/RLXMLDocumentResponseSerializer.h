#pragma once
// RLXMLDocumentResponseSerializer validates a response as its base does, accepting the MIME
// types "application/xml" and "text/xml", and builds an XML document from the body.
#include <memory>

#include "net/callbacks/RLURLResponseSerialization.h"

class RLXMLDocumentResponseSerializer : public RLHTTPResponseSerializer {
 public:
  RLXMLDocumentResponseSerializer();
  // The base decoding, then "options".
  explicit RLXMLDocumentResponseSerializer(foundation::KeyedUnarchiver& coder);

  static std::shared_ptr<RLXMLDocumentResponseSerializer> serializer() { return serializerWithXMLDocumentOptions(0); }
  static std::shared_ptr<RLXMLDocumentResponseSerializer> serializerWithXMLDocumentOptions(unsigned long options);

  // foundation::XMLDocumentOptions bits for building the document.
  unsigned long options() const { return options_; }
  void setOptions(unsigned long options) { options_ = options; }

  // A foundation::XMLDocument of the body, or null: after a failed validation that stops the
  // family's parsing serializers, or when the body is no well-formed document, in which case the
  // parser's error goes to *error with any validation error under it.
  foundation::Value responseObjectForResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                              RLErrorOut error) const override;
  std::shared_ptr<RLURLResponseSerialization> copy() const override;
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

 private:
  unsigned long options_ = 0;
};
