#pragma once
// RLMultipartBodyStream is the input stream a multipart request sends as its body: it reads its
// parts one after the other, straight from their bytes, files and streams, so that no body is
// ever assembled in memory. Its length is the sum of its parts' lengths, known before reading.
//
// Reads may be throttled: each read then gives at most numberOfBytesInPacket bytes, and the
// reading thread pauses for `delay` seconds after each chunk it takes from a part. A part whose
// body fails or ends short of its declared length fails the read: it answers -1, the status
// becomes Error and streamError() says why, so the upload fails rather than sending a short body.
//
// Scheduling in a run loop does nothing (reads never wait for events). The stream is read by one
// thread at a time; streamError() and the status may be asked from any thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "net/callbacks/RLHTTPBodyPart.h"
#include "net/callbacks/RLURLRequestSerialization.h"
#include "platform/foundation/Stream.h"

class RLMultipartBodyStream final : public foundation::InputStream {
 public:
  explicit RLMultipartBodyStream(RLStringEncoding stringEncoding);

  RLStringEncoding stringEncoding() const { return stringEncoding_; }

  // Throttling; no limit and no pause by default. A packet size of 0 counts as 1.
  std::size_t numberOfBytesInPacket() const { return numberOfBytesInPacket_; }
  void setNumberOfBytesInPacket(std::size_t bytes) { numberOfBytesInPacket_ = bytes ? bytes : 1; }
  double delay() const { return delay_; }
  void setDelay(double seconds) { delay_ = seconds; }

  // Adds `part` after the others; the stream owns it. Not while the stream is being read.
  void appendHTTPBodyPart(std::unique_ptr<RLHTTPBodyPart> part);
  const std::vector<std::unique_ptr<RLHTTPBodyPart>>& HTTPBodyParts() const { return parts_; }
  // Marks the first part as opening the body and the last as closing it; no others.
  void setInitialAndFinalBoundaries();
  bool isEmpty() const { return parts_.empty(); }
  // The bytes a full read delivers. Set the boundaries first.
  std::uint64_t contentLength() const;

  // Opening marks the boundaries and starts at the first part; opening an open stream does
  // nothing, and opening a closed or failed one fails it (its parts are spent: read a copy).
  // Closing ends reading: later reads answer 0.
  void open() override;
  void close() override;
  Status streamStatus() const override { return status_.load(); }
  std::optional<foundation::Error> streamError() const override;

  // Up to `maxLength` bytes (less under throttling), 0 when every part is read or the stream is
  // closed, -1 when a part failed or the stream was never opened.
  long read(std::uint8_t* buffer, std::size_t maxLength) override;
  // True exactly while the stream is open.
  bool hasBytesAvailable() const override { return status_.load() == Status::Open; }

  void scheduleInRunLoop(foundation::RunLoop&, const std::string&) override {}
  void removeFromRunLoop(foundation::RunLoop&, const std::string&) override {}

  // A fresh, unopened stream over copies of the parts, with the boundaries marked and no
  // throttling; null when a part's stream cannot be replayed. The caller owns it.
  std::shared_ptr<foundation::InputStream> copy() const override;

 private:
  void fail(foundation::Error error);

  RLStringEncoding stringEncoding_;
  std::size_t numberOfBytesInPacket_ = static_cast<std::size_t>(std::numeric_limits<std::int64_t>::max());
  double delay_ = 0;
  std::vector<std::unique_ptr<RLHTTPBodyPart>> parts_;
  std::size_t nextPart_ = 0;
  RLHTTPBodyPart* currentPart_ = nullptr;
  std::atomic<Status> status_{Status::NotOpen};
  mutable std::mutex errorMutex_;
  std::optional<foundation::Error> streamError_;
};
