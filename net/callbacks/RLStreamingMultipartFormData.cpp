#include "net/callbacks/RLStreamingMultipartFormData.h"

#include <cstdio>

#include "platform/foundation/FileManager.h"
#include "platform/net/MIMEType.h"
#include "platform/security/Crypto.h"

namespace {

std::string randomBoundary() {
  char text[32];
  std::snprintf(text, sizeof text, "Boundary+%08X%08X", security::randomUInt32(), security::randomUInt32());
  return text;
}

bool hasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// A name goes between double quotes in its header line.
bool isQuotable(const std::string& text) { return text.find_first_of("\"\r\n") == std::string::npos; }

std::string contentDisposition(const std::string& name) { return "form-data; name=\"" + name + "\""; }

std::string contentDisposition(const std::string& name, const std::string& fileName) {
  return contentDisposition(name) + "; filename=\"" + fileName + "\"";
}

const char* const kBadNameReason =
    "Part names and file names may not contain a double quote, carriage return or line feed.";
const char* const kBadHeaderReason = "Part headers may not contain a carriage return or line feed.";

}  // namespace

RLStreamingMultipartFormData::RLStreamingMultipartFormData(const net::URLRequest& request,
                                                           RLStringEncoding stringEncoding,
                                                           std::optional<std::string> boundary)
    : request_(request),
      stringEncoding_(stringEncoding),
      boundary_(boundary ? std::move(*boundary) : randomBoundary()),
      bodyStream_(std::make_shared<RLMultipartBodyStream>(stringEncoding)) {}

bool RLStreamingMultipartFormData::refuse(const std::string& reason, foundation::Error* error) {
  auto refusal = RLRequestSerializationError(RLRequestSerializationErrorBadArgument, reason);
  if (!appendError_) appendError_ = refusal;
  if (error) *error = std::move(refusal);
  return false;
}

bool RLStreamingMultipartFormData::appendPartWithFileURL(const net::URL& fileURL, const std::string& name,
                                                         foundation::Error* error) {
  return appendPartWithFileURL(fileURL, name, fileURL.lastPathComponent(),
                               net::mimeTypeForPathExtension(fileURL.pathExtension()), error);
}

bool RLStreamingMultipartFormData::appendPartWithFileURL(const net::URL& fileURL, const std::string& name,
                                                         const std::string& fileName, const std::string& mimeType,
                                                         foundation::Error* error) {
  if (!fileURL.isFileURL()) return refuse("Expected URL to be a file URL", error);
  const std::string path = fileURL.path();
  auto& files = foundation::FileManager::defaultManager();
  bool isDirectory = false;
  if (!files.fileExistsAtPath(path, &isDirectory)) return refuse("File URL not reachable.", error);
  // A folder has a size but no bytes to read: the upload would fail halfway.
  if (isDirectory) return refuse("File URL points to a folder.", error);
  foundation::Error attributesError;
  // The size of what a link leads to, which is what the stream reads.
  const auto attributes = files.attributesOfItemAtPath(path, &attributesError, true);
  if (!attributes) {
    if (!appendError_) appendError_ = attributesError;
    if (error) *error = std::move(attributesError);
    return false;
  }
  if (!isQuotable(name) || !isQuotable(fileName)) return refuse(kBadNameReason, error);
  if (hasLineBreak(mimeType)) return refuse(kBadHeaderReason, error);
  net::HTTPHeaderFields headers;
  headers.set("Content-Disposition", contentDisposition(name, fileName));
  headers.set("Content-Type", mimeType);
  return append(std::move(headers), fileURL, attributes->size, error);
}

bool RLStreamingMultipartFormData::appendPartWithInputStream(std::shared_ptr<foundation::InputStream> stream,
                                                             const std::string& name, const std::string& fileName,
                                                             std::int64_t length, const std::string& mimeType,
                                                             foundation::Error* error) {
  if (!stream || length < 0) return refuse("Expected an input stream and a length of zero or more.", error);
  if (!isQuotable(name) || !isQuotable(fileName)) return refuse(kBadNameReason, error);
  if (hasLineBreak(mimeType)) return refuse(kBadHeaderReason, error);
  net::HTTPHeaderFields headers;
  headers.set("Content-Disposition", contentDisposition(name, fileName));
  headers.set("Content-Type", mimeType);
  return append(std::move(headers), std::move(stream), static_cast<std::uint64_t>(length), error);
}

bool RLStreamingMultipartFormData::appendPartWithFileData(const foundation::Data& data, const std::string& name,
                                                          const std::string& fileName, const std::string& mimeType,
                                                          foundation::Error* error) {
  if (!isQuotable(name) || !isQuotable(fileName)) return refuse(kBadNameReason, error);
  if (hasLineBreak(mimeType)) return refuse(kBadHeaderReason, error);
  net::HTTPHeaderFields headers;
  headers.set("Content-Disposition", contentDisposition(name, fileName));
  headers.set("Content-Type", mimeType);
  return append(std::move(headers), data, data.size(), error);
}

bool RLStreamingMultipartFormData::appendPartWithFormData(const foundation::Data& data, const std::string& name,
                                                          foundation::Error* error) {
  if (!isQuotable(name)) return refuse(kBadNameReason, error);
  net::HTTPHeaderFields headers;
  headers.set("Content-Disposition", contentDisposition(name));
  return append(std::move(headers), data, data.size(), error);
}

bool RLStreamingMultipartFormData::appendPartWithHeaders(const net::HTTPHeaderFields& headers,
                                                         const foundation::Data& body, foundation::Error* error) {
  for (const auto& [field, value] : headers) {
    if (hasLineBreak(field) || hasLineBreak(value)) return refuse(kBadHeaderReason, error);
  }
  return append(headers, body, body.size(), error);
}

bool RLStreamingMultipartFormData::append(net::HTTPHeaderFields headers, RLHTTPBodyPart::Body body,
                                          std::uint64_t length, foundation::Error* error) {
  auto part = std::make_unique<RLHTTPBodyPart>(stringEncoding_, std::move(headers), boundary_, std::move(body), length);
  // Text the encoding cannot write would be dropped from the header block on the wire.
  if (!RLEncodedString(part->stringForHeaders(), stringEncoding_)) {
    return refuse("Part headers cannot be written in the form's string encoding.", error);
  }
  bodyStream_->appendHTTPBodyPart(std::move(part));
  return true;
}

void RLStreamingMultipartFormData::throttleBandwidthWithPacketSize(std::size_t numberOfBytes, double delay) {
  bodyStream_->setNumberOfBytesInPacket(numberOfBytes);
  bodyStream_->setDelay(delay);
}

net::URLRequest RLStreamingMultipartFormData::requestByFinalizingMultipartFormData() {
  if (bodyStream_->isEmpty()) return request_;
  bodyStream_->setInitialAndFinalBoundaries();
  request_.setHTTPBodyStream(bodyStream_);
  request_.setValue("multipart/form-data; boundary=" + boundary_, "Content-Type");
  request_.setValue(std::to_string(bodyStream_->contentLength()), "Content-Length");
  return request_;
}
