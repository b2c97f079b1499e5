#pragma once
// PipelineError is the error of every failure the HTTP client detects by itself: a value that is
// no URL, parameters the encoder refuses, a multipart body that cannot be built, a response that
// fails validation or serialization. Each failure is one case; four cases carry a reason, itself a
// small variant of named cases whose fields keep the details. Callers inspect it through the
// predicates and accessors and show it through errorDescription().
//
// Cases are C++ structs named after the Swift cases with a capital first letter
// (`invalidURL` -> InvalidURL); the factories keep the Swift names. Every URL field is named `url`
// and every error field `error`, whatever label the case uses (`for` is a C++ keyword).
//
// Values are immutable once made and copied by value; the associated errors are AnyError handles,
// shared between copies. Safe to read from any thread.
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "net/pipeline/Result.h"
#include "net/pipeline/URLConvertible.h"
#include "platform/foundation/StringEncoding.h"
#include "platform/net/URL.h"

namespace pipeline {

class PipelineError {
 public:
  struct ParameterEncodingFailureReason {
    struct JSONEncodingFailed { AnyError error; };
    struct PropertyListEncodingFailed { AnyError error; };
    struct MissingURL {};
    std::variant<JSONEncodingFailed, PropertyListEncodingFailed, MissingURL> value;

    static ParameterEncodingFailureReason jsonEncodingFailed(AnyError error) { return {JSONEncodingFailed{std::move(error)}}; }
    static ParameterEncodingFailureReason propertyListEncodingFailed(AnyError error) {
      return {PropertyListEncodingFailed{std::move(error)}};
    }
    static ParameterEncodingFailureReason missingURL() { return {MissingURL{}}; }
    template <class C> const C* as() const { return std::get_if<C>(&value); }
  };

  struct MultipartEncodingFailureReason {
    struct BodyPartURLInvalid { net::URL url; };
    struct BodyPartFilenameInvalid { net::URL url; };
    struct BodyPartFileNotReachable { net::URL url; };
    struct BodyPartFileNotReachableWithError { net::URL url; AnyError error; };
    struct BodyPartFileIsDirectory { net::URL url; };
    struct BodyPartFileSizeNotAvailable { net::URL url; };
    struct BodyPartFileSizeQueryFailedWithError { net::URL url; AnyError error; };
    struct BodyPartInputStreamCreationFailed { net::URL url; };
    struct OutputStreamCreationFailed { net::URL url; };
    struct OutputStreamFileAlreadyExists { net::URL url; };
    struct OutputStreamURLInvalid { net::URL url; };
    struct OutputStreamWriteFailed { AnyError error; };
    struct InputStreamReadFailed { AnyError error; };
    std::variant<BodyPartURLInvalid, BodyPartFilenameInvalid, BodyPartFileNotReachable,
                 BodyPartFileNotReachableWithError, BodyPartFileIsDirectory, BodyPartFileSizeNotAvailable,
                 BodyPartFileSizeQueryFailedWithError, BodyPartInputStreamCreationFailed, OutputStreamCreationFailed,
                 OutputStreamFileAlreadyExists, OutputStreamURLInvalid, OutputStreamWriteFailed, InputStreamReadFailed>
        value;

    static MultipartEncodingFailureReason bodyPartURLInvalid(net::URL url) { return {BodyPartURLInvalid{std::move(url)}}; }
    static MultipartEncodingFailureReason bodyPartFilenameInvalid(net::URL url) {
      return {BodyPartFilenameInvalid{std::move(url)}};
    }
    static MultipartEncodingFailureReason bodyPartFileNotReachable(net::URL url) {
      return {BodyPartFileNotReachable{std::move(url)}};
    }
    static MultipartEncodingFailureReason bodyPartFileNotReachableWithError(net::URL url, AnyError error) {
      return {BodyPartFileNotReachableWithError{std::move(url), std::move(error)}};
    }
    static MultipartEncodingFailureReason bodyPartFileIsDirectory(net::URL url) {
      return {BodyPartFileIsDirectory{std::move(url)}};
    }
    static MultipartEncodingFailureReason bodyPartFileSizeNotAvailable(net::URL url) {
      return {BodyPartFileSizeNotAvailable{std::move(url)}};
    }
    static MultipartEncodingFailureReason bodyPartFileSizeQueryFailedWithError(net::URL url, AnyError error) {
      return {BodyPartFileSizeQueryFailedWithError{std::move(url), std::move(error)}};
    }
    static MultipartEncodingFailureReason bodyPartInputStreamCreationFailed(net::URL url) {
      return {BodyPartInputStreamCreationFailed{std::move(url)}};
    }
    static MultipartEncodingFailureReason outputStreamCreationFailed(net::URL url) {
      return {OutputStreamCreationFailed{std::move(url)}};
    }
    static MultipartEncodingFailureReason outputStreamFileAlreadyExists(net::URL url) {
      return {OutputStreamFileAlreadyExists{std::move(url)}};
    }
    static MultipartEncodingFailureReason outputStreamURLInvalid(net::URL url) {
      return {OutputStreamURLInvalid{std::move(url)}};
    }
    static MultipartEncodingFailureReason outputStreamWriteFailed(AnyError error) {
      return {OutputStreamWriteFailed{std::move(error)}};
    }
    static MultipartEncodingFailureReason inputStreamReadFailed(AnyError error) {
      return {InputStreamReadFailed{std::move(error)}};
    }
    template <class C> const C* as() const { return std::get_if<C>(&value); }
  };

  struct ResponseValidationFailureReason {
    struct DataFileNil {};
    struct DataFileReadFailed { net::URL url; };
    struct MissingContentType { std::vector<std::string> acceptableContentTypes; };
    struct UnacceptableContentType {
      std::vector<std::string> acceptableContentTypes;
      std::string responseContentType;
    };
    struct UnacceptableStatusCode { long code; };
    std::variant<DataFileNil, DataFileReadFailed, MissingContentType, UnacceptableContentType, UnacceptableStatusCode>
        value;

    static ResponseValidationFailureReason dataFileNil();
    static ResponseValidationFailureReason dataFileReadFailed(net::URL url);
    static ResponseValidationFailureReason missingContentType(std::vector<std::string> acceptableContentTypes);
    static ResponseValidationFailureReason unacceptableContentType(std::vector<std::string> acceptableContentTypes,
                                                                   std::string responseContentType);
    static ResponseValidationFailureReason unacceptableStatusCode(long code);
    template <class C> const C* as() const { return std::get_if<C>(&value); }
  };

  struct ResponseSerializationFailureReason {
    struct InputDataNil {};
    struct InputDataNilOrZeroLength {};
    struct InputFileNil {};
    struct InputFileReadFailed { net::URL url; };
    struct StringSerializationFailed { foundation::StringEncoding encoding; };
    struct JSONSerializationFailed { AnyError error; };
    struct PropertyListSerializationFailed { AnyError error; };
    std::variant<InputDataNil, InputDataNilOrZeroLength, InputFileNil, InputFileReadFailed, StringSerializationFailed,
                 JSONSerializationFailed, PropertyListSerializationFailed>
        value;

    static ResponseSerializationFailureReason inputDataNil() { return {InputDataNil{}}; }
    static ResponseSerializationFailureReason inputDataNilOrZeroLength() { return {InputDataNilOrZeroLength{}}; }
    static ResponseSerializationFailureReason inputFileNil() { return {InputFileNil{}}; }
    static ResponseSerializationFailureReason inputFileReadFailed(net::URL url) {
      return {InputFileReadFailed{std::move(url)}};
    }
    static ResponseSerializationFailureReason stringSerializationFailed(foundation::StringEncoding encoding) {
      return {StringSerializationFailed{encoding}};
    }
    static ResponseSerializationFailureReason jsonSerializationFailed(AnyError error) {
      return {JSONSerializationFailed{std::move(error)}};
    }
    static ResponseSerializationFailureReason propertyListSerializationFailed(AnyError error) {
      return {PropertyListSerializationFailed{std::move(error)}};
    }
    template <class C> const C* as() const { return std::get_if<C>(&value); }
  };

  // The five cases, in order.
  struct InvalidURL { URLConvertible url; };
  struct ParameterEncodingFailed { ParameterEncodingFailureReason reason; };
  struct MultipartEncodingFailed { MultipartEncodingFailureReason reason; };
  struct ResponseValidationFailed { ResponseValidationFailureReason reason; };
  struct ResponseSerializationFailed { ResponseSerializationFailureReason reason; };
  using Case = std::variant<InvalidURL, ParameterEncodingFailed, MultipartEncodingFailed, ResponseValidationFailed,
                            ResponseSerializationFailed>;

  static PipelineError invalidURL(URLConvertible url);
  static PipelineError parameterEncodingFailed(ParameterEncodingFailureReason reason);
  static PipelineError multipartEncodingFailed(MultipartEncodingFailureReason reason);
  static PipelineError responseValidationFailed(ResponseValidationFailureReason reason);
  static PipelineError responseSerializationFailed(ResponseSerializationFailureReason reason);

  explicit PipelineError(Case value);

  // The case, for pattern matching; as<C>() is the case when it is C, else nullptr.
  const Case& value() const { return value_; }
  template <class C> const C* as() const { return std::get_if<C>(&value_); }

  // Each true for exactly one case.
  bool isInvalidURLError() const { return std::holds_alternative<InvalidURL>(value_); }
  bool isParameterEncodingError() const { return std::holds_alternative<ParameterEncodingFailed>(value_); }
  bool isMultipartEncodingError() const { return std::holds_alternative<MultipartEncodingFailed>(value_); }
  bool isResponseValidationError() const { return std::holds_alternative<ResponseValidationFailed>(value_); }
  bool isResponseSerializationError() const { return std::holds_alternative<ResponseSerializationFailed>(value_); }

  // The value that failed URL conversion (invalidURL only).
  std::optional<URLConvertible> urlConvertible() const;
  // The URL of a multipart reason that has one; absent otherwise (invalidURL included).
  std::optional<net::URL> url() const;
  // The error inside an encoding, multipart or serialization reason that carries one.
  std::optional<AnyError> underlyingError() const;
  // missingContentType and unacceptableContentType only.
  std::optional<std::vector<std::string>> acceptableContentTypes() const;
  // unacceptableContentType only.
  std::optional<std::string> responseContentType() const;
  // unacceptableStatusCode only.
  std::optional<long> responseCode() const;
  // stringSerializationFailed only.
  std::optional<foundation::StringEncoding> failedStringEncoding() const;

  // The message of the case; present for every case.
  std::optional<std::string> errorDescription() const;
  // The other localized-error texts are never supplied.
  std::optional<std::string> failureReason() const { return std::nullopt; }
  std::optional<std::string> recoverySuggestion() const { return std::nullopt; }
  std::optional<std::string> helpAnchor() const { return std::nullopt; }
  // errorDescription(), for places that want the user-facing text of any error.
  std::string localizedDescription() const { return *errorDescription(); }
  // A debugging form: "PipelineError." + the case and reason names + the message.
  std::string description() const;

 private:
  Case value_;
};

// The platform's name of a text encoding ("Unicode (UTF-8)").
std::string describeStringEncoding(foundation::StringEncoding encoding);

}  // namespace pipeline
