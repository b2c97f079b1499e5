#include "net/pipeline/MultipartFormData.h"

#include <cerrno>
#include <cstdio>
#include <limits>

#include "platform/foundation/FileManager.h"
#include "platform/net/MIMEType.h"
#include "platform/security/Crypto.h"

namespace pipeline {
namespace {

using Reason = PipelineError::MultipartEncodingFailureReason;

[[noreturn]] void fail(Reason reason) { throw AnyError(PipelineError::multipartEncodingFailed(std::move(reason))); }

std::string randomBoundary() {
  char text[64];
  std::snprintf(text, sizeof text, "pipeline.boundary.%08x%08x", security::randomUInt32(), security::randomUInt32());
  return text;
}

std::string headerBlock(const HTTPHeaders& headers) {
  std::string out;
  for (const auto& [field, value] : headers) out += field + ": " + value + "\r\n";
  return out + "\r\n";
}

// Closes a stream when the scope ends, whichever way it ends.
template <class Stream>
struct Closing {
  Stream& stream;
  ~Closing() { stream.close(); }
};

// Reads the part's stream to its end in streamBufferSize chunks, handing each to `sink`. A stream
// that cannot be opened or fails a read throws inputStreamReadFailed: a body silently cut short
// would go out as a corrupt upload.
template <class Sink>
void readBody(net::InputStream& stream, Sink&& sink) {
  stream.open();
  Closing<net::InputStream> closing{stream};
  const auto readFailed = [&stream] {
    auto error = stream.streamError();
    fail(Reason::inputStreamReadFailed(error ? AnyError(*error)
                                             : AnyError(foundation::Error::withDescription(
                                                   foundation::kCocoaErrorDomain, foundation::kFileReadUnknownError,
                                                   "The input stream failed without reporting an error."))));
  };
  if (stream.streamStatus() == net::InputStream::Status::Error) readFailed();
  while (stream.hasBytesAvailable()) {
    std::uint8_t buffer[MultipartFormData::streamBufferSize] = {};
    const long count = stream.read(buffer, sizeof buffer);
    if (count < 0 || stream.streamError()) readFailed();
    if (count == 0) break;
    sink(buffer, static_cast<std::size_t>(count));
  }
}

// Writes all `length` bytes. A stream that takes nothing (full, failed, or making no progress)
// throws outputStreamWriteFailed instead of leaving a truncated file behind as if all went well.
void writeBytes(foundation::OutputStream& stream, const std::uint8_t* bytes, std::size_t length) {
  if (stream.writeAll(bytes, length)) return;
  auto error = stream.streamError();
  fail(Reason::outputStreamWriteFailed(error ? AnyError(*error)
                                             : AnyError(foundation::Error::withDescription(
                                                   foundation::kCocoaErrorDomain, foundation::kFileWriteUnknownError,
                                                   "The output stream accepted no more bytes."))));
}

void writeText(foundation::OutputStream& stream, const std::string& text) {
  writeBytes(stream, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

}  // namespace

MultipartFormData::MultipartFormData() : boundary_(randomBoundary()) {}

const std::string& MultipartFormData::contentType() const {
  if (!contentType_) contentType_ = "multipart/form-data; boundary=" + boundary_;
  return *contentType_;
}

std::uint64_t MultipartFormData::contentLength() const {
  std::uint64_t total = 0;
  for (const auto& part : bodyParts_) {
    if (part->bodyContentLength > std::numeric_limits<std::uint64_t>::max() - total) {
      return std::numeric_limits<std::uint64_t>::max();
    }
    total += part->bodyContentLength;
  }
  return total;
}

HTTPHeaders MultipartFormData::contentHeaders(const std::string& name, const std::optional<std::string>& fileName,
                                              const std::optional<std::string>& mimeType) {
  std::string disposition = "form-data; name=\"" + name + "\"";
  if (fileName) disposition += "; filename=\"" + *fileName + "\"";
  HTTPHeaders headers{{"Content-Disposition", disposition}};
  if (mimeType) headers["Content-Type"] = *mimeType;
  return headers;
}

void MultipartFormData::appendData(const foundation::Data& data, const std::string& name,
                                   const std::optional<std::string>& fileName,
                                   const std::optional<std::string>& mimeType) {
  append(net::InputStream::withData(data), data.size(), contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::append(const foundation::Data& data, const std::string& name) {
  appendData(data, name, std::nullopt, std::nullopt);
}

void MultipartFormData::append(const foundation::Data& data, const std::string& name, const std::string& mimeType) {
  appendData(data, name, std::nullopt, mimeType);
}

void MultipartFormData::append(const foundation::Data& data, const std::string& name, const std::string& fileName,
                               const std::string& mimeType) {
  appendData(data, name, fileName, mimeType);
}

void MultipartFormData::append(const net::URL& fileURL, const std::string& name) {
  const std::string fileName = fileURL.lastPathComponent();
  const std::string extension = fileURL.pathExtension();
  if (fileName.empty() || extension.empty()) return setBodyPartError(Reason::bodyPartFilenameInvalid(fileURL));
  append(fileURL, name, fileName, net::mimeTypeForPathExtension(extension));
}

void MultipartFormData::append(const net::URL& fileURL, const std::string& name, const std::string& fileName,
                               const std::string& mimeType) {
  HTTPHeaders headers = contentHeaders(name, fileName, mimeType);
  if (!fileURL.isFileURL()) return setBodyPartError(Reason::bodyPartURLInvalid(fileURL));

  const auto& files = foundation::FileManager::defaultManager();
  const std::string path = fileURL.path();
  foundation::Error error;
  // Reachability: a missing file is a plain "no"; any other failure of the query is its own error.
  if (!files.attributesOfItemAtPath(path, &error)) {
    if (error.code() == foundation::kFileReadNoSuchFileError) {
      return setBodyPartError(Reason::bodyPartFileNotReachable(fileURL));
    }
    return setBodyPartError(Reason::bodyPartFileNotReachableWithError(fileURL, AnyError(error)));
  }

  bool isDirectory = false;
  if (!files.fileExistsAtPath(path, &isDirectory) || isDirectory) {
    return setBodyPartError(Reason::bodyPartFileIsDirectory(fileURL));
  }

  const auto attributes = files.attributesOfItemAtPath(path, &error);
  if (!attributes) return setBodyPartError(Reason::bodyPartFileSizeQueryFailedWithError(fileURL, AnyError(error)));
  // dictionary() returns a copy: keep the value, not a reference into the temporary.
  const foundation::Value size = attributes->dictionary().get("NSFileSize");
  if (!size.isNumber()) return setBodyPartError(Reason::bodyPartFileSizeNotAvailable(fileURL));

  auto stream = net::InputStream::withFileAtPath(path);
  if (!stream) return setBodyPartError(Reason::bodyPartInputStreamCreationFailed(fileURL));
  append(std::move(stream), size.uintValue(), std::move(headers));
}

void MultipartFormData::append(std::shared_ptr<net::InputStream> stream, std::uint64_t length,
                               const std::string& name, const std::string& fileName, const std::string& mimeType) {
  append(std::move(stream), length, contentHeaders(name, fileName, mimeType));
}

void MultipartFormData::append(std::shared_ptr<net::InputStream> stream, std::uint64_t length, HTTPHeaders headers) {
  bodyParts_.push_back(std::make_shared<BodyPart>(std::move(headers), std::move(stream), length));
}

void MultipartFormData::setBodyPartError(Reason reason) {
  if (bodyPartError_) return;
  bodyPartError_ = AnyError(PipelineError::multipartEncodingFailed(std::move(reason)));
}

void MultipartFormData::markBoundaries() {
  if (bodyParts_.empty()) return;
  bodyParts_.front()->hasInitialBoundary = true;
  bodyParts_.back()->hasFinalBoundary = true;
}

std::string MultipartFormData::initialBoundary() const { return "--" + boundary_ + "\r\n"; }
std::string MultipartFormData::encapsulatedBoundary() const { return "\r\n--" + boundary_ + "\r\n"; }
std::string MultipartFormData::finalBoundary() const { return "\r\n--" + boundary_ + "--\r\n"; }

foundation::Data MultipartFormData::encode() {
  if (bodyPartError_) bodyPartError_->raise();
  markBoundaries();
  foundation::Data encoded;
  const auto add = [&encoded](const std::string& text) { encoded.insert(encoded.end(), text.begin(), text.end()); };
  for (const auto& part : bodyParts_) {
    add(part->hasInitialBoundary ? initialBoundary() : encapsulatedBoundary());
    add(headerBlock(part->headers));
    if (part->bodyStream) {
      readBody(*part->bodyStream, [&encoded](const std::uint8_t* bytes, std::size_t count) {
        encoded.insert(encoded.end(), bytes, bytes + count);
      });
    }
    if (part->hasFinalBoundary) add(finalBoundary());
  }
  return encoded;
}

void MultipartFormData::writeEncodedData(const net::URL& fileURL) {
  if (bodyPartError_) bodyPartError_->raise();
  // The URL's kind is checked first: the path of a web URL may well name some existing local
  // file, which says nothing about it.
  if (!fileURL.isFileURL()) fail(Reason::outputStreamURLInvalid(fileURL));
  if (foundation::FileManager::defaultManager().fileExistsAtPath(fileURL.path())) {
    fail(Reason::outputStreamFileAlreadyExists(fileURL));
  }
  auto stream = foundation::OutputStream::toFileAtPath(fileURL.path(), false);
  if (!stream) fail(Reason::outputStreamCreationFailed(fileURL));
  stream->open();
  Closing<foundation::OutputStream> closing{*stream};
  // A file that cannot be opened must fail even for a form without parts, which writes nothing.
  if (stream->streamStatus() == foundation::OutputStream::Status::Error) {
    fail(Reason::outputStreamWriteFailed(AnyError(stream->streamError().value_or(
        foundation::Error::posix(EIO, fileURL.path())))));
  }
  writeEncodedData(*stream);
}

void MultipartFormData::writeEncodedData(foundation::OutputStream& stream) {
  if (bodyPartError_) bodyPartError_->raise();
  markBoundaries();
  for (const auto& part : bodyParts_) {
    writeText(stream, part->hasInitialBoundary ? initialBoundary() : encapsulatedBoundary());
    writeText(stream, headerBlock(part->headers));
    if (part->bodyStream) {
      readBody(*part->bodyStream,
               [&stream](const std::uint8_t* bytes, std::size_t count) { writeBytes(stream, bytes, count); });
    }
    if (part->hasFinalBoundary) writeText(stream, finalBoundary());
  }
}

}  // namespace pipeline
