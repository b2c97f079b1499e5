#include "platform/net/InputStream.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace net {
namespace {

class DataInputStream final : public InputStream {
 public:
  explicit DataInputStream(std::shared_ptr<const foundation::Data> data) : data_(std::move(data)) {}

  void open() override {
    if (status_ == Status::NotOpen) status_ = data_->empty() ? Status::AtEnd : Status::Open;
  }
  void close() override { status_ = Status::Closed; }
  long read(std::uint8_t* buffer, std::size_t maxLength) override {
    if (status_ != Status::Open && status_ != Status::AtEnd) return -1;
    std::size_t n = std::min(maxLength, data_->size() - offset_);
    if (n) std::memcpy(buffer, data_->data() + offset_, n);
    offset_ += n;
    if (offset_ == data_->size()) status_ = Status::AtEnd;
    return static_cast<long>(n);
  }
  bool hasBytesAvailable() const override { return status_ == Status::Open || status_ == Status::NotOpen; }
  Status streamStatus() const override { return status_; }
  std::optional<foundation::Error> streamError() const override { return std::nullopt; }
  std::shared_ptr<InputStream> copy() const override { return std::make_shared<DataInputStream>(data_); }

 private:
  std::shared_ptr<const foundation::Data> data_;
  std::size_t offset_ = 0;
  Status status_ = Status::NotOpen;
};

class FileInputStream final : public InputStream {
 public:
  explicit FileInputStream(std::string path) : path_(std::move(path)) {}
  ~FileInputStream() override { closeFile(); }

  void open() override {
    if (status_ != Status::NotOpen) return;
    file_ = std::fopen(path_.c_str(), "rb");
    if (!file_) {
      error_ = foundation::Error::posix(errno, path_);
      status_ = Status::Error;
      return;
    }
    status_ = Status::Open;
  }
  void close() override {
    closeFile();
    status_ = Status::Closed;
  }
  long read(std::uint8_t* buffer, std::size_t maxLength) override {
    if (status_ == Status::AtEnd) return 0;
    if (status_ != Status::Open) return -1;
    std::size_t n = std::fread(buffer, 1, maxLength, file_);
    if (n == 0 && std::ferror(file_)) {
      error_ = foundation::Error::posix(errno ? errno : EIO, path_);
      status_ = Status::Error;
      return -1;
    }
    if (n < maxLength && std::feof(file_)) status_ = Status::AtEnd;
    return static_cast<long>(n);
  }
  bool hasBytesAvailable() const override { return status_ == Status::Open || status_ == Status::NotOpen; }
  Status streamStatus() const override { return status_; }
  std::optional<foundation::Error> streamError() const override { return error_; }
  std::shared_ptr<InputStream> copy() const override { return std::make_shared<FileInputStream>(path_); }

 private:
  void closeFile() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
  }
  std::string path_;
  std::FILE* file_ = nullptr;
  Status status_ = Status::NotOpen;
  std::optional<foundation::Error> error_;
};

}  // namespace

std::shared_ptr<InputStream> InputStream::withData(foundation::Data data) {
  return std::make_shared<DataInputStream>(std::make_shared<const foundation::Data>(std::move(data)));
}

std::shared_ptr<InputStream> InputStream::withFileAtPath(std::string path) {
  return std::make_shared<FileInputStream>(std::move(path));
}

}  // namespace net
