#include "net/pipeline/PipelineError.h"

#include <cctype>
#include <utility>

namespace pipeline {
namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

using PE = PipelineError::ParameterEncodingFailureReason;
using ME = PipelineError::MultipartEncodingFailureReason;
using RV = PipelineError::ResponseValidationFailureReason;
using RS = PipelineError::ResponseSerializationFailureReason;

std::string joined(const std::vector<std::string>& types) {
  std::string out;
  for (std::size_t i = 0; i < types.size(); ++i) out += (i ? "," : "") + types[i];
  return out;
}

std::string message(const PE& reason) {
  return std::visit(
      Overloaded{
          [](const PE::MissingURL&) -> std::string { return "URL request to encode was missing a URL"; },
          [](const PE::JSONEncodingFailed& r) {
            return "JSON could not be encoded because of error:\n" + r.error.localizedDescription();
          },
          [](const PE::PropertyListEncodingFailed& r) {
            return "PropertyList could not be encoded because of error:\n" + r.error.localizedDescription();
          },
      },
      reason.value);
}

std::string message(const ME& reason) {
  return std::visit(
      Overloaded{
          [](const ME::BodyPartURLInvalid& r) { return "The URL provided is not a file URL: " + r.url.description(); },
          [](const ME::BodyPartFilenameInvalid& r) {
            return "The URL provided does not have a valid filename: " + r.url.description();
          },
          [](const ME::BodyPartFileNotReachable& r) {
            return "The URL provided is not reachable: " + r.url.description();
          },
          [](const ME::BodyPartFileNotReachableWithError& r) {
            return "The system returned an error while checking the provided URL for reachability.\nURL: " +
                   r.url.description() + "\nError: " + r.error.description();
          },
          [](const ME::BodyPartFileIsDirectory& r) { return "The URL provided is a directory: " + r.url.description(); },
          [](const ME::BodyPartFileSizeNotAvailable& r) {
            return "Could not fetch the file size from the provided URL: " + r.url.description();
          },
          [](const ME::BodyPartFileSizeQueryFailedWithError& r) {
            return "The system returned an error while attempting to fetch the file size from the provided URL.\nURL: " +
                   r.url.description() + "\nError: " + r.error.description();
          },
          [](const ME::BodyPartInputStreamCreationFailed& r) {
            return "Failed to create an InputStream for the provided URL: " + r.url.description();
          },
          [](const ME::OutputStreamCreationFailed& r) {
            return "Failed to create an OutputStream for URL: " + r.url.description();
          },
          [](const ME::OutputStreamFileAlreadyExists& r) {
            return "A file already exists at the provided URL: " + r.url.description();
          },
          [](const ME::OutputStreamURLInvalid& r) {
            return "The provided OutputStream URL is invalid: " + r.url.description();
          },
          [](const ME::OutputStreamWriteFailed& r) {
            return "OutputStream write failed with error: " + r.error.description();
          },
          [](const ME::InputStreamReadFailed& r) {
            return "InputStream read failed with error: " + r.error.description();
          },
      },
      reason.value);
}

std::string message(const RV& reason) {
  return std::visit(
      Overloaded{
          [](const RV::DataFileNil&) -> std::string { return "Response could not be validated, data file was nil."; },
          [](const RV::DataFileReadFailed& r) {
            return "Response could not be validated, data file could not be read: " + r.url.description() + ".";
          },
          [](const RV::MissingContentType& r) {
            return "Response Content-Type was missing and acceptable content types (" +
                   joined(r.acceptableContentTypes) + ") do not match \"*/*\".";
          },
          [](const RV::UnacceptableContentType& r) {
            return "Response Content-Type \"" + r.responseContentType +
                   "\" does not match any acceptable types: " + joined(r.acceptableContentTypes) + ".";
          },
          [](const RV::UnacceptableStatusCode& r) {
            return "Response status code was unacceptable: " + std::to_string(r.code) + ".";
          },
      },
      reason.value);
}

std::string message(const RS& reason) {
  return std::visit(
      Overloaded{
          [](const RS::InputDataNil&) -> std::string { return "Response could not be serialized, input data was nil."; },
          [](const RS::InputDataNilOrZeroLength&) -> std::string {
            return "Response could not be serialized, input data was nil or zero length.";
          },
          [](const RS::InputFileNil&) -> std::string { return "Response could not be serialized, input file was nil."; },
          [](const RS::InputFileReadFailed& r) {
            return "Response could not be serialized, input file could not be read: " + r.url.description() + ".";
          },
          [](const RS::StringSerializationFailed& r) {
            return "String could not be serialized with encoding: " + describeStringEncoding(r.encoding) + ".";
          },
          [](const RS::JSONSerializationFailed& r) {
            return "JSON could not be serialized because of error:\n" + r.error.localizedDescription();
          },
          [](const RS::PropertyListSerializationFailed& r) {
            return "PropertyList could not be serialized because of error:\n" + r.error.localizedDescription();
          },
      },
      reason.value);
}

// The URL of a multipart reason, if it has one.
std::optional<net::URL> urlOf(const ME& reason) {
  return std::visit(
      [](const auto& r) -> std::optional<net::URL> {
        if constexpr (requires { r.url; }) {
          return r.url;
        } else {
          return std::nullopt;
        }
      },
      reason.value);
}

template <class Reason>
std::optional<AnyError> errorOf(const Reason& reason) {
  return std::visit(
      [](const auto& r) -> std::optional<AnyError> {
        if constexpr (requires { r.error; }) {
          return r.error;
        } else {
          return std::nullopt;
        }
      },
      reason.value);
}

// The Swift-style name of a case: the struct name with a lower-case first letter.
template <class Variant>
std::string caseName(const Variant& value) {
  return std::visit(
      [](const auto& c) {
        std::string name = detail::typeName(typeid(c));
        const auto colon = name.rfind(':');
        if (colon != std::string::npos) name = name.substr(colon + 1);
        if (!name.empty()) name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
        return name;
      },
      value);
}

// A variant holding the case C built from `arguments`. Built in place where the compiler can
// initialise an aggregate from parentheses: GCC 12 warns falsely of uninitialised use when these
// variants are moved from temporaries inlined into callers. Clang 14 cannot, so there the case
// is braced and moved in (it gives no such warning).
template <class Variant, class C, class... Arguments>
Variant makeCase(Arguments&&... arguments) {
#if defined(__cpp_aggregate_paren_init)
  return Variant(std::in_place_type<C>, std::forward<Arguments>(arguments)...);
#else
  return Variant(std::in_place_type<C>, C{std::forward<Arguments>(arguments)...});
#endif
}

}  // namespace

// Out of line, so that the cases are built here and not in every caller.
RV RV::dataFileNil() { return {DataFileNil{}}; }
RV RV::dataFileReadFailed(net::URL url) { return {DataFileReadFailed{std::move(url)}}; }
RV RV::missingContentType(std::vector<std::string> acceptableContentTypes) {
  return {makeCase<decltype(RV::value), MissingContentType>(std::move(acceptableContentTypes))};
}
RV RV::unacceptableContentType(std::vector<std::string> acceptableContentTypes, std::string responseContentType) {
  return {makeCase<decltype(RV::value), UnacceptableContentType>(std::move(acceptableContentTypes),
                                                                 std::move(responseContentType))};
}
RV RV::unacceptableStatusCode(long code) { return {UnacceptableStatusCode{code}}; }

PipelineError::PipelineError(Case value) : value_(std::move(value)) {}
PipelineError PipelineError::invalidURL(URLConvertible url) {
  return PipelineError(makeCase<Case, InvalidURL>(std::move(url)));
}
PipelineError PipelineError::parameterEncodingFailed(PE reason) {
  return PipelineError(makeCase<Case, ParameterEncodingFailed>(std::move(reason)));
}
PipelineError PipelineError::multipartEncodingFailed(ME reason) {
  return PipelineError(makeCase<Case, MultipartEncodingFailed>(std::move(reason)));
}
PipelineError PipelineError::responseValidationFailed(RV reason) {
  return PipelineError(makeCase<Case, ResponseValidationFailed>(std::move(reason)));
}
PipelineError PipelineError::responseSerializationFailed(RS reason) {
  return PipelineError(makeCase<Case, ResponseSerializationFailed>(std::move(reason)));
}

std::optional<URLConvertible> PipelineError::urlConvertible() const {
  if (auto* c = as<InvalidURL>()) return c->url;
  return std::nullopt;
}

std::optional<net::URL> PipelineError::url() const {
  if (auto* c = as<MultipartEncodingFailed>()) return urlOf(c->reason);
  return std::nullopt;
}

std::optional<AnyError> PipelineError::underlyingError() const {
  if (auto* c = as<ParameterEncodingFailed>()) return errorOf(c->reason);
  if (auto* c = as<MultipartEncodingFailed>()) return errorOf(c->reason);
  if (auto* c = as<ResponseSerializationFailed>()) return errorOf(c->reason);
  return std::nullopt;
}

std::optional<std::vector<std::string>> PipelineError::acceptableContentTypes() const {
  auto* c = as<ResponseValidationFailed>();
  if (!c) return std::nullopt;
  if (auto* r = c->reason.as<RV::MissingContentType>()) return r->acceptableContentTypes;
  if (auto* r = c->reason.as<RV::UnacceptableContentType>()) return r->acceptableContentTypes;
  return std::nullopt;
}

std::optional<std::string> PipelineError::responseContentType() const {
  auto* c = as<ResponseValidationFailed>();
  if (!c) return std::nullopt;
  if (auto* r = c->reason.as<RV::UnacceptableContentType>()) return r->responseContentType;
  return std::nullopt;
}

std::optional<long> PipelineError::responseCode() const {
  auto* c = as<ResponseValidationFailed>();
  if (!c) return std::nullopt;
  if (auto* r = c->reason.as<RV::UnacceptableStatusCode>()) return r->code;
  return std::nullopt;
}

std::optional<foundation::StringEncoding> PipelineError::failedStringEncoding() const {
  auto* c = as<ResponseSerializationFailed>();
  if (!c) return std::nullopt;
  if (auto* r = c->reason.as<RS::StringSerializationFailed>()) return r->encoding;
  return std::nullopt;
}

std::optional<std::string> PipelineError::errorDescription() const {
  return std::visit(Overloaded{
                        [](const InvalidURL& c) { return "URL is not valid: " + c.url.description(); },
                        [](const ParameterEncodingFailed& c) { return message(c.reason); },
                        [](const MultipartEncodingFailed& c) { return message(c.reason); },
                        [](const ResponseValidationFailed& c) { return message(c.reason); },
                        [](const ResponseSerializationFailed& c) { return message(c.reason); },
                    },
                    value_);
}

std::string PipelineError::description() const {
  std::string name = "PipelineError." + caseName(value_);
  std::visit(
      [&name](const auto& c) {
        if constexpr (requires { c.reason; }) name += "(reason: " + caseName(c.reason.value) + ")";
      },
      value_);
  return name + ": " + *errorDescription();
}

std::string describeStringEncoding(foundation::StringEncoding encoding) {
  switch (encoding) {
    case foundation::StringEncoding::ASCII: return "Western (ASCII)";
    case foundation::StringEncoding::UTF8: return "Unicode (UTF-8)";
    case foundation::StringEncoding::ISOLatin1: return "Western (ISO Latin 1)";
    case foundation::StringEncoding::UTF16BigEndian: return "Unicode (UTF-16BE)";
    case foundation::StringEncoding::UTF16LittleEndian: return "Unicode (UTF-16LE)";
  }
  return "Unknown encoding (" + std::to_string(static_cast<std::uint64_t>(encoding)) + ")";
}

}  // namespace pipeline
