#pragma once
// TLAppleErrorLog ("appleError") is a crash of this program as the ingestion receives it: made
// from a crash report at the next launch, it adds to the error log base the CPU, the executable's
// path, the signal, the uncaught exception, the threads with their frames, the registers of the
// crashed thread and the loaded images that matter.
//
// The channel never stamps the current session id on it: the crash service sets the session and
// user of the crash time itself. Filled on one thread before it is handed to a channel.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/crashes/Internals/Model/TLAbstractErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLBinary.h"
#include "telemetry/crashes/Internals/Model/TLException.h"
#include "telemetry/crashes/Internals/Model/TLThread.h"

class TLAppleErrorLog : public TLAbstractErrorLog, public TLNoAutoAssignSessionIdLog {
 public:
  // The type "appleError"; every other field absent.
  TLAppleErrorLog();
  // Reads back the error log base and this class's thirteen keys; a value of the wrong kind, or a
  // list element of another class, fails the unarchiving.
  explicit TLAppleErrorLog(foundation::KeyedUnarchiver& coder);

  // The error log base, then "primaryArchitectureId", "architectureVariantId",
  // "applicationPath", "osExceptionType", "osExceptionCode", "osExceptionAddress",
  // "exceptionType", "exceptionReason", "selectorRegisterValue", "threads", "binaries",
  // "registers" and "exception", absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, then the present fields under the same keys and in the same order: the
  // lists as arrays of their elements' dictionaries (an empty one as []), the registers as an
  // object of texts, the exception as its dictionary. Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when the error log base is valid and the CPU type, application path and the signal's
  // type, code and address are present. Threads, images and the exception are not judged.
  bool isValid() const override;
  // Whether `other` is a TLAppleErrorLog equal as an error log and with the same fields, lists
  // compared element by element and the registers entry by entry.
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::int64_t> primaryArchitectureId;  // CPU type
  std::optional<std::int64_t> architectureVariantId;  // CPU subtype
  std::optional<std::string> applicationPath;         // anonymised
  std::optional<std::string> osExceptionType;         // signal name: "SIGSEGV"
  std::optional<std::string> osExceptionCode;         // signal code name: "SEGV_MAPERR"
  std::optional<std::string> osExceptionAddress;      // "0x" and lower-case hex
  std::optional<std::string> exceptionType;
  std::optional<std::string> exceptionReason;
  std::optional<std::string> selectorRegisterValue;
  std::optional<std::vector<std::shared_ptr<TLThread>>> threads;
  std::optional<std::vector<std::shared_ptr<TLBinary>>> binaries;
  std::optional<foundation::Dictionary> registers;  // register name to formatted value text
  std::shared_ptr<TLException> exception;
};
