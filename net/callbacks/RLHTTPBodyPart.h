#pragma once
// RLHTTPBodyPart is one part of a streamed multipart body: its boundary line, its header block,
// its body (bytes, a file or a stream) and, for the last part, the closing boundary, delivered in
// that order by successive reads. Its length is known from sizes alone, without reading the body.
//
// The body is read up to its declared length and no further: a body that ends early fails the
// read (a short body would leave the request shorter than its Content-Length), and bytes past the
// declared length are never sent.
//
// A part is read by one thread at a time; phase changes happen on that thread.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "net/callbacks/RLURLRequestSerialization.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Stream.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URL.h"

class RLHTTPBodyPart {
 public:
  // Bytes in memory, a file (by its file URL) or a stream.
  using Body = std::variant<foundation::Data, net::URL, std::shared_ptr<foundation::InputStream>>;

  // What a read is delivering: the opening boundary, the header block, the body, the closing one.
  enum class Phase { EncapsulationBoundary = 1, Headers = 2, Body = 3, FinalBoundary = 4 };

  RLHTTPBodyPart(RLStringEncoding stringEncoding, net::HTTPHeaderFields headers, std::string boundary, Body body,
                 std::uint64_t bodyContentLength);
  // Closes the body stream if it was made.
  ~RLHTTPBodyPart();
  RLHTTPBodyPart(const RLHTTPBodyPart&) = delete;
  RLHTTPBodyPart& operator=(const RLHTTPBodyPart&) = delete;

  RLStringEncoding stringEncoding() const { return stringEncoding_; }
  const net::HTTPHeaderFields& headers() const { return headers_; }
  const std::string& boundary() const { return boundary_; }
  const Body& body() const { return body_; }
  std::uint64_t bodyContentLength() const { return bodyContentLength_; }

  // Whether this part opens the body ("--B" rather than CRLF "--B") and closes it (CRLF "--B--").
  bool hasInitialBoundary() const { return hasInitialBoundary_; }
  void setHasInitialBoundary(bool value) { hasInitialBoundary_ = value; }
  bool hasFinalBoundary() const { return hasFinalBoundary_; }
  void setHasFinalBoundary(bool value) { hasFinalBoundary_ = value; }

  // The header block: one "Field: value" line per header and an empty line, each ending in CRLF.
  std::string stringForHeaders() const;
  // Boundary, header block, body length and closing boundary, in bytes.
  std::uint64_t contentLength() const;

  // The body as a stream, made on first use and kept. Never null.
  std::shared_ptr<foundation::InputStream> inputStream();

  // Copies up to `maxLength` bytes of the part into `buffer`, going through as many phases as
  // fit: the count (0 once the part is done), or -1 when the body failed (see error()).
  long read(std::uint8_t* buffer, std::size_t maxLength);
  // Whether a read may still give bytes: true until the part has been read to its end.
  bool hasBytesAvailable() const { return !finished_; }
  Phase phase() const { return phase_; }
  // Why the last read failed: the body stream's error, or one saying the body ended early.
  const std::optional<foundation::Error>& error() const { return error_; }

  // A fresh part with this one's encoding, headers, boundary, body and length, unread and without
  // boundary marks; a stream body is replaced by its replay copy. Null when the stream cannot be
  // replayed. The caller owns the copy.
  std::unique_ptr<RLHTTPBodyPart> copy() const;

 private:
  // Delivers the rest of `data` from the phase's offset; moves on once it is all delivered.
  std::size_t readData(const foundation::Data& data, std::uint8_t* buffer, std::size_t maxLength);
  long readBody(std::uint8_t* buffer, std::size_t maxLength);
  void transitionToNextPhase();
  foundation::Data encoded(const std::string& text) const;
  foundation::Data openingBoundaryData() const;
  foundation::Data finalBoundaryData() const;

  RLStringEncoding stringEncoding_;
  net::HTTPHeaderFields headers_;
  std::string boundary_;
  Body body_;
  std::uint64_t bodyContentLength_;
  bool hasInitialBoundary_ = false;
  bool hasFinalBoundary_ = false;

  std::shared_ptr<foundation::InputStream> inputStream_;
  Phase phase_ = Phase::EncapsulationBoundary;
  foundation::Data phaseData_;  // the text of the current phase, encoded at its first read
  bool phaseDataReady_ = false;
  std::uint64_t phaseReadOffset_ = 0;
  std::uint64_t bodyBytesRead_ = 0;
  bool finished_ = false;
  std::optional<foundation::Error> error_;
};

// The multipart wire texts for `boundary`.
std::string RLMultipartInitialBoundary(const std::string& boundary);        // "--B" CRLF
std::string RLMultipartEncapsulationBoundary(const std::string& boundary);  // CRLF "--B" CRLF
std::string RLMultipartFinalBoundary(const std::string& boundary);          // CRLF "--B--" CRLF
