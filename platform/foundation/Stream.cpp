#include "platform/foundation/Stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/RunLoop.h"

namespace foundation {

// ---- Stream ----

void Stream::setDelegate(std::weak_ptr<StreamDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<StreamDelegate> Stream::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

Value Stream::propertyForKey(const std::string&) const { return Value(); }

bool Stream::setProperty(const Value&, const std::string&) { return false; }

void Stream::scheduleInRunLoop(RunLoop& runLoop, const std::string& mode) {
  std::lock_guard lock(mutex_);
  schedules_.emplace(&runLoop, mode);
}

void Stream::removeFromRunLoop(RunLoop& runLoop, const std::string& mode) {
  std::lock_guard lock(mutex_);
  schedules_.erase({&runLoop, mode});
}

bool Stream::isScheduled() const {
  std::lock_guard lock(mutex_);
  return !schedules_.empty();
}

void Stream::postEvent(StreamEvent event) {
  std::weak_ptr<Stream> weakSelf = weak_from_this();
  {
    std::lock_guard lock(mutex_);
    const auto bit = static_cast<unsigned>(event);
    // An event already on its way is not sent twice: a delegate reading in small chunks would
    // otherwise flood the loop.
    if (schedules_.empty() || delegate_.expired() || weakSelf.expired() || (pendingEvents_ & bit)) return;
    pendingEvents_ |= bit;
  }
  // The main run loop is the only one and drains the main queue, so events travel through it.
  dispatch::Queue::main()->async([weakSelf, event] {
    const auto self = weakSelf.lock();
    if (!self) return;
    std::shared_ptr<StreamDelegate> delegate;
    {
      std::lock_guard lock(self->mutex_);
      self->pendingEvents_ &= ~static_cast<unsigned>(event);
      if (self->schedules_.empty()) return;
      delegate = self->delegate_.lock();
    }
    if (delegate) delegate->stream(*self, event);
  });
}

bool InputStream::getBuffer(const std::uint8_t**, std::size_t*) { return false; }

bool OutputStream::writeAll(const std::uint8_t* buffer, std::size_t length) {
  while (length > 0) {
    if (!hasSpaceAvailable()) return false;
    const long written = write(buffer, length);
    if (written <= 0 || streamStatus() == Status::Error) return false;
    buffer += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

namespace {

// The largest count one read or write call is given, so that the answer fits in a long.
constexpr std::size_t kMaximumChunk = static_cast<std::size_t>(std::numeric_limits<long>::max());

// ---- input streams ----

class DataInputStream final : public InputStream {
 public:
  explicit DataInputStream(std::shared_ptr<const Data> data) : data_(std::move(data)) {}

  void open() override {
    if (status_ != Status::NotOpen) return;
    status_ = data_->empty() ? Status::AtEnd : Status::Open;
    postEvent(StreamEvent::OpenCompleted);
    postEvent(data_->empty() ? StreamEvent::EndEncountered : StreamEvent::HasBytesAvailable);
  }
  void close() override { status_ = Status::Closed; }
  long read(std::uint8_t* buffer, std::size_t maxLength) override {
    if (status_ == Status::AtEnd) return 0;
    if (status_ != Status::Open) return -1;
    const std::size_t n = std::min({maxLength, data_->size() - offset_, kMaximumChunk});
    if (n) std::memcpy(buffer, data_->data() + offset_, n);
    offset_ += n;
    if (offset_ == data_->size()) status_ = Status::AtEnd;
    postEvent(status_ == Status::AtEnd ? StreamEvent::EndEncountered : StreamEvent::HasBytesAvailable);
    return static_cast<long>(n);
  }
  bool hasBytesAvailable() const override { return status_ == Status::Open || status_ == Status::NotOpen; }
  Status streamStatus() const override { return status_; }
  std::optional<Error> streamError() const override { return std::nullopt; }
  std::shared_ptr<InputStream> copy() const override { return std::make_shared<DataInputStream>(data_); }

 private:
  std::shared_ptr<const Data> data_;
  std::size_t offset_ = 0;
  Status status_ = Status::NotOpen;
};

// What the file streams share: a path, a descriptor, and the status and error they report.
template <class Base>
class FileStream : public Base {
 public:
  explicit FileStream(std::string path) : path_(std::move(path)) {}
  ~FileStream() override { closeFile(); }

  void close() override {
    closeFile();
    if (status_ != Stream::Status::Error) status_ = Stream::Status::Closed;
  }
  Stream::Status streamStatus() const override { return status_; }
  std::optional<Error> streamError() const override { return error_; }

 protected:
  // Opens the file with `flags`; a failure becomes the stream's error.
  void openFile(int flags, StreamEvent readiness) {
    if (status_ != Stream::Status::NotOpen) return;
    fd_ = ::open(path_.c_str(), flags | O_CLOEXEC, 0666);
    if (fd_ < 0) return fail(errno);
    status_ = Stream::Status::Open;
    this->postEvent(StreamEvent::OpenCompleted);
    this->postEvent(readiness);
  }
  void fail(int errnoValue) {
    error_ = Error::posix(errnoValue, path_);
    status_ = Stream::Status::Error;
    closeFile();
    this->postEvent(StreamEvent::ErrorOccurred);
  }
  void closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string path_;
  int fd_ = -1;
  Stream::Status status_ = Stream::Status::NotOpen;
  std::optional<Error> error_;
};

class FileInputStream final : public FileStream<InputStream> {
 public:
  using FileStream::FileStream;

  void open() override { openFile(O_RDONLY, StreamEvent::HasBytesAvailable); }
  long read(std::uint8_t* buffer, std::size_t maxLength) override {
    if (status_ == Status::AtEnd) return 0;
    if (status_ != Status::Open) return -1;
    ssize_t n;
    do {
      n = ::read(fd_, buffer, std::min(maxLength, kMaximumChunk));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      fail(errno);
      return -1;
    }
    if (n == 0 && maxLength > 0) status_ = Status::AtEnd;
    postEvent(status_ == Status::AtEnd ? StreamEvent::EndEncountered : StreamEvent::HasBytesAvailable);
    return static_cast<long>(n);
  }
  bool hasBytesAvailable() const override { return status_ == Status::Open || status_ == Status::NotOpen; }
  std::shared_ptr<InputStream> copy() const override { return std::make_shared<FileInputStream>(path_); }
};

// ---- output streams ----

class FileOutputStream final : public FileStream<OutputStream> {
 public:
  FileOutputStream(std::string path, bool append) : FileStream(std::move(path)), append_(append) {}

  void open() override { openFile(O_WRONLY | O_CREAT | (append_ ? O_APPEND : O_TRUNC), StreamEvent::HasSpaceAvailable); }
  long write(const std::uint8_t* buffer, std::size_t length) override {
    if (status_ != Status::Open) return -1;
    ssize_t written;
    do {
      written = ::write(fd_, buffer, std::min(length, kMaximumChunk));
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
      fail(errno);
      return -1;
    }
    postEvent(StreamEvent::HasSpaceAvailable);
    return static_cast<long>(written);
  }
  bool hasSpaceAvailable() const override { return status_ == Status::Open; }

 private:
  bool append_;
};

class MemoryOutputStream final : public OutputStream {
 public:
  explicit MemoryOutputStream(std::optional<std::size_t> capacity) : capacity_(capacity) {}

  void open() override {
    if (status_ != Status::NotOpen) return;
    status_ = full() ? Status::AtEnd : Status::Open;
    postEvent(StreamEvent::OpenCompleted);
    postEvent(full() ? StreamEvent::EndEncountered : StreamEvent::HasSpaceAvailable);
  }
  void close() override { status_ = Status::Closed; }
  long write(const std::uint8_t* buffer, std::size_t length) override {
    if (status_ == Status::AtEnd) return 0;
    if (status_ != Status::Open) return -1;
    std::size_t n = length;
    if (capacity_) n = std::min(n, *capacity_ - data_.size());
    n = std::min<std::size_t>(n, std::numeric_limits<long>::max());
    data_.insert(data_.end(), buffer, buffer + n);
    if (full()) status_ = Status::AtEnd;
    postEvent(full() ? StreamEvent::EndEncountered : StreamEvent::HasSpaceAvailable);
    return static_cast<long>(n);
  }
  bool hasSpaceAvailable() const override { return status_ == Status::Open; }
  Status streamStatus() const override { return status_; }
  std::optional<Error> streamError() const override { return std::nullopt; }
  std::optional<Data> dataWrittenToMemory() const override { return data_; }

 private:
  bool full() const { return capacity_ && data_.size() >= *capacity_; }

  std::optional<std::size_t> capacity_;
  Data data_;
  Status status_ = Status::NotOpen;
};

}  // namespace

std::shared_ptr<InputStream> InputStream::withData(Data data) {
  return std::make_shared<DataInputStream>(std::make_shared<const Data>(std::move(data)));
}

std::shared_ptr<InputStream> InputStream::withFileAtPath(std::string path) {
  return std::make_shared<FileInputStream>(std::move(path));
}

std::shared_ptr<OutputStream> OutputStream::toFileAtPath(std::string path, bool append) {
  if (path.empty()) return nullptr;
  return std::make_shared<FileOutputStream>(std::move(path), append);
}

std::shared_ptr<OutputStream> OutputStream::toMemory() { return std::make_shared<MemoryOutputStream>(std::nullopt); }

std::shared_ptr<OutputStream> OutputStream::toBuffer(std::size_t capacity) {
  return std::make_shared<MemoryOutputStream>(capacity);
}

}  // namespace foundation
