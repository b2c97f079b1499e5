#pragma once
// TLHandledErrorLog ("handledError") reports an error that a wrapper SDK caught and handled: its
// id and the exception, with the string properties of any log. It is sent like any other log,
// without crash processing. Filled on one thread before it is handed to a channel.
#include <memory>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Model/TLLogWithProperties.h"
#include "telemetry/crashes/Internals/Model/TLException.h"

class TLHandledErrorLog : public TLLogWithProperties {
 public:
  // The type "handledError"; no id, no exception.
  TLHandledErrorLog();
  // Reads back the base keys, "id" and "exception"; a value of the wrong kind fails the
  // unarchiving.
  explicit TLHandledErrorLog(foundation::KeyedUnarchiver& coder);

  // The base keys, then "id" and "exception", absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The base dictionary, then "id" and "exception" (its dictionary) when present. Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when the base log is valid and the id and the exception are present.
  bool isValid() const override;
  // Whether `other` is a TLHandledErrorLog equal as a log with properties and with the same id
  // and an equal exception.
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> errorId;  // a UUID string, "id" in JSON and archives
  std::shared_ptr<TLException> exception;
};
