#include "net/pipeline/Validation.h"

#include "net/pipeline/DataRequest.h"
#include "net/pipeline/DownloadRequest.h"
#include "net/pipeline/PipelineError.h"
#include "platform/foundation/String.h"

namespace pipeline {

namespace {

AnyError validationError(PipelineError::ResponseValidationFailureReason reason) {
  return AnyError(PipelineError::responseValidationFailed(std::move(reason)));
}

}  // namespace

MIMEType MIMEType::parse(std::string_view text) {
  std::string trimmed = foundation::trim(text);
  if (auto semicolon = trimmed.find(';'); semicolon != std::string::npos) trimmed.resize(semicolon);
  const auto slash = trimmed.find('/');
  if (slash == std::string::npos) return {trimmed, trimmed};
  return {trimmed.substr(0, slash), trimmed.substr(trimmed.rfind('/') + 1)};
}

bool MIMEType::matches(const MIMEType& other) const {
  const bool typeMatches = type == "*" || type == other.type;
  const bool subtypeMatches = subtype == "*" || subtype == other.subtype;
  return typeMatches && subtypeMatches;
}

std::vector<int> defaultAcceptableStatusCodes() {
  std::vector<int> codes;
  for (int code = 200; code < 300; ++code) codes.push_back(code);
  return codes;
}

std::vector<std::string> defaultAcceptableContentTypes(const std::optional<net::URLRequest>& request) {
  if (!request) return {"*/*"};
  auto accept = request->valueForHTTPHeaderField("Accept");
  if (!accept) return {"*/*"};
  return foundation::componentsSeparatedByString(*accept, ",");
}

Request::ValidationResult validateStatusCode(const std::vector<int>& acceptable, const net::HTTPURLResponse& response) {
  for (int code : acceptable) {
    if (code == response.statusCode()) return Request::ValidationResult::success();
  }
  return Request::ValidationResult::failure(validationError(
      PipelineError::ResponseValidationFailureReason::unacceptableStatusCode(response.statusCode())));
}

Request::ValidationResult validateContentType(const std::vector<std::string>& acceptable,
                                              const net::HTTPURLResponse& response,
                                              const std::optional<foundation::Data>& data) {
  using Reason = PipelineError::ResponseValidationFailureReason;
  if (!data || data->empty()) return Request::ValidationResult::success();
  const auto& mimeType = response.mimeType();
  if (!mimeType) {
    for (const auto& entry : acceptable) {
      const auto parsed = MIMEType::parse(entry);
      if (parsed.type == "*" && parsed.subtype == "*") return Request::ValidationResult::success();
    }
    return Request::ValidationResult::failure(validationError(Reason::missingContentType(acceptable)));
  }
  const auto responseType = MIMEType::parse(*mimeType);
  for (const auto& entry : acceptable) {
    if (MIMEType::parse(entry).matches(responseType)) return Request::ValidationResult::success();
  }
  return Request::ValidationResult::failure(validationError(Reason::unacceptableContentType(acceptable, *mimeType)));
}

// ---- Data requests ---------------------------------------------------------------------------

DataRequest& DataRequest::validate(Validation validation) {
  std::weak_ptr<DataRequest> weak = sharedDataRequest();
  appendValidation([weak, validation = std::move(validation)] {
    auto self = weak.lock();
    if (!self) return;
    const auto httpResponse = self->response();
    if (!httpResponse) return;
    auto taskDelegate = self->delegate();
    if (taskDelegate->error()) return;
    auto result = validation(self->request(), *httpResponse, *taskDelegate->sharedData());
    if (!result.isSuccess()) taskDelegate->setError(result.error());
  });
  return *this;
}

DataRequest& DataRequest::validate(std::vector<int> statusCode) {
  return validate([codes = std::move(statusCode)](const std::optional<net::URLRequest>&,
                                                  const net::HTTPURLResponse& response,
                                                  const std::optional<foundation::Data>&) {
    return validateStatusCode(codes, response);
  });
}

DataRequest& DataRequest::validate(std::vector<std::string> contentType) {
  return validate([types = std::move(contentType)](const std::optional<net::URLRequest>&,
                                                   const net::HTTPURLResponse& response,
                                                   const std::optional<foundation::Data>& data) {
    return validateContentType(types, response, data);
  });
}

DataRequest& DataRequest::validate() {
  validate(defaultAcceptableStatusCodes());
  return validate(defaultAcceptableContentTypes(request()));
}

// ---- Download requests -----------------------------------------------------------------------

DownloadRequest& DownloadRequest::validate(Validation validation) {
  std::weak_ptr<DownloadRequest> weak = sharedDownloadRequest();
  appendValidation([weak, validation = std::move(validation)] {
    auto self = weak.lock();
    if (!self) return;
    const auto urlRequest = self->request();
    const auto taskDelegate = self->downloadDelegate();
    const auto temporaryURL = taskDelegate->temporaryURL();
    const auto destinationURL = taskDelegate->destinationURL();
    const auto httpResponse = self->response();
    if (!httpResponse) return;
    if (self->delegate()->error()) return;
    auto result = validation(urlRequest, *httpResponse, temporaryURL, destinationURL);
    if (!result.isSuccess()) self->delegate()->setError(result.error());
  });
  return *this;
}

DownloadRequest& DownloadRequest::validate(std::vector<int> statusCode) {
  return validate([codes = std::move(statusCode)](const std::optional<net::URLRequest>&,
                                                  const net::HTTPURLResponse& response, const std::optional<net::URL>&,
                                                  const std::optional<net::URL>&) {
    return validateStatusCode(codes, response);
  });
}

DownloadRequest& DownloadRequest::validate(std::vector<std::string> contentType) {
  std::weak_ptr<DownloadRequest> weak = sharedDownloadRequest();
  return validate([weak, types = std::move(contentType)](const std::optional<net::URLRequest>&,
                                                         const net::HTTPURLResponse& response,
                                                         const std::optional<net::URL>& temporaryURL,
                                                         const std::optional<net::URL>& destinationURL) {
    using Reason = PipelineError::ResponseValidationFailureReason;
    auto self = weak.lock();
    const bool hasDestination = self && self->downloadDelegate()->destination.get();
    const auto fileURL = hasDestination ? destinationURL : temporaryURL;
    if (!fileURL) return Request::ValidationResult::failure(validationError(Reason::dataFileNil()));
    auto contents = foundation::FileManager::defaultManager().contentsAtPath(fileURL->path());
    if (!contents) return Request::ValidationResult::failure(validationError(Reason::dataFileReadFailed(*fileURL)));
    return validateContentType(types, response, contents);
  });
}

DownloadRequest& DownloadRequest::validate() {
  validate(defaultAcceptableStatusCodes());
  return validate(defaultAcceptableContentTypes(request()));
}

}  // namespace pipeline
