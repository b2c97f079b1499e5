#pragma once
// RLMultipartFormData is what a multipart request's body-construction block is handed: the
// operations that add parts to a "multipart/form-data" body (files, streams, bytes, form fields,
// raw header sets) and throttle its upload. Parts go into the body in the order they are added.
//
// Every append refuses, with an error in the request serialization domain and without adding
// anything, a name or file name holding a double quote, carriage return or line feed, and a MIME
// type or header holding a line break: such text would end its header line or its quoted string
// and let one field forge others. A refused append leaves the builder usable.
//
// A builder is filled by one thread at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Stream.h"
#include "platform/foundation/Value.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URL.h"

class RLMultipartFormData {
 public:
  virtual ~RLMultipartFormData() = default;

  // A file part streamed from `fileURL`, named by its last path component, with the MIME type of
  // its extension ("application/octet-stream" when none is known). False with *error as below.
  virtual bool appendPartWithFileURL(const net::URL& fileURL, const std::string& name,
                                     foundation::Error* error = nullptr) = 0;
  // A file part streamed from `fileURL`. False with *error (when given) when the URL is no file
  // URL ("Expected URL to be a file URL"), nothing is there ("File URL not reachable."), it is a
  // folder, or its size cannot be read (the file manager's error).
  virtual bool appendPartWithFileURL(const net::URL& fileURL, const std::string& name, const std::string& fileName,
                                     const std::string& mimeType, foundation::Error* error = nullptr) = 0;
  // A file part read from `stream`, which must deliver exactly `length` bytes when the body is
  // sent (fewer fails the upload; more are not read). The part keeps and later closes the stream.
  // False with *error for a null stream or a negative length.
  virtual bool appendPartWithInputStream(std::shared_ptr<foundation::InputStream> stream, const std::string& name,
                                         const std::string& fileName, std::int64_t length, const std::string& mimeType,
                                         foundation::Error* error = nullptr) = 0;
  // A file part holding `data`.
  virtual bool appendPartWithFileData(const foundation::Data& data, const std::string& name,
                                      const std::string& fileName, const std::string& mimeType,
                                      foundation::Error* error = nullptr) = 0;
  // A form field `name` holding `data`, without a Content-Type.
  virtual bool appendPartWithFormData(const foundation::Data& data, const std::string& name,
                                      foundation::Error* error = nullptr) = 0;
  // A part with exactly `headers` (in their order) and `body`.
  virtual bool appendPartWithHeaders(const net::HTTPHeaderFields& headers, const foundation::Data& body,
                                     foundation::Error* error = nullptr) = 0;
  // Limits each read of the body to `numberOfBytes` (at least 1) and pauses the reading thread
  // for `delay` seconds after each chunk read from a part.
  virtual void throttleBandwidthWithPacketSize(std::size_t numberOfBytes, double delay) = 0;
};
