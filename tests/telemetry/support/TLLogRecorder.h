#pragma once
// Installs itself as the telemetry logger's handler while it lives and keeps every message it is
// handed, with the text built at once; puts the default handler back when it goes.
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "telemetry/core/TLLogger.h"

namespace test {

class TLLogRecorder {
 public:
  struct Entry {
    TLLogLevel level;
    std::string tag;
    std::string function;
    std::uint32_t line;
    std::string message;
  };

  TLLogRecorder() : wasUserDefined_(TLLogger::isUserDefinedLogLevel()) {
    TLLogger::setLogHandler([this](const TLLogMessageProvider& provider, TLLogLevel level, std::string_view tag,
                                   const char*, const char* function, std::uint32_t line) {
      std::lock_guard lock(mutex_);
      entries_.push_back({level, std::string(tag), function ? function : "", line, provider ? provider() : ""});
    });
  }
  ~TLLogRecorder() {
    TLLogger::setLogHandler(&TLLogger::defaultLogHandler);
    TLLogger::setIsUserDefinedLogLevel(wasUserDefined_);
  }
  TLLogRecorder(const TLLogRecorder&) = delete;
  TLLogRecorder& operator=(const TLLogRecorder&) = delete;

  // Every message so far, in order. Thread-safe.
  std::vector<Entry> entries() const {
    std::lock_guard lock(mutex_);
    return entries_;
  }
  // The texts of the messages of `level`, in order. Thread-safe.
  std::vector<std::string> messages(TLLogLevel level) const {
    std::vector<std::string> texts;
    for (const Entry& entry : entries()) {
      if (entry.level == level) texts.push_back(entry.message);
    }
    return texts;
  }

 private:
  bool wasUserDefined_;
  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace test
