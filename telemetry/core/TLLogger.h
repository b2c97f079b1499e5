#pragma once
// TLLogger is the telemetry SDK's logger: one process-wide level, one replaceable handler, and a
// default handler that writes the lines it lets through to the system log.
//
// The logger itself filters nothing: every message reaches the handler, which decides from the
// level whether to build and print it. So a custom handler sees every message, also below the
// current level.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/foundation/String.h"

// Log levels; the values are what handlers receive and what the SDK stores.
enum TLLogLevel : std::uint64_t {
  TLLogLevelVerbose = 2,
  TLLogLevelDebug = 3,
  TLLogLevelInfo = 4,
  TLLogLevelWarning = 5,
  TLLogLevelError = 6,
  TLLogLevelAssert = 7,
  TLLogLevelNone = 99,  // silences the default handler
};

// Answers the text of one message. Building it may be costly, so only a handler that prints calls
// it; it may refer to the logging site's locals, so a handler must call it, if at all, before it
// returns.
using TLLogMessageProvider = std::function<std::string()>;

// Receives every message: the provider (may be empty), the level, the tag, the source file, the
// function and the line. Called on the logging thread, from any thread.
using TLLogHandler = std::function<void(const TLLogMessageProvider& messageProvider, TLLogLevel level,
                                        std::string_view tag, const char* file, const char* function,
                                        std::uint32_t line)>;

class TLLogger {
 public:
  TLLogger() = delete;

  // The current level; TLLogLevelAssert until someone sets another. Thread-safe.
  static TLLogLevel currentLogLevel();
  // Sets the level and marks it as chosen by the user. Thread-safe.
  static void setCurrentLogLevel(TLLogLevel level);
  // Replaces the handler and marks the level as chosen by the user; an empty handler drops every
  // message from then on. Thread-safe.
  static void setLogHandler(TLLogHandler handler);
  // Hands the message to the current handler, if there is one. Never fails; thread-safe.
  static void logMessage(const TLLogMessageProvider& messageProvider, TLLogLevel level,
                         std::string_view tag, const char* file, const char* function,
                         std::uint32_t line);
  // Whether the level (or the handler) was set by the user rather than left at its default.
  static bool isUserDefinedLogLevel();
  // Sets that flag alone. Thread-safe.
  static void setIsUserDefinedLogLevel(bool isUserDefined);

  // The handler installed at start: drops messages below the current level and those of level
  // TLLogLevelNone, and writes the others through the foundation log as
  // "[tag] LEVEL: function/line message". Thread-safe.
  static void defaultLogHandler(const TLLogMessageProvider& messageProvider, TLLogLevel level,
                                std::string_view tag, const char* file, const char* function,
                                std::uint32_t line);
  // The name the default handler prints for `level` ("VERBOSE" .. "ASSERT"); nothing for other
  // values.
  static const char* levelName(TLLogLevel level);
};

// The SDK's logging sites: the format and its arguments, as foundation::stringWithFormat takes
// them, are only formatted when the handler asks for the text.
#define TLLOG_AT_LEVEL(level, tag, format, ...)                                                       \
  TLLogger::logMessage(                                                                               \
      [&]() -> std::string { return foundation::stringWithFormat(format __VA_OPT__(, ) __VA_ARGS__); }, \
      level, tag, __FILE__, __PRETTY_FUNCTION__, __LINE__)
#define TLLogVerbose(tag, format, ...) TLLOG_AT_LEVEL(TLLogLevelVerbose, tag, format __VA_OPT__(, ) __VA_ARGS__)
#define TLLogDebug(tag, format, ...) TLLOG_AT_LEVEL(TLLogLevelDebug, tag, format __VA_OPT__(, ) __VA_ARGS__)
#define TLLogInfo(tag, format, ...) TLLOG_AT_LEVEL(TLLogLevelInfo, tag, format __VA_OPT__(, ) __VA_ARGS__)
#define TLLogWarning(tag, format, ...) TLLOG_AT_LEVEL(TLLogLevelWarning, tag, format __VA_OPT__(, ) __VA_ARGS__)
#define TLLogError(tag, format, ...) TLLOG_AT_LEVEL(TLLogLevelError, tag, format __VA_OPT__(, ) __VA_ARGS__)
#define TLLogAssert(tag, format, ...) TLLOG_AT_LEVEL(TLLogLevelAssert, tag, format __VA_OPT__(, ) __VA_ARGS__)
