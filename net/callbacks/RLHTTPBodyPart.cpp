#include "net/callbacks/RLHTTPBodyPart.h"

#include <algorithm>
#include <cstring>

namespace {

const char* const kCRLF = "\r\n";

}  // namespace

std::string RLMultipartInitialBoundary(const std::string& boundary) { return "--" + boundary + kCRLF; }

std::string RLMultipartEncapsulationBoundary(const std::string& boundary) {
  return std::string(kCRLF) + "--" + boundary + kCRLF;
}

std::string RLMultipartFinalBoundary(const std::string& boundary) {
  return std::string(kCRLF) + "--" + boundary + "--" + kCRLF;
}

RLHTTPBodyPart::RLHTTPBodyPart(RLStringEncoding stringEncoding, net::HTTPHeaderFields headers, std::string boundary,
                               Body body, std::uint64_t bodyContentLength)
    : stringEncoding_(stringEncoding),
      headers_(std::move(headers)),
      boundary_(std::move(boundary)),
      body_(std::move(body)),
      bodyContentLength_(bodyContentLength) {}

RLHTTPBodyPart::~RLHTTPBodyPart() {
  if (inputStream_) inputStream_->close();
}

std::string RLHTTPBodyPart::stringForHeaders() const {
  std::string text;
  for (const auto& [field, value] : headers_) text += field + ": " + value + kCRLF;
  return text + kCRLF;
}

foundation::Data RLHTTPBodyPart::encoded(const std::string& text) const {
  // The builder refuses text its encoding cannot write, so this never drops anything it sends.
  auto data = RLEncodedString(text, stringEncoding_);
  return data ? std::move(*data) : foundation::Data();
}

foundation::Data RLHTTPBodyPart::openingBoundaryData() const {
  return encoded(hasInitialBoundary_ ? RLMultipartInitialBoundary(boundary_) : RLMultipartEncapsulationBoundary(boundary_));
}

foundation::Data RLHTTPBodyPart::finalBoundaryData() const {
  return hasFinalBoundary_ ? encoded(RLMultipartFinalBoundary(boundary_)) : foundation::Data();
}

std::uint64_t RLHTTPBodyPart::contentLength() const {
  return openingBoundaryData().size() + encoded(stringForHeaders()).size() + bodyContentLength_ +
         finalBoundaryData().size();
}

std::shared_ptr<foundation::InputStream> RLHTTPBodyPart::inputStream() {
  if (inputStream_) return inputStream_;
  if (const auto* data = std::get_if<foundation::Data>(&body_)) {
    inputStream_ = foundation::InputStream::withData(*data);
  } else if (const auto* url = std::get_if<net::URL>(&body_)) {
    inputStream_ = foundation::InputStream::withFileAtPath(url->path());
  } else {
    inputStream_ = std::get<std::shared_ptr<foundation::InputStream>>(body_);
  }
  if (!inputStream_) inputStream_ = foundation::InputStream::withData({});
  return inputStream_;
}

long RLHTTPBodyPart::read(std::uint8_t* buffer, std::size_t maxLength) {
  std::size_t total = 0;
  // Each pass delivers bytes or finishes a phase, so the loop always ends.
  while (total < maxLength && !finished_) {
    if (phase_ == Phase::Body) {
      const long count = readBody(buffer + total, maxLength - total);
      if (count < 0) return -1;
      total += static_cast<std::size_t>(count);
      continue;
    }
    if (!phaseDataReady_) {
      phaseData_ = phase_ == Phase::EncapsulationBoundary ? openingBoundaryData()
                   : phase_ == Phase::Headers             ? encoded(stringForHeaders())
                                                          : finalBoundaryData();
      phaseDataReady_ = true;
    }
    total += readData(phaseData_, buffer + total, maxLength - total);
  }
  return static_cast<long>(total);
}

std::size_t RLHTTPBodyPart::readData(const foundation::Data& data, std::uint8_t* buffer, std::size_t maxLength) {
  const std::size_t offset = static_cast<std::size_t>(phaseReadOffset_);
  const std::size_t count = std::min(data.size() - offset, maxLength);
  if (count) std::memcpy(buffer, data.data() + offset, count);
  phaseReadOffset_ += count;
  if (phaseReadOffset_ >= data.size()) transitionToNextPhase();
  return count;
}

long RLHTTPBodyPart::readBody(std::uint8_t* buffer, std::size_t maxLength) {
  const std::uint64_t remaining = bodyContentLength_ - bodyBytesRead_;
  if (remaining == 0) {
    transitionToNextPhase();
    return 0;
  }
  auto stream = inputStream();
  const long count = stream->read(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(remaining, maxLength)));
  if (count < 0) {
    error_ = stream->streamError();
    if (!error_) error_ = RLRequestSerializationError(RLRequestSerializationErrorBadArgument, "The body part could not be read.");
    return -1;
  }
  if (count == 0) {
    // The stream ended (or stalled) short of the length the body declared.
    error_ = RLRequestSerializationError(RLRequestSerializationErrorBadArgument,
                                         "The body part ended before its declared length.");
    return -1;
  }
  bodyBytesRead_ += static_cast<std::uint64_t>(count);
  if (bodyBytesRead_ == bodyContentLength_) transitionToNextPhase();
  return count;
}

void RLHTTPBodyPart::transitionToNextPhase() {
  // Phases change on the reading thread: handing them to the main thread could deadlock when
  // the main thread itself waits for the upload.
  switch (phase_) {
    case Phase::EncapsulationBoundary:
      phase_ = Phase::Headers;
      break;
    case Phase::Headers:
      inputStream()->open();
      phase_ = Phase::Body;
      break;
    case Phase::Body:
      inputStream()->close();
      phase_ = Phase::FinalBoundary;
      break;
    case Phase::FinalBoundary:
      phase_ = Phase::EncapsulationBoundary;
      finished_ = true;
      break;
  }
  phaseReadOffset_ = 0;
  phaseDataReady_ = false;
}

std::unique_ptr<RLHTTPBodyPart> RLHTTPBodyPart::copy() const {
  Body body = body_;
  if (auto* stream = std::get_if<std::shared_ptr<foundation::InputStream>>(&body)) {
    auto replay = *stream ? (*stream)->copy() : nullptr;
    if (!replay) return nullptr;
    *stream = std::move(replay);
  }
  return std::make_unique<RLHTTPBodyPart>(stringEncoding_, headers_, boundary_, std::move(body), bodyContentLength_);
}
