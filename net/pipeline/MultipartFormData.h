#pragma once
// MultipartFormData builds the body of a "multipart/form-data" upload. Callers append parts (bytes
// in memory, files named by a file URL, or input streams of known length); the form then encodes
// every part into one buffer (encode) or streams them, part by part, into a new file
// (writeEncodedData). Bodies are read 1024 bytes at a time.
//
// Appending never fails at the call: the first problem with a part is recorded as the form's
// bodyPartError and that part is left out; the next encode or writeEncodedData throws that error
// before producing any byte. Every error here is an AnyError holding
// PipelineError::multipartEncodingFailed.
//
// A form is used by one thread at a time; it owns its parts and each part owns its stream.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "net/pipeline/HTTPMethod.h"
#include "net/pipeline/PipelineError.h"
#include "net/pipeline/Result.h"
#include "platform/foundation/Stream.h"
#include "platform/foundation/Value.h"
#include "platform/net/InputStream.h"
#include "platform/net/URL.h"

namespace pipeline {

class MultipartFormData {
 public:
  // One part: its header lines, the stream of its body and the body length declared on append.
  class BodyPart {
   public:
    BodyPart(HTTPHeaders headers, std::shared_ptr<net::InputStream> bodyStream, std::uint64_t bodyContentLength)
        : headers(std::move(headers)), bodyStream(std::move(bodyStream)), bodyContentLength(bodyContentLength) {}

    HTTPHeaders headers;
    std::shared_ptr<net::InputStream> bodyStream;
    std::uint64_t bodyContentLength;
    // Set on the first and last part when the form is encoded.
    bool hasInitialBoundary = false;
    bool hasFinalBoundary = false;
  };

  // The number of bytes read from a body stream at a time.
  static constexpr long streamBufferSize = 1024;

  // An empty form with a fresh random boundary, "pipeline.boundary." and 16 hexadecimal digits.
  MultipartFormData();
  MultipartFormData(const MultipartFormData&) = delete;
  MultipartFormData& operator=(const MultipartFormData&) = delete;

  // "multipart/form-data; boundary=" + the boundary at the first read; kept from then on.
  const std::string& contentType() const;
  void setContentType(std::string contentType) { contentType_ = std::move(contentType); }
  const std::string& boundary() const { return boundary_; }
  void setBoundary(std::string boundary) { boundary_ = std::move(boundary); }
  // The sum of the parts' declared body lengths (boundaries and headers not counted); saturates
  // at the largest 64-bit value rather than wrapping.
  std::uint64_t contentLength() const;
  const std::vector<std::shared_ptr<BodyPart>>& bodyParts() const { return bodyParts_; }
  // The first error recorded while appending, if any.
  const std::optional<AnyError>& bodyPartError() const { return bodyPartError_; }

  // A part over a copy of `data`, named `name`, with a file name and a "Content-Type" when given.
  void append(const foundation::Data& data, const std::string& name);
  void append(const foundation::Data& data, const std::string& name, const std::string& mimeType);
  void append(const foundation::Data& data, const std::string& name, const std::string& fileName,
              const std::string& mimeType);
  // A part streamed from the file at `fileURL`, with its last path component as file name and
  // the MIME type of its extension; records bodyPartFilenameInvalid when either is empty.
  void append(const net::URL& fileURL, const std::string& name);
  // A part streamed from the file at `fileURL`. Records, and adds nothing, when the URL is no
  // file URL, the file is not reachable, is missing or a folder, or its size cannot be read.
  void append(const net::URL& fileURL, const std::string& name, const std::string& fileName,
              const std::string& mimeType);
  // A part over the caller's stream, declared `length` bytes long.
  void append(std::shared_ptr<net::InputStream> stream, std::uint64_t length, const std::string& name,
              const std::string& fileName, const std::string& mimeType);
  // The primitive every other append ends in.
  void append(std::shared_ptr<net::InputStream> stream, std::uint64_t length, HTTPHeaders headers);

  // The whole encoded body; empty for a form without parts. Throws the recorded error, or
  // inputStreamReadFailed when a part's stream fails (also when it cannot be opened).
  foundation::Data encode();

  // Writes the whole encoded body into a new file at `fileURL`. Throws the recorded error,
  // outputStreamURLInvalid for a URL that is not a file URL, outputStreamFileAlreadyExists
  // (leaving that file untouched), outputStreamCreationFailed, inputStreamReadFailed, or
  // outputStreamWriteFailed when the file cannot be opened or a write fails or stops taking
  // bytes. What was written before a failure stays in the file.
  void writeEncodedData(const net::URL& fileURL);
  // Writes the whole encoded body into `stream`, which the caller has opened and will close.
  // Throws as writeEncodedData(fileURL) does once the stream exists.
  void writeEncodedData(foundation::OutputStream& stream);

 private:
  static HTTPHeaders contentHeaders(const std::string& name, const std::optional<std::string>& fileName,
                                    const std::optional<std::string>& mimeType);
  void appendData(const foundation::Data& data, const std::string& name, const std::optional<std::string>& fileName,
                  const std::optional<std::string>& mimeType);
  void setBodyPartError(PipelineError::MultipartEncodingFailureReason reason);
  void markBoundaries();
  std::string initialBoundary() const;
  std::string encapsulatedBoundary() const;
  std::string finalBoundary() const;

  mutable std::optional<std::string> contentType_;
  std::string boundary_;
  std::vector<std::shared_ptr<BodyPart>> bodyParts_;
  std::optional<AnyError> bodyPartError_;
};

}  // namespace pipeline
