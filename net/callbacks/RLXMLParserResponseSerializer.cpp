#include "net/callbacks/RLXMLParserResponseSerializer.h"

#include "platform/foundation/XMLParser.h"

RLXMLParserResponseSerializer::RLXMLParserResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/xml", "text/xml"});
}

foundation::Value RLXMLParserResponseSerializer::responseObjectForResponse(const RLURLResponsePtr& response,
                                                                          const RLOptionalData& data,
                                                                          RLErrorOut error) const {
  if (!shouldParseAfterValidating(response, data, error)) return foundation::Value();
  return foundation::Value(std::make_shared<foundation::XMLParser>(data.bytes()));
}

std::shared_ptr<RLURLResponseSerialization> RLXMLParserResponseSerializer::copy() const {
  auto copied = std::make_shared<RLXMLParserResponseSerializer>();
  copyBaseInto(*copied);
  return copied;
}
