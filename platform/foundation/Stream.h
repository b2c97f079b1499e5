#pragma once
// OutputStream stands in for the platform's output streams: bytes written in chunks to a file, to
// a growing buffer in memory, or to a buffer of fixed capacity. A stream is opened, written until
// done, and closed. write() answers the count it took, 0 when a fixed buffer is full, or -1 on an
// error (then streamStatus() is Error and streamError() says why). Input streams are
// net::InputStream (platform/net/InputStream.h).
//
// What it leaves out: run-loop scheduling and stream events; writes block until the system has
// taken the bytes. A stream is used by one thread at a time.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace foundation {

class OutputStream {
 public:
  // The platform's stream status values.
  enum class Status { NotOpen = 0, Opening = 1, Open = 2, Reading = 3, Writing = 4, AtEnd = 5, Closed = 6, Error = 7 };

  virtual ~OutputStream() = default;

  // Prepares the stream for writing; a failure shows as Status::Error and streamError().
  virtual void open() = 0;
  // Releases the destination; later writes fail. Closing twice is harmless.
  virtual void close() = 0;
  // Writes up to `length` bytes of `buffer`: the count written (possibly fewer), 0 when the
  // stream has no room left, -1 on an error or when the stream is not open.
  virtual long write(const std::uint8_t* buffer, std::size_t length) = 0;
  // Whether a write may take bytes now: open and neither full nor failed.
  virtual bool hasSpaceAvailable() const = 0;
  virtual Status streamStatus() const = 0;
  virtual std::optional<Error> streamError() const = 0;

  // A stream into the file at `path`, created when missing (mode 0666 less the umask) and
  // emptied on open unless `append`. Nothing when `path` is empty. Opening reports a missing
  // folder or a lack of permission as the stream's error (a POSIX-domain error with the path).
  static std::shared_ptr<OutputStream> toFileAtPath(std::string path, bool append);
  // A stream into memory that grows without limit; see dataWrittenToMemory.
  static std::shared_ptr<OutputStream> toMemory();
  // A stream into memory that holds at most `capacity` bytes; once full, write() answers 0,
  // hasSpaceAvailable() false and the status is AtEnd.
  static std::shared_ptr<OutputStream> toBuffer(std::size_t capacity);

  // The bytes a memory or buffer stream has taken so far; nothing for a file stream.
  virtual std::optional<Data> dataWrittenToMemory() const { return std::nullopt; }
};

}  // namespace foundation
