#pragma once
// Stream, InputStream and OutputStream stand in for the platform's streams: bytes read in chunks
// from data in memory or a file, and written in chunks to a file, a growing buffer in memory or a
// buffer of fixed capacity. A stream is opened, read or written until done, and closed; a stream
// that cannot open, read or write shows Status::Error and says why in streamError(). Subsystems
// derive their own streams from InputStream or OutputStream (a multipart body, for one).
//
// Scheduling: a stream scheduled in the run loop tells its delegate of its events (opened, bytes
// or space available, end, error) there, after the call that caused them, as the platform's
// streams do. The built-in streams never block waiting for events, so reading and writing
// without scheduling works the same. The run loop has one mode, so any mode name is accepted.
//
// A stream is read or written by one thread at a time; the delegate and scheduling calls are
// thread-safe.
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace foundation {

class RunLoop;
class Stream;

// The platform's stream events, as bits.
enum class StreamEvent : unsigned {
  None = 0,
  OpenCompleted = 1,
  HasBytesAvailable = 2,
  HasSpaceAvailable = 4,
  ErrorOccurred = 8,
  EndEncountered = 16,
};

// Receives a scheduled stream's events on the run loop's thread.
class StreamDelegate {
 public:
  virtual ~StreamDelegate() = default;
  virtual void stream(Stream& stream, StreamEvent event) = 0;
};

class Stream : public std::enable_shared_from_this<Stream> {
 public:
  // The platform's stream status values.
  enum class Status { NotOpen = 0, Opening = 1, Open = 2, Reading = 3, Writing = 4, AtEnd = 5, Closed = 6, Error = 7 };

  Stream() = default;
  virtual ~Stream() = default;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Prepares the stream; a failure shows as Status::Error and streamError(). Opening an open
  // stream does nothing.
  virtual void open() = 0;
  // Releases what the stream holds; later reads and writes fail. Closing twice is harmless.
  virtual void close() = 0;
  virtual Status streamStatus() const = 0;
  // Why the stream failed; nothing unless the status is Error.
  virtual std::optional<Error> streamError() const = 0;

  // The delegate, held weakly (the platform's delegates are not retained).
  void setDelegate(std::weak_ptr<StreamDelegate> delegate);
  std::shared_ptr<StreamDelegate> delegate() const;

  // Stream properties; the built-in streams have none: null, and setting answers false.
  virtual Value propertyForKey(const std::string& key) const;
  virtual bool setProperty(const Value& property, const std::string& key);

  // Events go to the delegate through `runLoop` while the stream is scheduled there in at least
  // one mode. Scheduling twice in one mode is harmless.
  virtual void scheduleInRunLoop(RunLoop& runLoop, const std::string& mode);
  virtual void removeFromRunLoop(RunLoop& runLoop, const std::string& mode);
  bool isScheduled() const;

 protected:
  // Tells the delegate of `event` on the run loop, later, when the stream is scheduled, has a
  // delegate and is owned by a shared_ptr; otherwise does nothing. Thread-safe.
  void postEvent(StreamEvent event);

 private:
  mutable std::mutex mutex_;
  std::weak_ptr<StreamDelegate> delegate_;
  std::set<std::pair<RunLoop*, std::string>> schedules_;
  unsigned pendingEvents_ = 0;  // events posted and not yet delivered
};

class InputStream : public Stream {
 public:
  // Reads up to `maxLength` bytes into `buffer`: the count read, 0 at the end, -1 on an error
  // (then streamError is set) or when the stream is not open.
  virtual long read(std::uint8_t* buffer, std::size_t maxLength) = 0;
  // Whether a read may give more bytes: true until the end or an error is seen.
  virtual bool hasBytesAvailable() const = 0;
  // Direct access to the stream's buffered bytes; the built-in streams give none (false).
  virtual bool getBuffer(const std::uint8_t** buffer, std::size_t* length);

  // A fresh stream over the same bytes, positioned at the start, for re-sending a body after a
  // redirect or an authentication retry; nullptr when the stream cannot be replayed.
  virtual std::shared_ptr<InputStream> copy() const { return nullptr; }

  // A stream over `data` (the bytes are shared by its copies).
  static std::shared_ptr<InputStream> withData(Data data);
  // A stream over the file at `path`; a file that cannot be opened shows on open() as
  // Status::Error with a POSIX-domain error naming the path.
  static std::shared_ptr<InputStream> withFileAtPath(std::string path);
};

class OutputStream : public Stream {
 public:
  // Writes up to `length` bytes of `buffer`: the count written (possibly fewer), 0 when the
  // stream has no room left, -1 on an error or when the stream is not open.
  virtual long write(const std::uint8_t* buffer, std::size_t length) = 0;
  // Whether a write may take bytes now: open and neither full nor failed.
  virtual bool hasSpaceAvailable() const = 0;

  // Writes all `length` bytes, calling write() as often as it takes. Answers true when all were
  // taken; false when the stream failed, filled up or stopped taking bytes (a write of 0), after
  // which an unknown prefix has been written. Use it rather than one write() of a whole buffer,
  // which may take only part.
  bool writeAll(const std::uint8_t* buffer, std::size_t length);

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
