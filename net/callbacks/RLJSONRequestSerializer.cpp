#include "net/callbacks/RLJSONRequestSerializer.h"

#include "platform/foundation/JSONSerialization.h"

namespace {

constexpr const char* kWritingOptionsKey = "writingOptions";

}  // namespace

std::shared_ptr<RLJSONRequestSerializer> RLJSONRequestSerializer::serializer() {
  return serializerWithWritingOptions(0);
}

std::shared_ptr<RLJSONRequestSerializer> RLJSONRequestSerializer::serializerWithWritingOptions(unsigned writingOptions) {
  auto serializer = std::make_shared<RLJSONRequestSerializer>();
  serializer->setWritingOptions(writingOptions);
  return serializer;
}

RLJSONRequestSerializer::RLJSONRequestSerializer(foundation::KeyedUnarchiver& coder) : RLHTTPRequestSerializer(coder) {
  writingOptions_ = static_cast<unsigned>(
      coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kWritingOptionsKey).uintValue());
}

std::optional<net::URLRequest> RLJSONRequestSerializer::requestBySerializingRequest(
    const net::URLRequest& request, const foundation::Value& parameters, foundation::Error* error) const {
  return requestWithDocumentBody(request, parameters, "application/json", [&](foundation::Error* writeError) {
    if (!foundation::JSONSerialization::isValidJSONObject(parameters)) {
      if (writeError) {
        *writeError = RLRequestSerializationError(RLRequestSerializationErrorCannotWriteParameters,
                                                  "The `parameters` argument is not valid JSON.");
      }
      return std::optional<foundation::Data>();
    }
    return foundation::JSONSerialization::dataWithJSONObject(parameters, writingOptions_, writeError);
  }, error);
}

void RLJSONRequestSerializer::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  RLHTTPRequestSerializer::encodeWithCoder(coder);
  coder.encodeInteger(writingOptions_, kWritingOptionsKey);
}

std::shared_ptr<RLURLRequestSerialization> RLJSONRequestSerializer::copy() const {
  auto copy = std::make_shared<RLJSONRequestSerializer>();
  copyConfigurationInto(*copy);
  copy->writingOptions_ = writingOptions_;
  return copy;
}
