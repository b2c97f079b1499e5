#include "platform/foundation/Log.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <mutex>

#include "platform/foundation/ProcessInfo.h"

namespace foundation {

namespace {

std::mutex& sinkMutex() {
  static auto* mutex = new std::mutex;  // outlives static destructors so late logs still work
  return *mutex;
}

LogSink& currentSink() {
  static auto* sink = new LogSink;
  return *sink;
}

// One write(2) per line keeps lines whole when several processes share the terminal.
void writeToStandardError(const std::string& line) {
  std::string buffer = line + "\n";
  const char* data = buffer.data();
  std::size_t left = buffer.size();
  while (left > 0) {
    const ssize_t n = write(STDERR_FILENO, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to report a failure to log
    data += n;
    left -= static_cast<std::size_t>(n);
  }
}

}  // namespace

LogSink setLogSink(LogSink sink) {
  std::lock_guard lock(sinkMutex());
  LogSink previous = std::move(currentSink());
  currentSink() = std::move(sink);
  return previous;
}

std::string formatLogLine(std::string_view message, Date when, std::string_view processName,
                          int processIdentifier, long threadIdentifier) {
  // Whole milliseconds first, so that 0.123 stored as 0.12299... still prints as .123.
  const auto totalMillis = static_cast<long long>(std::llround(when.timeIntervalSince1970() * 1000.0));
  long long wholeSeconds = totalMillis / 1000;
  long long millis = totalMillis % 1000;
  if (millis < 0) {
    millis += 1000;
    --wholeSeconds;
  }
  const auto seconds = static_cast<time_t>(wholeSeconds);
  tm local{};
  localtime_r(&seconds, &local);
  if (!message.empty() && message.back() == '\n') message.remove_suffix(1);
  return stringWithFormat("%04d-%02d-%02d %02d:%02d:%02d.%03lld %@[%d:%ld] %@",
                          local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                          local.tm_min, local.tm_sec, millis, processName, processIdentifier,
                          threadIdentifier, message);
}

void logMessage(std::string_view message) {
  ProcessInfo& info = ProcessInfo::processInfo();
  const std::string line =
      formatLogLine(message, Date::now(), info.processName(), info.processIdentifier(),
                    static_cast<long>(syscall(SYS_gettid)));
  std::lock_guard lock(sinkMutex());
  if (currentSink()) {
    currentSink()(line);
  } else {
    writeToStandardError(line);
  }
}

}  // namespace foundation
