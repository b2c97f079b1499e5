#pragma once
// RLStreamingMultipartFormData builds a "multipart/form-data" request whose body is streamed:
// it collects parts into an RLMultipartBodyStream and, once finished, gives the request that
// stream as its body with the form's Content-Type and Content-Length. The request serializer
// makes one over a prepared request and hands it to the caller's body-construction block.
//
// Besides what each append answers, the builder keeps the first refusal (appendError), so that
// whoever sends the request can refuse to send a form that lacks a part it was asked to hold.
//
// A builder is filled and finished by one thread at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "net/callbacks/RLMultipartBodyStream.h"
#include "net/callbacks/RLMultipartFormData.h"
#include "net/callbacks/RLURLRequestSerialization.h"
#include "platform/net/URLRequest.h"

class RLStreamingMultipartFormData final : public RLMultipartFormData {
 public:
  // A builder over a copy of `request`, writing boundaries and part headers in `stringEncoding`.
  // The boundary is "Boundary+" and 16 random upper-case hex digits unless `boundary` is given
  // (for a known body).
  RLStreamingMultipartFormData(const net::URLRequest& request, RLStringEncoding stringEncoding,
                               std::optional<std::string> boundary = std::nullopt);

  const net::URLRequest& request() const { return request_; }
  void setRequest(const net::URLRequest& request) { request_ = request; }
  RLStringEncoding stringEncoding() const { return stringEncoding_; }
  const std::string& boundary() const { return boundary_; }
  const std::shared_ptr<RLMultipartBodyStream>& bodyStream() const { return bodyStream_; }
  // The first append that was refused, if any.
  const std::optional<foundation::Error>& appendError() const { return appendError_; }

  bool appendPartWithFileURL(const net::URL& fileURL, const std::string& name,
                             foundation::Error* error = nullptr) override;
  bool appendPartWithFileURL(const net::URL& fileURL, const std::string& name, const std::string& fileName,
                             const std::string& mimeType, foundation::Error* error = nullptr) override;
  bool appendPartWithInputStream(std::shared_ptr<foundation::InputStream> stream, const std::string& name,
                                 const std::string& fileName, std::int64_t length, const std::string& mimeType,
                                 foundation::Error* error = nullptr) override;
  bool appendPartWithFileData(const foundation::Data& data, const std::string& name, const std::string& fileName,
                              const std::string& mimeType, foundation::Error* error = nullptr) override;
  bool appendPartWithFormData(const foundation::Data& data, const std::string& name,
                              foundation::Error* error = nullptr) override;
  bool appendPartWithHeaders(const net::HTTPHeaderFields& headers, const foundation::Data& body,
                             foundation::Error* error = nullptr) override;
  void throttleBandwidthWithPacketSize(std::size_t numberOfBytes, double delay) override;

  // The request with the parts as its body stream, "Content-Type" "multipart/form-data;
  // boundary=..." and "Content-Length"; without parts, the request as it was given.
  net::URLRequest requestByFinalizingMultipartFormData();

 private:
  bool append(net::HTTPHeaderFields headers, RLHTTPBodyPart::Body body, std::uint64_t length, foundation::Error* error);
  bool refuse(const std::string& reason, foundation::Error* error);

  net::URLRequest request_;
  RLStringEncoding stringEncoding_;
  std::string boundary_;
  std::shared_ptr<RLMultipartBodyStream> bodyStream_;
  std::optional<foundation::Error> appendError_;
};
