#pragma once
// TLAbstractErrorLog is the base of the logs that report a crash: the error's id, the crashed
// process and its parent, the thread that raised the error, whether it was fatal and when the
// process started. It is never sent itself; TLAppleErrorLog is the kind that is.
//
// Like every log, it is filled on one thread before it is handed to a channel.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "telemetry/core/Internals/Model/TLLogWithProperties.h"

class TLAbstractErrorLog : public TLLogWithProperties {
 public:
  // Every field absent, not fatal, no type.
  TLAbstractErrorLog() = default;
  // Reads back the base keys and this class's ten; a value of the wrong kind fails the
  // unarchiving.
  explicit TLAbstractErrorLog(foundation::KeyedUnarchiver& coder);

  // The base keys, then "id", "processId", "processName", "parentProcessId",
  // "parentProcessName", "errorThreadId", "errorThreadName", "fatal" (a Boolean, always),
  // "appLaunchTimestamp" and "architecture", absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, then the present fields under the same keys and in the same order;
  // "fatal" is always written, and the launch time as ISO 8601 text. Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when the base log is valid and the error id, process id and process name are present.
  bool isValid() const override;
  // Whether `other` is a TLAbstractErrorLog (or subclass) equal as a log with properties and
  // with the same fields.
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> errorId;  // a UUID string, "id" in JSON and archives
  std::optional<std::int64_t> processId;
  std::optional<std::string> processName;
  std::optional<std::int64_t> parentProcessId;
  std::optional<std::string> parentProcessName;
  std::optional<std::int64_t> errorThreadId;
  std::optional<std::string> errorThreadName;
  bool fatal = false;
  std::optional<foundation::Date> appLaunchTimestamp;
  std::optional<std::string> architecture;  // never set by the crash conversion
};
