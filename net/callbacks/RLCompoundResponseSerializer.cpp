#include "net/callbacks/RLCompoundResponseSerializer.h"

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

namespace {

const std::string kSerializersKey = "responseSerializers";

}  // namespace

RLCompoundResponseSerializer::RLCompoundResponseSerializer(foundation::KeyedUnarchiver& coder)
    : RLHTTPResponseSerializer(coder) {
  const foundation::Value list =
      coder.decodeObjectOfClasses({foundation::ArchiveClass::Array, "RLHTTPResponseSerializer"}, kSerializersKey);
  for (const foundation::Value& element : list.arrayValue()) {
    if (auto serializer = element.objectAs<RLURLResponseSerialization>()) {
      responseSerializers_.push_back(std::move(serializer));
    }
  }
}

std::shared_ptr<RLCompoundResponseSerializer> RLCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
    Serializers serializers) {
  auto compound = std::make_shared<RLCompoundResponseSerializer>();
  compound->setResponseSerializers(std::move(serializers));
  return compound;
}

foundation::Value RLCompoundResponseSerializer::responseObjectForResponse(const RLURLResponsePtr& response,
                                                                         const RLOptionalData& data,
                                                                         RLErrorOut error) const {
  for (const auto& candidate : responseSerializers_) {
    if (!dynamic_cast<const RLHTTPResponseSerializer*>(candidate.get())) continue;
    std::optional<foundation::Error> ownError;
    foundation::Value object = candidate->responseObjectForResponse(response, data, &ownError);
    if (object.isNull()) continue;
    if (error) *error = RLErrorWithUnderlyingError(ownError, *error);
    return object;
  }
  return RLHTTPResponseSerializer::responseObjectForResponse(response, data, error);
}

std::shared_ptr<RLURLResponseSerialization> RLCompoundResponseSerializer::copy() const {
  auto copied = std::make_shared<RLCompoundResponseSerializer>();
  copyBaseInto(*copied);
  copied->responseSerializers_ = responseSerializers_;
  return copied;
}

void RLCompoundResponseSerializer::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  RLHTTPResponseSerializer::encodeWithCoder(coder);
  foundation::Array list;
  for (const auto& serializer : responseSerializers_) {
    if (serializer) list.emplace_back(std::static_pointer_cast<foundation::Object>(serializer));
  }
  coder.encodeObject(foundation::Value(std::move(list)), kSerializersKey);
}
