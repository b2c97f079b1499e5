#include "net/callbacks/RLPropertyListResponseSerializer.h"

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

namespace {

const std::string kFormatKey = "format";
const std::string kReadOptionsKey = "readOptions";

}  // namespace

RLPropertyListResponseSerializer::RLPropertyListResponseSerializer() {
  setAcceptableContentTypes(std::set<std::string>{"application/x-plist"});
}

RLPropertyListResponseSerializer::RLPropertyListResponseSerializer(foundation::KeyedUnarchiver& coder)
    : RLHTTPResponseSerializer(coder) {
  format_ = coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kFormatKey).uintValue();
  readOptions_ = coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kReadOptionsKey).uintValue();
}

std::shared_ptr<RLPropertyListResponseSerializer> RLPropertyListResponseSerializer::serializerWithFormat(
    unsigned long format, unsigned long readOptions) {
  auto serializer = std::make_shared<RLPropertyListResponseSerializer>();
  serializer->setFormat(format);
  serializer->setReadOptions(readOptions);
  return serializer;
}

foundation::Value RLPropertyListResponseSerializer::responseObjectForResponse(const RLURLResponsePtr& response,
                                                                             const RLOptionalData& data,
                                                                             RLErrorOut error) const {
  if (!shouldParseAfterValidating(response, data, error) || !data) return foundation::Value();
  foundation::Error readError;
  auto list = foundation::PropertyListSerialization::propertyListWithData(*data, static_cast<unsigned>(readOptions_),
                                                                         nullptr, &readError);
  if (!list) {
    if (error) *error = RLErrorWithUnderlyingError(readError, *error);
    return foundation::Value();
  }
  return std::move(*list);
}

std::shared_ptr<RLURLResponseSerialization> RLPropertyListResponseSerializer::copy() const {
  auto copied = std::make_shared<RLPropertyListResponseSerializer>();
  copyBaseInto(*copied);
  copied->format_ = format_;
  copied->readOptions_ = readOptions_;
  return copied;
}

void RLPropertyListResponseSerializer::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  RLHTTPResponseSerializer::encodeWithCoder(coder);
  coder.encodeObject(foundation::Value(static_cast<unsigned long long>(format_)), kFormatKey);
  coder.encodeObject(foundation::Value(static_cast<unsigned long long>(readOptions_)), kReadOptionsKey);
}
