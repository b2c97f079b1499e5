#pragma once
// Log stands in for the platform's NSLog: one line per message on standard error, in the form
// "2026-12-09 22:10:01.123 quillmere[1234:5678] message" (local time with milliseconds, process
// name, process and thread identifiers). The sink is replaceable so that tests can capture lines.
//
// Logging is safe from any thread; each line is handed to the sink whole, one at a time.
#include <functional>
#include <string>
#include <string_view>

#include "platform/foundation/Date.h"
#include "platform/foundation/String.h"

namespace foundation {

// Receives each finished line, without its final newline.
using LogSink = std::function<void(const std::string& line)>;

// Replaces the sink and returns the previous one; an empty sink restores standard error.
LogSink setLogSink(LogSink sink);

// The line for `message` as the logger writes it. A message's own final newline is dropped, as
// the platform does, so that it does not end in a blank line.
std::string formatLogLine(std::string_view message, Date when, std::string_view processName,
                          int processIdentifier, long threadIdentifier);

// Logs `message` now, from the calling thread.
void logMessage(std::string_view message);

// Formats as stringWithFormat does, then logs.
template <typename... Args>
void logf(std::string_view format, const Args&... args) {
  logMessage(stringWithFormat(format, args...));
}

// The platform's name for logf.
template <typename... Args>
void NSLog(std::string_view format, const Args&... args) {
  logMessage(stringWithFormat(format, args...));
}

}  // namespace foundation
