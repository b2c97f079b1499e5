#include "net/callbacks/RLURLResponseSerialization.h"

#include "net/callbacks/RLLocalizedString.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/Set.h"
#include "platform/foundation/String.h"
#include "platform/net/URLError.h"

using foundation::Error;
using foundation::Value;

std::optional<Error> RLErrorWithUnderlyingError(const std::optional<Error>& error, const std::optional<Error>& underlying) {
  if (!error) return underlying;
  if (!underlying || error->underlyingError() || error->userInfo().contains(foundation::kUnderlyingErrorKey)) {
    return error;
  }
  return Error(error->domain(), error->code(), error->userInfo(), std::make_shared<const Error>(*underlying));
}

bool RLErrorOrUnderlyingErrorHasCodeInDomain(const std::optional<Error>& error, long code, const std::string& domain) {
  if (!error) return false;
  for (const Error* current = &*error; current; current = current->underlyingError().get()) {
    if (current->code() == code && current->domain() == domain) return true;
  }
  return false;
}

namespace {

const std::string kStatusCodesKey = "acceptableStatusCodes";
const std::string kContentTypesKey = "acceptableContentTypes";

bool hasURL(const net::URLResponse& response) { return !response.url().relativeString().empty(); }

bool isEmpty(const RLOptionalData& data) { return !data || data->empty(); }

}  // namespace

RLHTTPResponseSerializer::RLHTTPResponseSerializer()
    : acceptableStatusCodes_(foundation::IndexSet::indexSetWithIndexesInRange({200, 100})) {}

RLHTTPResponseSerializer::RLHTTPResponseSerializer(foundation::KeyedUnarchiver& coder) : RLHTTPResponseSerializer() {
  const auto codes = coder.decodeObjectOfClass<foundation::IndexSet>(kStatusCodesKey);
  acceptableStatusCodes_ = codes ? std::optional(*codes) : std::nullopt;

  acceptableContentTypes_.reset();
  const auto types = coder.decodeObjectOfClass(foundation::ArchiveClass::Set, kContentTypesKey).objectAs<foundation::Set>();
  if (!types) return;
  std::set<std::string> names;
  for (const Value& type : types->allObjects()) {
    if (!type.isString()) {
      coder.failWithError(Error(foundation::kCocoaErrorDomain, foundation::kCoderReadCorruptError,
                                {{foundation::kDebugDescriptionErrorKey, Value("A content type is not a string.")}}));
      return;
    }
    names.insert(type.stringValue());
  }
  acceptableContentTypes_ = std::move(names);
}

Error RLHTTPResponseSerializer::makeResponseError(long code, std::string message, const RLURLResponsePtr& response,
                                                const RLOptionalData& data) {
  foundation::Dictionary info{{foundation::kLocalizedDescriptionKey, Value(std::move(message))}};
  if (response) {
    info.set(net::kURLErrorFailingURLErrorKey, Value(std::make_shared<net::URL>(response->url())));
    info.set(RLNetworkingOperationFailingURLResponseErrorKey,
             Value(std::static_pointer_cast<foundation::Object>(std::const_pointer_cast<net::URLResponse>(response))));
  }
  if (data) info.set(RLNetworkingOperationFailingURLResponseDataErrorKey, data.value());
  return Error(RLURLResponseSerializationErrorDomain, code, std::move(info));
}

std::shared_ptr<RLHTTPResponseSerializer> RLHTTPResponseSerializer::serializer() {
  return std::make_shared<RLHTTPResponseSerializer>();
}

bool RLHTTPResponseSerializer::validateResponse(const RLURLResponsePtr& response, const RLOptionalData& data,
                                                RLErrorOut error) const {
  const auto* http = dynamic_cast<const net::HTTPURLResponse*>(response.get());
  if (!http) return true;

  bool valid = true;
  std::optional<Error> validationError;
  if (acceptableContentTypes_) {
    const auto& mimeType = http->mimeType();
    const bool acceptable = mimeType ? acceptableContentTypes_->contains(*mimeType) : isEmpty(data);
    if (!acceptable) {
      valid = false;
      if (!isEmpty(data) && hasURL(*http)) {
        const std::string format = RLLocalizedString("Request failed: unacceptable content-type: %@");
        validationError = makeResponseError(net::URLErrorCannotDecodeContentData,
                                        foundation::stringWithFormat(format, mimeType), response, data);
      }
    }
  }
  if (acceptableStatusCodes_ && hasURL(*http) && !acceptableStatusCodes_->containsIndex(http->statusCode())) {
    valid = false;
    const std::string format = RLLocalizedString("Request failed: %@ (%ld)");
    const std::string message = foundation::stringWithFormat(
        format, net::HTTPURLResponse::localizedStringForStatusCode(http->statusCode()), static_cast<long>(http->statusCode()));
    validationError = RLErrorWithUnderlyingError(
        makeResponseError(net::URLErrorBadServerResponse, message, response, data), validationError);
  }
  if (!valid && error) *error = validationError;
  return valid;
}

foundation::Value RLHTTPResponseSerializer::responseObjectForResponse(const RLURLResponsePtr& response,
                                                                     const RLOptionalData& data, RLErrorOut error) const {
  validateResponse(response, data, error);
  return data.value();
}

bool RLHTTPResponseSerializer::shouldParseAfterValidating(const RLURLResponsePtr& response, const RLOptionalData& data,
                                                          RLErrorOut error) const {
  if (validateResponse(response, data, error)) return true;
  if (!error) return false;
  return !RLErrorOrUnderlyingErrorHasCodeInDomain(*error, net::URLErrorCannotDecodeContentData,
                                                  RLURLResponseSerializationErrorDomain);
}

void RLHTTPResponseSerializer::copyBaseInto(RLHTTPResponseSerializer& target) const {
  target.acceptableStatusCodes_ = acceptableStatusCodes_;
  target.acceptableContentTypes_ = acceptableContentTypes_;
}

std::shared_ptr<RLURLResponseSerialization> RLHTTPResponseSerializer::copy() const {
  auto copied = std::make_shared<RLHTTPResponseSerializer>();
  copyBaseInto(*copied);
  return copied;
}

void RLHTTPResponseSerializer::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(acceptableStatusCodes_ ? Value(std::make_shared<foundation::IndexSet>(*acceptableStatusCodes_))
                                            : Value(),
                     kStatusCodesKey);
  Value types;
  if (acceptableContentTypes_) {
    types = foundation::setValue(std::vector<Value>(acceptableContentTypes_->begin(), acceptableContentTypes_->end()));
  }
  coder.encodeObject(types, kContentTypesKey);
}
