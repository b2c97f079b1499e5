#include "net/callbacks/RLXMLDocumentResponseSerializer.h"

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/XMLDocument.h"

namespace {

const std::string kOptionsKey = "options";

}  // namespace

RLXMLDocumentResponseSerializer::RLXMLDocumentResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/xml", "text/xml"});
}

RLXMLDocumentResponseSerializer::RLXMLDocumentResponseSerializer(foundation::KeyedUnarchiver& coder)
    : RLHTTPResponseSerializer(coder) {
  options_ = coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kOptionsKey).uintValue();
}

std::shared_ptr<RLXMLDocumentResponseSerializer> RLXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(
    unsigned long options) {
  auto serializer = std::make_shared<RLXMLDocumentResponseSerializer>();
  serializer->setOptions(options);
  return serializer;
}

foundation::Value RLXMLDocumentResponseSerializer::responseObjectForResponse(const RLURLResponsePtr& response,
                                                                            const RLOptionalData& data,
                                                                            RLErrorOut error) const {
  if (!shouldParseAfterValidating(response, data, error)) return foundation::Value();
  foundation::Error parseError;
  auto document = foundation::XMLDocument::documentWithData(data.bytes(),
                                                            static_cast<unsigned>(options_), &parseError);
  if (!document) {
    if (error) *error = RLErrorWithUnderlyingError(parseError, *error);
    return foundation::Value();
  }
  return foundation::Value(std::static_pointer_cast<foundation::Object>(document));
}

std::shared_ptr<RLURLResponseSerialization> RLXMLDocumentResponseSerializer::copy() const {
  auto copied = std::make_shared<RLXMLDocumentResponseSerializer>();
  copyBaseInto(*copied);
  copied->options_ = options_;
  return copied;
}

void RLXMLDocumentResponseSerializer::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  RLHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeObject(foundation::Value(static_cast<unsigned long long>(options_)), kOptionsKey);
}
