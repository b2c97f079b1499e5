#include "net/callbacks/RLPropertyListRequestSerializer.h"

namespace {

constexpr const char* kFormatKey = "format";
constexpr const char* kWriteOptionsKey = "writeOptions";

bool isKnownFormat(std::uint64_t format) {
  using Format = foundation::PropertyListFormat;
  return format == static_cast<unsigned>(Format::OpenStep) || format == static_cast<unsigned>(Format::XML) ||
         format == static_cast<unsigned>(Format::Binary);
}

}  // namespace

std::shared_ptr<RLPropertyListRequestSerializer> RLPropertyListRequestSerializer::serializer() {
  return serializerWithFormat(foundation::PropertyListFormat::XML, 0);
}

std::shared_ptr<RLPropertyListRequestSerializer> RLPropertyListRequestSerializer::serializerWithFormat(
    foundation::PropertyListFormat format, unsigned writeOptions) {
  auto serializer = std::make_shared<RLPropertyListRequestSerializer>();
  serializer->setFormat(format);
  serializer->setWriteOptions(writeOptions);
  return serializer;
}

RLPropertyListRequestSerializer::RLPropertyListRequestSerializer(foundation::KeyedUnarchiver& coder)
    : RLHTTPRequestSerializer(coder) {
  const std::uint64_t format = coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kFormatKey).uintValue();
  if (!isKnownFormat(format)) {
    coder.failWithError(foundation::Error::withDescription(foundation::kCocoaErrorDomain,
                                                           foundation::kCoderReadCorruptError,
                                                           "An archived property-list format is unknown."));
    return;
  }
  format_ = static_cast<foundation::PropertyListFormat>(format);
  writeOptions_ = static_cast<unsigned>(
      coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kWriteOptionsKey).uintValue());
}

std::optional<net::URLRequest> RLPropertyListRequestSerializer::requestBySerializingRequest(
    const net::URLRequest& request, const foundation::Value& parameters, foundation::Error* error) const {
  // No test of its own: what the writer refuses comes back with the writer's error.
  return requestWithDocumentBody(request, parameters, "application/x-plist", [&](foundation::Error* writeError) {
    return foundation::PropertyListSerialization::dataWithPropertyList(parameters, format_, writeOptions_, writeError);
  }, error);
}

void RLPropertyListRequestSerializer::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  RLHTTPRequestSerializer::encodeWithCoder(coder);
  coder.encodeInteger(static_cast<std::int64_t>(format_), kFormatKey);
  coder.encodeObject(foundation::Value(static_cast<unsigned long long>(writeOptions_)), kWriteOptionsKey);
}

std::shared_ptr<RLURLRequestSerialization> RLPropertyListRequestSerializer::copy() const {
  auto copy = std::make_shared<RLPropertyListRequestSerializer>();
  copyConfigurationInto(*copy);
  copy->format_ = format_;
  copy->writeOptions_ = writeOptions_;
  return copy;
}
