#pragma once
// Collects the lines the application logs while it lives, in place of the previous sink, which it
// puts back when it goes.
#include <mutex>
#include <string>
#include <vector>

#include "platform/foundation/Log.h"

namespace test {

class LogCapture {
 public:
  LogCapture() {
    previous_ = foundation::setLogSink([this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    });
  }
  ~LogCapture() { foundation::setLogSink(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The lines so far, in order. Thread-safe: lines may be logged from any thread.
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

  // Whether any line so far contains `part`. Thread-safe.
  bool contains(const std::string& part) const {
    for (const auto& line : lines()) {
      if (line.find(part) != std::string::npos) return true;
    }
    return false;
  }

 private:
  foundation::LogSink previous_;
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace test
