#include "net/callbacks/RLHTTPRequestSerializer.h"

#include <cerrno>
#include <cstdio>
#include <mutex>

#include "net/callbacks/RLArchivableClasses.h"
#include "net/callbacks/RLQueryStringPair.h"
#include "net/callbacks/RLStreamingMultipartFormData.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/String.h"
#include "platform/security/Base64.h"

struct RLHTTPRequestSerializer::HeaderTable {
  net::HTTPHeaderFields fields;
};

namespace {

constexpr const char* kHeadersKey = "mutableHTTPRequestHeaders";
constexpr const char* kStyleKey = "queryStringSerializationStyle";
// Bytes copied at a time when a body stream is written to a file.
constexpr std::size_t kCopyChunk = 1024;

foundation::Value observedValue(bool value) { return foundation::Value(value); }
foundation::Value observedValue(unsigned value) { return foundation::Value(value); }
foundation::Value observedValue(double value) { return foundation::Value(value); }
foundation::Value observedValue(net::URLRequestCachePolicy value) {
  return foundation::Value(static_cast<unsigned>(value));
}

// The preferred languages with falling quality, 1 down to 0.5: at most six are listed.
std::string acceptLanguage() {
  std::string value;
  const auto languages = foundation::Locale::preferredLanguages();
  for (std::size_t i = 0; i < languages.size(); ++i) {
    const float quality = static_cast<float>(i) * -0.1f + 1.0f;
    char text[16];
    std::snprintf(text, sizeof text, "%0.1g", static_cast<double>(quality));
    if (i) value += ", ";
    value += languages[i] + ";q=" + text;
    if (quality <= 0.5f) break;
  }
  return value;
}

// An information value as a format prints it; "(null)" when absent.
std::string infoText(const foundation::Value& value) {
  if (value.isNull()) return "(null)";
  return value.isString() ? value.stringValue() : value.description();
}

std::string userAgent() {
  const auto bundle = foundation::Bundle::mainBundle();
  foundation::Value name = bundle->objectForInfoDictionaryKey(foundation::kCFBundleExecutableKey);
  if (name.isNull()) name = bundle->objectForInfoDictionaryKey(foundation::kCFBundleIdentifierKey);
  // A program without information keys still has a name: the main bundle answers the process's.
  if (name.isNull()) {
    if (auto identifier = bundle->bundleIdentifier()) name = *identifier;
  }
  foundation::Value version = bundle->objectForInfoDictionaryKey(foundation::kCFBundleShortVersionStringKey);
  if (version.isNull()) version = bundle->objectForInfoDictionaryKey(foundation::kCFBundleVersionKey);
  const std::string agent = infoText(name) + "/" + infoText(version) + " (Linux " +
                            foundation::ProcessInfo::processInfo().operatingSystemVersionString() + ")";
  if (foundation::isASCII(agent)) return agent;
  // Header values are ASCII: spell other scripts in Latin letters and drop what has no ASCII form.
  auto ascii = foundation::applyingTransform(agent, "Any-Latin; Latin-ASCII; [:^ASCII:] Remove");
  return ascii ? *ascii : agent;
}

// `url` with `query` added to its query, before any fragment.
std::optional<net::URL> appendingQuery(const net::URL& url, const std::string& query) {
  std::string text = url.absoluteString();
  std::string fragment;
  if (const auto hash = text.find('#'); hash != std::string::npos) {
    fragment = text.substr(hash);
    text.erase(hash);
  }
  text += (url.query() ? "&" : "?") + query + fragment;
  return net::URL::fromString(text);
}

foundation::Error notADictionary() {
  return RLRequestSerializationError(RLRequestSerializationErrorCannotWriteParameters,
                                     "The `parameters` argument is not a dictionary of form fields.");
}

}  // namespace

// ---- Set-up ----------------------------------------------------------------------------------

const std::array<std::string_view, 6>& RLHTTPRequestSerializer::observedRequestPropertyNames() {
  static const std::array<std::string_view, 6> names{"allowsCellularAccess",    "cachePolicy",
                                                     "HTTPShouldHandleCookies", "HTTPShouldUsePipelining",
                                                     "networkServiceType",      "timeoutInterval"};
  return names;
}

std::shared_ptr<RLHTTPRequestSerializer> RLHTTPRequestSerializer::serializer() {
  return std::make_shared<RLHTTPRequestSerializer>();
}

RLHTTPRequestSerializer::RLHTTPRequestSerializer()
    : headers_(std::make_shared<HeaderTable>()),
      requestHeaderModificationQueue_(dispatch::Queue::createConcurrent("requestHeaderModificationQueue")) {
  // A serializer can be archived as soon as it exists.
  static std::once_flag registered;
  std::call_once(registered, RLRegisterArchivableClasses);
  setValue(acceptLanguage(), "Accept-Language");
  setValue(userAgent(), "User-Agent");
  // The serializer watches its own request properties: a property set once is copied into
  // every request from then on.
  for (const auto name : observedRequestPropertyNames()) {
    observations_.push_back(addObserver(std::string(name), [this, key = std::string(name)](const foundation::Value&,
                                                                                            const foundation::Value& now) {
      if (now.isNull()) {
        observedChangedKeyPaths_.erase(key);
      } else {
        observedChangedKeyPaths_.insert(key);
      }
    }));
  }
}

RLHTTPRequestSerializer::RLHTTPRequestSerializer(foundation::KeyedUnarchiver& coder) : RLHTTPRequestSerializer() {
  const foundation::Value archived = coder.decodeObjectOfClass(foundation::ArchiveClass::Dictionary, kHeadersKey);
  if (archived.isDictionary()) {
    net::HTTPHeaderFields fields;
    for (const auto& [field, value] : archived.dictionaryValue()) {
      if (!value.isString()) {
        coder.failWithError(foundation::Error::withDescription(foundation::kCocoaErrorDomain,
                                                               foundation::kCoderReadCorruptError,
                                                               "An archived request header is not text."));
        return;
      }
      fields.set(field, value.stringValue());
    }
    replaceHeaders(std::move(fields));
  }
  queryStringStyle_ = static_cast<unsigned>(
      coder.decodeObjectOfClass(foundation::ArchiveClass::Number, kStyleKey).uintValue());
}

RLHTTPRequestSerializer::~RLHTTPRequestSerializer() {
  for (const auto token : observations_) removeObserver(token);
}

// ---- Request properties ----------------------------------------------------------------------

template <class T>
void RLHTTPRequestSerializer::setObserved(const char* key, T& field, T value) {
  willChangeValueForKey(key, observedValue(field));
  field = value;
  didChangeValueForKey(key, observedValue(field));
}

void RLHTTPRequestSerializer::setAllowsCellularAccess(bool value) {
  setObserved("allowsCellularAccess", allowsCellularAccess_, value);
}
void RLHTTPRequestSerializer::setCachePolicy(net::URLRequestCachePolicy value) {
  setObserved("cachePolicy", cachePolicy_, value);
}
void RLHTTPRequestSerializer::setHTTPShouldHandleCookies(bool value) {
  setObserved("HTTPShouldHandleCookies", HTTPShouldHandleCookies_, value);
}
void RLHTTPRequestSerializer::setHTTPShouldUsePipelining(bool value) {
  setObserved("HTTPShouldUsePipelining", HTTPShouldUsePipelining_, value);
}
void RLHTTPRequestSerializer::setNetworkServiceType(unsigned value) {
  setObserved("networkServiceType", networkServiceType_, value);
}
void RLHTTPRequestSerializer::setTimeoutInterval(double seconds) {
  setObserved("timeoutInterval", timeoutInterval_, seconds);
}

// ---- Default headers -------------------------------------------------------------------------

net::HTTPHeaderFields RLHTTPRequestSerializer::HTTPRequestHeaders() const {
  net::HTTPHeaderFields snapshot;
  requestHeaderModificationQueue_->sync([&] { snapshot = headers_->fields; });
  return snapshot;
}

void RLHTTPRequestSerializer::setValue(std::optional<std::string> value, const std::string& field) {
  requestHeaderModificationQueue_->asyncBarrier([table = headers_, value = std::move(value), field] {
    if (value) {
      table->fields.set(field, *value);
    } else {
      table->fields.remove(field);
    }
  });
}

std::optional<std::string> RLHTTPRequestSerializer::valueForHTTPHeaderField(const std::string& field) const {
  std::optional<std::string> value;
  requestHeaderModificationQueue_->sync([&] { value = headers_->fields.value(field); });
  return value;
}

void RLHTTPRequestSerializer::setAuthorizationHeaderFieldWithUsername(const std::string& username,
                                                                      const std::string& password) {
  setValue("Basic " + security::base64EncodedString(username + ":" + password), "Authorization");
}

void RLHTTPRequestSerializer::clearAuthorizationHeader() { setValue(std::nullopt, "Authorization"); }

void RLHTTPRequestSerializer::replaceHeaders(net::HTTPHeaderFields headers) {
  // A barrier, so that it lands after the defaults the constructor queued.
  requestHeaderModificationQueue_->asyncBarrier(
      [table = headers_, headers = std::move(headers)] { table->fields = headers; });
}

// ---- Query text ------------------------------------------------------------------------------

void RLHTTPRequestSerializer::setQueryStringSerializationWithStyle(unsigned style) {
  queryStringStyle_ = style;
  queryStringSerialization_ = nullptr;
}

void RLHTTPRequestSerializer::setQueryStringSerializationWithBlock(QueryStringSerializationBlock block) {
  queryStringSerialization_ = std::move(block);
}

// ---- Requests --------------------------------------------------------------------------------

std::optional<net::URLRequest> RLHTTPRequestSerializer::requestWithMethod(const std::string& method,
                                                                          const std::string& URLString,
                                                                          const foundation::Value& parameters,
                                                                          foundation::Error* error) const {
  net::URLRequest request;
  request.setURL(net::URL::fromString(URLString));
  request.setHTTPMethod(method);
  for (const auto name : observedRequestPropertyNames()) {
    if (!observedChangedKeyPaths_.contains(std::string(name))) continue;
    if (name == "allowsCellularAccess") request.setAllowsCellularAccess(allowsCellularAccess_);
    if (name == "cachePolicy") request.setCachePolicy(cachePolicy_);
    if (name == "HTTPShouldHandleCookies") request.setHTTPShouldHandleCookies(HTTPShouldHandleCookies_);
    if (name == "HTTPShouldUsePipelining") request.setHTTPShouldUsePipelining(HTTPShouldUsePipelining_);
    if (name == "networkServiceType") request.setNetworkServiceType(networkServiceType_);
    if (name == "timeoutInterval") request.setTimeoutInterval(timeoutInterval_);
  }
  return requestBySerializingRequest(request, parameters, error);
}

net::URLRequest RLHTTPRequestSerializer::requestWithDefaultHeaders(const net::URLRequest& request) const {
  net::URLRequest copy = request;
  for (const auto& [field, value] : HTTPRequestHeaders()) {
    if (!request.valueForHTTPHeaderField(field)) copy.setValue(value, field);
  }
  return copy;
}

bool RLHTTPRequestSerializer::encodesParametersInURI(const net::URLRequest& request) const {
  return methodsInURI_.contains(foundation::uppercase(request.httpMethod()));
}

std::optional<net::URLRequest> RLHTTPRequestSerializer::requestBySerializingRequest(
    const net::URLRequest& request, const foundation::Value& parameters, foundation::Error* error) const {
  net::URLRequest mutableRequest = requestWithDefaultHeaders(request);

  std::optional<std::string> query;
  if (!parameters.isNull()) {
    if (queryStringSerialization_) {
      std::optional<foundation::Error> blockError;
      query = queryStringSerialization_(request, parameters, blockError);
      if (blockError) {
        if (error) *error = std::move(*blockError);
        return std::nullopt;
      }
    } else if (queryStringStyle_ == RLHTTPRequestQueryStringDefaultStyle) {
      if (!parameters.isDictionary()) {
        if (error) *error = notADictionary();
        return std::nullopt;
      }
      query = RLQueryStringFromParameters(parameters);
    }
  }

  if (encodesParametersInURI(request)) {
    if (query && !query->empty() && mutableRequest.url()) {
      mutableRequest.setURL(appendingQuery(*mutableRequest.url(), *query));
    }
    return mutableRequest;
  }

  if (!mutableRequest.valueForHTTPHeaderField("Content-Type")) {
    mutableRequest.setValue("application/x-www-form-urlencoded", "Content-Type");
  }
  auto body = RLEncodedString(query.value_or(""), stringEncoding_);
  if (!body) {
    if (error) {
      *error = RLRequestSerializationError(RLRequestSerializationErrorCannotWriteParameters,
                                           "The query text cannot be written in the serializer's string encoding.");
    }
    return std::nullopt;
  }
  mutableRequest.setHTTPBody(std::move(*body));
  return mutableRequest;
}

std::optional<net::URLRequest> RLHTTPRequestSerializer::requestWithDocumentBody(
    const net::URLRequest& request, const foundation::Value& parameters, const std::string& contentType,
    const DocumentWriter& write, foundation::Error* error) const {
  if (encodesParametersInURI(request)) return RLHTTPRequestSerializer::requestBySerializingRequest(request, parameters, error);
  net::URLRequest mutableRequest = requestWithDefaultHeaders(request);
  if (parameters.isNull()) return mutableRequest;
  if (!mutableRequest.valueForHTTPHeaderField("Content-Type")) mutableRequest.setValue(contentType, "Content-Type");
  auto body = write(error);
  if (!body) return std::nullopt;
  mutableRequest.setHTTPBody(std::move(*body));
  return mutableRequest;
}

std::optional<net::URLRequest> RLHTTPRequestSerializer::multipartFormRequestWithMethod(
    const std::string& method, const std::string& URLString, const foundation::Value& parameters,
    const MultipartFormDataBlock& block, foundation::Error* error) const {
  if (!parameters.isNull() && !parameters.isDictionary()) {
    if (error) *error = notADictionary();
    return std::nullopt;
  }
  auto request = requestWithMethod(method, URLString, foundation::Value(), error);
  if (!request) return std::nullopt;

  // Boundaries and part headers are UTF-8 whatever the form body's encoding is.
  RLStreamingMultipartFormData formData(*request, RLStringEncoding::UTF8);
  if (!parameters.isNull()) {
    for (const auto& pair : RLQueryStringPairsFromKeyAndValue(foundation::Value(), parameters)) {
      std::optional<foundation::Data> data;
      if (pair.value.isData()) {
        data = pair.value.dataValue();
      } else if (pair.value.isNull()) {
        data = foundation::Data();
      } else {
        data = RLEncodedString(RLQueryStringDescription(pair.value), stringEncoding_);
      }
      if (data) formData.appendPartWithFormData(*data, RLQueryStringDescription(pair.field));
    }
  }
  if (block) block(formData);
  if (const auto& refused = formData.appendError()) {
    if (error) *error = *refused;
    return std::nullopt;
  }
  return formData.requestByFinalizingMultipartFormData();
}

net::URLRequest RLHTTPRequestSerializer::requestWithMultipartFormRequest(const net::URLRequest& request,
                                                                         const net::URL& fileURL,
                                                                         StreamWriteCompletion completion) const {
  auto input = request.httpBodyStream();
  std::shared_ptr<foundation::OutputStream> output;
  if (fileURL.isFileURL()) output = foundation::OutputStream::toFileAtPath(fileURL.path(), false);

  dispatch::Queue::global()->async([input, output, completion = std::move(completion)] {
    std::optional<foundation::Error> failure;
    auto streamFailure = [](const foundation::Stream& stream) -> std::optional<foundation::Error> {
      if (stream.streamStatus() != foundation::Stream::Status::Error) return std::nullopt;
      auto error = stream.streamError();
      return error ? error : foundation::Error::posix(EIO);
    };
    if (!output) {
      failure = RLRequestSerializationError(RLRequestSerializationErrorBadArgument, "Expected URL to be a file URL");
    } else {
      output->open();
      if (input) input->open();
      failure = streamFailure(*output);
      if (!failure && input) failure = streamFailure(*input);
      std::uint8_t buffer[kCopyChunk];
      while (!failure && input && input->hasBytesAvailable()) {
        const long count = input->read(buffer, sizeof buffer);
        if (count < 0) {
          failure = streamFailure(*input);
          if (!failure) failure = foundation::Error::posix(EIO);
          break;
        }
        if (count == 0) break;
        // A file stream may take fewer bytes than offered; writeAll loops until all are taken.
        if (!output->writeAll(buffer, static_cast<std::size_t>(count))) {
          failure = streamFailure(*output);
          if (!failure) failure = foundation::Error::posix(ENOSPC);
        }
      }
      output->close();
      if (input) input->close();
    }
    if (completion) dispatch::Queue::main()->async([completion, failure] { completion(failure); });
  });

  net::URLRequest copy = request;
  copy.setHTTPBodyStream(nullptr);
  return copy;
}

// ---- Archiving and copying -------------------------------------------------------------------

void RLHTTPRequestSerializer::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(foundation::Value(HTTPRequestHeaders().dictionary()), kHeadersKey);
  coder.encodeInteger(queryStringStyle_, kStyleKey);
}

void RLHTTPRequestSerializer::copyConfigurationInto(RLHTTPRequestSerializer& target) const {
  target.replaceHeaders(HTTPRequestHeaders());
  target.queryStringStyle_ = queryStringStyle_;
  target.queryStringSerialization_ = queryStringSerialization_;
}

std::shared_ptr<RLURLRequestSerialization> RLHTTPRequestSerializer::copy() const {
  auto copy = std::make_shared<RLHTTPRequestSerializer>();
  copyConfigurationInto(*copy);
  return copy;
}
