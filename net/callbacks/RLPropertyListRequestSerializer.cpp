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
  if (encodesParametersInURI(request)) {
    return RLHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
  }
  net::URLRequest mutableRequest = requestWithDefaultHeaders(request);
  if (parameters.isNull()) return mutableRequest;
  if (!mutableRequest.valueForHTTPHeaderField("Content-Type")) {
    mutableRequest.setValue("application/x-plist", "Content-Type");
  }
  auto body = foundation::PropertyListSerialization::dataWithPropertyList(parameters, format_, writeOptions_, error);
  if (!body) return std::nullopt;
  mutableRequest.setHTTPBody(std::move(*body));
  return mutableRequest;
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
