#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/pipeline/AdaptError.h"
#include "net/pipeline/PipelineError.h"
#include "platform/foundation/Error.h"

namespace {

using pipeline::AnyError;
using pipeline::PipelineError;
using PE = PipelineError::ParameterEncodingFailureReason;
using ME = PipelineError::MultipartEncodingFailureReason;
using RV = PipelineError::ResponseValidationFailureReason;
using RS = PipelineError::ResponseSerializationFailureReason;

const net::URL kFile = net::URL::fileURLWithPath("/tmp/a.txt");
const AnyError kUnderlying(foundation::Error::withDescription("Domain", 12, "went wrong"));

TEST(PipelineError, EveryErrorDescription) {
  const std::string url = "file:///tmp/a.txt";
  const std::string full = kUnderlying.description();
  const std::string localized = "went wrong";
  struct Case {
    PipelineError error;
    std::string text;
  };
  std::vector<Case> cases;
  const auto add = [&cases](PipelineError error, std::string text) { cases.push_back({std::move(error), std::move(text)}); };
  add(PipelineError::invalidURL(std::string("not a url")), "URL is not valid: not a url");
  add(PipelineError::invalidURL(kFile), "URL is not valid: " + url);
  add(PipelineError::parameterEncodingFailed(PE::missingURL()), "URL request to encode was missing a URL");
  add(PipelineError::parameterEncodingFailed(PE::jsonEncodingFailed(kUnderlying)),
       "JSON could not be encoded because of error:\n" + localized);
  add(PipelineError::parameterEncodingFailed(PE::propertyListEncodingFailed(kUnderlying)),
       "PropertyList could not be encoded because of error:\n" + localized);
  add(PipelineError::multipartEncodingFailed(ME::bodyPartURLInvalid(kFile)),
       "The URL provided is not a file URL: " + url);
  add(PipelineError::multipartEncodingFailed(ME::bodyPartFilenameInvalid(kFile)),
       "The URL provided does not have a valid filename: " + url);
  add(PipelineError::multipartEncodingFailed(ME::bodyPartFileNotReachable(kFile)),
       "The URL provided is not reachable: " + url);
  add(PipelineError::multipartEncodingFailed(ME::bodyPartFileNotReachableWithError(kFile, kUnderlying)),
       "The system returned an error while checking the provided URL for reachability.\nURL: " + url +
           "\nError: " + full);
  add(PipelineError::multipartEncodingFailed(ME::bodyPartFileIsDirectory(kFile)),
       "The URL provided is a directory: " + url);
  add(PipelineError::multipartEncodingFailed(ME::bodyPartFileSizeNotAvailable(kFile)),
       "Could not fetch the file size from the provided URL: " + url);
  add(PipelineError::multipartEncodingFailed(ME::bodyPartFileSizeQueryFailedWithError(kFile, kUnderlying)),
       "The system returned an error while attempting to fetch the file size from the provided URL.\nURL: " + url +
           "\nError: " + full);
  add(PipelineError::multipartEncodingFailed(ME::bodyPartInputStreamCreationFailed(kFile)),
       "Failed to create an InputStream for the provided URL: " + url);
  add(PipelineError::multipartEncodingFailed(ME::outputStreamCreationFailed(kFile)),
       "Failed to create an OutputStream for URL: " + url);
  add(PipelineError::multipartEncodingFailed(ME::outputStreamFileAlreadyExists(kFile)),
       "A file already exists at the provided URL: " + url);
  add(PipelineError::multipartEncodingFailed(ME::outputStreamURLInvalid(kFile)),
       "The provided OutputStream URL is invalid: " + url);
  add(PipelineError::multipartEncodingFailed(ME::outputStreamWriteFailed(kUnderlying)),
       "OutputStream write failed with error: " + full);
  add(PipelineError::multipartEncodingFailed(ME::inputStreamReadFailed(kUnderlying)),
       "InputStream read failed with error: " + full);
  add(PipelineError::responseValidationFailed(RV::dataFileNil()), "Response could not be validated, data file was nil.");
  add(PipelineError::responseValidationFailed(RV::dataFileReadFailed(kFile)),
       "Response could not be validated, data file could not be read: " + url + ".");
  add(PipelineError::responseValidationFailed(RV::missingContentType({"text/html", "application/json"})),
       "Response Content-Type was missing and acceptable content types (text/html,application/json) do not match "
       "\"*/*\".");
  add(PipelineError::responseValidationFailed(RV::missingContentType({})),
       "Response Content-Type was missing and acceptable content types () do not match \"*/*\".");
  add(PipelineError::responseValidationFailed(RV::unacceptableContentType({"a/b", "c/d"}, "text/plain ")),
       "Response Content-Type \"text/plain \" does not match any acceptable types: a/b,c/d.");
  add(PipelineError::responseValidationFailed(RV::unacceptableStatusCode(404)),
       "Response status code was unacceptable: 404.");
  add(PipelineError::responseValidationFailed(RV::unacceptableStatusCode(-3)),
       "Response status code was unacceptable: -3.");
  add(PipelineError::responseSerializationFailed(RS::inputDataNil()),
       "Response could not be serialized, input data was nil.");
  add(PipelineError::responseSerializationFailed(RS::inputDataNilOrZeroLength()),
       "Response could not be serialized, input data was nil or zero length.");
  add(PipelineError::responseSerializationFailed(RS::inputFileNil()),
       "Response could not be serialized, input file was nil.");
  add(PipelineError::responseSerializationFailed(RS::inputFileReadFailed(kFile)),
       "Response could not be serialized, input file could not be read: " + url + ".");
  add(PipelineError::responseSerializationFailed(RS::stringSerializationFailed(foundation::StringEncoding::UTF8)),
       "String could not be serialized with encoding: Unicode (UTF-8).");
  add(PipelineError::responseSerializationFailed(RS::jsonSerializationFailed(kUnderlying)),
       "JSON could not be serialized because of error:\n" + localized);
  add(PipelineError::responseSerializationFailed(RS::propertyListSerializationFailed(kUnderlying)),
       "PropertyList could not be serialized because of error:\n" + localized);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    ASSERT_TRUE(c.error.errorDescription());
    EXPECT_EQ(*c.error.errorDescription(), c.text);
    EXPECT_EQ(AnyError(c.error).localizedDescription(), c.text);
    EXPECT_FALSE(c.error.failureReason());
    EXPECT_FALSE(c.error.recoverySuggestion());
    EXPECT_FALSE(c.error.helpAnchor());
    const int predicates = c.error.isInvalidURLError() + c.error.isParameterEncodingError() +
                           c.error.isMultipartEncodingError() + c.error.isResponseValidationError() +
                           c.error.isResponseSerializationError();
    EXPECT_EQ(predicates, 1);
    if (c.error.isMultipartEncodingError()) {
      EXPECT_NE(c.text.back(), '.');
    }
  }
}

TEST(PipelineError, AccessorsArePresentOnlyForTheirCases) {
  const auto invalid = PipelineError::invalidURL(std::string("x y"));
  ASSERT_TRUE(invalid.urlConvertible());
  EXPECT_EQ(*invalid.urlConvertible()->as<std::string>(), "x y");
  EXPECT_FALSE(invalid.url());
  EXPECT_FALSE(invalid.underlyingError());

  const auto write = PipelineError::multipartEncodingFailed(ME::outputStreamWriteFailed(kUnderlying));
  EXPECT_FALSE(write.url());
  EXPECT_EQ(*write.underlyingError(), kUnderlying);

  const auto withBoth = PipelineError::multipartEncodingFailed(ME::bodyPartFileSizeQueryFailedWithError(kFile, kUnderlying));
  EXPECT_EQ(withBoth.url(), kFile);
  EXPECT_EQ(*withBoth.underlyingError(), kUnderlying);
  EXPECT_EQ(PipelineError::multipartEncodingFailed(ME::bodyPartFileIsDirectory(kFile)).url(), kFile);

  EXPECT_FALSE(PipelineError::parameterEncodingFailed(PE::missingURL()).underlyingError());
  EXPECT_EQ(*PipelineError::parameterEncodingFailed(PE::jsonEncodingFailed(kUnderlying)).underlyingError(), kUnderlying);
  EXPECT_FALSE(PipelineError::responseSerializationFailed(RS::inputDataNilOrZeroLength()).underlyingError());
  EXPECT_EQ(*PipelineError::responseSerializationFailed(RS::jsonSerializationFailed(kUnderlying)).underlyingError(),
            kUnderlying);

  const auto missing = PipelineError::responseValidationFailed(RV::missingContentType({"text/html"}));
  EXPECT_EQ(missing.acceptableContentTypes(), std::vector<std::string>{"text/html"});
  EXPECT_FALSE(missing.responseContentType());
  EXPECT_FALSE(missing.underlyingError());
  const auto unacceptable = PipelineError::responseValidationFailed(RV::unacceptableContentType({"a/b"}, "c/d"));
  EXPECT_EQ(unacceptable.acceptableContentTypes(), std::vector<std::string>{"a/b"});
  EXPECT_EQ(unacceptable.responseContentType(), "c/d");
  const auto status = PipelineError::responseValidationFailed(RV::unacceptableStatusCode(500));
  EXPECT_EQ(status.responseCode(), 500);
  EXPECT_FALSE(status.acceptableContentTypes());
  EXPECT_FALSE(missing.responseCode());

  const auto text = PipelineError::responseSerializationFailed(
      RS::stringSerializationFailed(foundation::StringEncoding::ISOLatin1));
  EXPECT_EQ(text.failedStringEncoding(), foundation::StringEncoding::ISOLatin1);
  EXPECT_FALSE(status.failedStringEncoding());
}

TEST(PipelineError, CopiesShareTheUnderlyingErrorAndAdaptErrorWrapsOne) {
  const auto error = PipelineError::parameterEncodingFailed(PE::jsonEncodingFailed(kUnderlying));
  const PipelineError copy = error;
  EXPECT_EQ(copy.underlyingError()->identity(), kUnderlying.identity());

  AnyError adapted(pipeline::AdaptError{kUnderlying});
  ASSERT_TRUE(adapted.is<pipeline::AdaptError>());
  EXPECT_EQ(adapted.as<pipeline::AdaptError>()->error, kUnderlying);
}

}  // namespace
