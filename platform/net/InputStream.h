#pragma once
// InputStream stands in for the platform's input streams, in the one role the URL loading layer
// needs: a request body read from start to end. A stream is opened, read in chunks until it
// answers 0 (end) or -1 (error, with streamError set), and closed. Subclasses supply the bytes;
// the data and file streams here cover in-memory bodies and bodies read from disk.
//
// A stream is read by one thread at a time (the session's transfer thread, once handed over).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace net {

class InputStream {
 public:
  // The platform's stream status values.
  enum class Status { NotOpen = 0, Opening = 1, Open = 2, Reading = 3, Writing = 4, AtEnd = 5, Closed = 6, Error = 7 };

  virtual ~InputStream() = default;

  // Prepares the stream for reading; failures show as Status::Error and streamError.
  virtual void open() = 0;
  virtual void close() = 0;
  // Reads up to `maxLength` bytes into `buffer`: the count read, 0 at the end, -1 on error.
  virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
  // Whether a read may give more bytes (true until the end or an error is seen).
  virtual bool hasBytesAvailable() const = 0;
  virtual Status streamStatus() const = 0;
  virtual std::optional<foundation::Error> streamError() const = 0;

  // A fresh stream over the same bytes, positioned at the start, for re-sending a body after a
  // redirect or an authentication retry; nullptr when the stream cannot be replayed.
  virtual std::shared_ptr<InputStream> copy() const { return nullptr; }

  // Streams over bytes and over a file.
  static std::shared_ptr<InputStream> withData(foundation::Data data);
  static std::shared_ptr<InputStream> withFileAtPath(std::string path);
};

}  // namespace net
