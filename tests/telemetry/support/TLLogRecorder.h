#pragma once
// Installs itself as the telemetry logger's handler while it lives and keeps every message it is
// handed, with the text built at once; puts the default handler back when it goes. A queue may
// still be inside the handler it took a moment before, so the messages live as long as the handler.
#include <cstdint>
#include <memory>
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
    TLLogger::setLogHandler([state = state_](const TLLogMessageProvider& provider, TLLogLevel level,
                                             std::string_view tag, const char*, const char* function,
                                             std::uint32_t line) {
      Entry entry{level, std::string(tag), function ? function : "", line, provider ? provider() : ""};
      std::lock_guard lock(state->mutex);
      state->entries.push_back(std::move(entry));
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
    std::lock_guard lock(state_->mutex);
    return state_->entries;
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
  struct State {
    std::mutex mutex;
    std::vector<Entry> entries;
  };
  bool wasUserDefined_;
  std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace test
