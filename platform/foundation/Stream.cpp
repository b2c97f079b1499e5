#include "platform/foundation/Stream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace foundation {
namespace {

class FileOutputStream final : public OutputStream {
 public:
  FileOutputStream(std::string path, bool append) : path_(std::move(path)), append_(append) {}
  ~FileOutputStream() override { closeFile(); }

  void open() override {
    if (status_ != Status::NotOpen) return;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (append_ ? O_APPEND : O_TRUNC);
    fd_ = ::open(path_.c_str(), flags, 0666);
    if (fd_ < 0) return fail(errno);
    status_ = Status::Open;
  }
  void close() override {
    closeFile();
    if (status_ != Status::Error) status_ = Status::Closed;
  }
  long write(const std::uint8_t* buffer, std::size_t length) override {
    if (status_ != Status::Open) return -1;
    const std::size_t chunk = std::min<std::size_t>(length, std::numeric_limits<long>::max());
    ssize_t written;
    do {
      written = ::write(fd_, buffer, chunk);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
      fail(errno);
      return -1;
    }
    return static_cast<long>(written);
  }
  bool hasSpaceAvailable() const override { return status_ == Status::Open; }
  Status streamStatus() const override { return status_; }
  std::optional<Error> streamError() const override { return error_; }

 private:
  void fail(int errnoValue) {
    error_ = Error::posix(errnoValue, path_);
    status_ = Status::Error;
    closeFile();
  }
  void closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  std::string path_;
  bool append_;
  int fd_ = -1;
  Status status_ = Status::NotOpen;
  std::optional<Error> error_;
};

class MemoryOutputStream final : public OutputStream {
 public:
  explicit MemoryOutputStream(std::optional<std::size_t> capacity) : capacity_(capacity) {}

  void open() override {
    if (status_ == Status::NotOpen) status_ = full() ? Status::AtEnd : Status::Open;
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

std::shared_ptr<OutputStream> OutputStream::toFileAtPath(std::string path, bool append) {
  if (path.empty()) return nullptr;
  return std::make_shared<FileOutputStream>(std::move(path), append);
}

std::shared_ptr<OutputStream> OutputStream::toMemory() { return std::make_shared<MemoryOutputStream>(std::nullopt); }

std::shared_ptr<OutputStream> OutputStream::toBuffer(std::size_t capacity) {
  return std::make_shared<MemoryOutputStream>(capacity);
}

}  // namespace foundation
