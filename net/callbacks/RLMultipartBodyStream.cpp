#include "net/callbacks/RLMultipartBodyStream.h"

#include <chrono>
#include <thread>

RLMultipartBodyStream::RLMultipartBodyStream(RLStringEncoding stringEncoding) : stringEncoding_(stringEncoding) {}

void RLMultipartBodyStream::appendHTTPBodyPart(std::unique_ptr<RLHTTPBodyPart> part) {
  if (part) parts_.push_back(std::move(part));
}

void RLMultipartBodyStream::setInitialAndFinalBoundaries() {
  for (std::size_t i = 0; i < parts_.size(); ++i) {
    parts_[i]->setHasInitialBoundary(i == 0);
    parts_[i]->setHasFinalBoundary(i + 1 == parts_.size());
  }
}

std::uint64_t RLMultipartBodyStream::contentLength() const {
  std::uint64_t length = 0;
  for (const auto& part : parts_) length += part->contentLength();
  return length;
}

void RLMultipartBodyStream::open() {
  const Status status = status_.load();
  if (status == Status::Open) return;
  // Parts read once are spent: opened again, the stream would send nothing as if it were done.
  if (status != Status::NotOpen) {
    fail(RLRequestSerializationError(RLRequestSerializationErrorBadArgument,
                                     "A body stream cannot be read twice; send a copy of it."));
    return;
  }
  status_ = Status::Open;
  setInitialAndFinalBoundaries();
  nextPart_ = 0;
  currentPart_ = nullptr;
}

void RLMultipartBodyStream::close() { status_ = Status::Closed; }

std::optional<foundation::Error> RLMultipartBodyStream::streamError() const {
  std::lock_guard lock(errorMutex_);
  return streamError_;
}

void RLMultipartBodyStream::fail(foundation::Error error) {
  {
    std::lock_guard lock(errorMutex_);
    streamError_ = std::move(error);
  }
  status_ = Status::Error;
}

long RLMultipartBodyStream::read(std::uint8_t* buffer, std::size_t maxLength) {
  const Status status = status_.load();
  if (status == Status::Closed) return 0;
  if (status != Status::Open) return -1;

  const std::size_t limit = std::min(maxLength, numberOfBytesInPacket_);
  std::size_t total = 0;
  while (total < limit) {
    if (!currentPart_ || !currentPart_->hasBytesAvailable()) {
      if (nextPart_ >= parts_.size()) break;
      currentPart_ = parts_[nextPart_++].get();
      continue;
    }
    const long count = currentPart_->read(buffer + total, limit - total);
    if (count < 0) {
      fail(currentPart_->error().value_or(RLRequestSerializationError(RLRequestSerializationErrorBadArgument,
                                                                      "The body part could not be read.")));
      return -1;
    }
    if (count == 0) {
      // A part that finished without another byte hands over to the next; one that gave nothing
      // and is not finished would be asked for ever.
      if (!currentPart_->hasBytesAvailable()) continue;
      fail(RLRequestSerializationError(RLRequestSerializationErrorBadArgument, "The body part could not be read."));
      return -1;
    }
    total += static_cast<std::size_t>(count);
    if (delay_ > 0) std::this_thread::sleep_for(std::chrono::duration<double>(delay_));
  }
  return static_cast<long>(total);
}

std::shared_ptr<foundation::InputStream> RLMultipartBodyStream::copy() const {
  auto stream = std::make_shared<RLMultipartBodyStream>(stringEncoding_);
  for (const auto& part : parts_) {
    auto partCopy = part->copy();
    if (!partCopy) return nullptr;
    stream->appendHTTPBodyPart(std::move(partCopy));
  }
  stream->setInitialAndFinalBoundaries();
  return stream;
}
