#include "telemetry/core/TLLogger.h"

#include <atomic>
#include <memory>
#include <mutex>

#include "platform/foundation/Log.h"

namespace {

// The level and the flag are atomics so that the default handler and readers on any thread never
// wait; the lock only keeps each setter's pair of writes together. The handler is swapped as a
// whole shared pointer under its own short lock (held to copy the pointer, never while a handler
// runs), so a message logged while another thread replaces it reaches either the old or the new
// handler, never a half-written one.
struct LoggerState {
  std::mutex lock;
  std::atomic<std::uint64_t> level{TLLogLevelAssert};
  std::atomic<bool> userDefined{false};
  std::mutex handlerLock;
  std::shared_ptr<const TLLogHandler> handler = std::make_shared<const TLLogHandler>(&TLLogger::defaultLogHandler);

  std::shared_ptr<const TLLogHandler> currentHandler() {
    std::lock_guard guard(handlerLock);
    return handler;
  }
};

// Never destroyed: threads and static destructors may still log while the process exits.
LoggerState& state() {
  static LoggerState* instance = new LoggerState();
  return *instance;
}

}  // namespace

TLLogLevel TLLogger::currentLogLevel() {
  return static_cast<TLLogLevel>(state().level.load());
}

void TLLogger::setCurrentLogLevel(TLLogLevel level) {
  std::lock_guard guard(state().lock);
  state().userDefined = true;
  state().level = level;
}

void TLLogger::setLogHandler(TLLogHandler handler) {
  std::lock_guard guard(state().lock);
  state().userDefined = true;
  auto replacement = handler ? std::make_shared<const TLLogHandler>(std::move(handler)) : nullptr;
  {
    std::lock_guard handlerGuard(state().handlerLock);
    state().handler.swap(replacement);
  }
  // The old handler, if this held its last reference, goes here, outside the handler lock.
}

void TLLogger::logMessage(const TLLogMessageProvider& messageProvider, TLLogLevel level,
                          std::string_view tag, const char* file, const char* function,
                          std::uint32_t line) {
  const std::shared_ptr<const TLLogHandler> handler = state().currentHandler();
  if (handler) (*handler)(messageProvider, level, tag, file, function, line);
}

bool TLLogger::isUserDefinedLogLevel() {
  return state().userDefined.load();
}

void TLLogger::setIsUserDefinedLogLevel(bool isUserDefined) {
  state().userDefined = isUserDefined;
}

const char* TLLogger::levelName(TLLogLevel level) {
  switch (level) {
    case TLLogLevelVerbose: return "VERBOSE";
    case TLLogLevelDebug: return "DEBUG";
    case TLLogLevelInfo: return "INFO";
    case TLLogLevelWarning: return "WARNING";
    case TLLogLevelError: return "ERROR";
    case TLLogLevelAssert: return "ASSERT";
    default: return nullptr;
  }
}

void TLLogger::defaultLogHandler(const TLLogMessageProvider& messageProvider, TLLogLevel level,
                                 std::string_view tag, const char* /*file*/, const char* function,
                                 std::uint32_t line) {
  if (!messageProvider || level < currentLogLevel()) return;
  if (level == TLLogLevelNone) return;
  foundation::logf("[%@] %@: %@/%d %@", tag, levelName(level), function, line, messageProvider());
}
