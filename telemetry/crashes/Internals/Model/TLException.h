#pragma once
// TLException is an exception in an error log: the uncaught exception of a crash (its type,
// message and the frames of where it was thrown), a handled error a wrapper SDK reports, or the
// wrapper SDK's own exception joined to a crash, with inner exceptions nested to any depth. A
// plain record, filled on one thread before the log that holds it is handed over.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "telemetry/core/Internals/Model/TLSerializableObject.h"
#include "telemetry/crashes/Internals/Model/TLStackFrame.h"

class TLException : public TLSerializableObject, public TLModel {
 public:
  TLException() = default;
  // Reads back the six keys; a value of the wrong kind, or a list element that is not of the
  // list's class, fails the unarchiving.
  explicit TLException(foundation::KeyedUnarchiver& coder);

  // Writes "type", "message", "stackTrace", "frames", "innerExceptions" and "wrapperSdkName",
  // absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The present fields as "type", "message", "stackTrace", "wrapperSdkName", "frames" and
  // "innerExceptions", each list as an array of its elements' dictionaries (an empty one as []).
  // Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when the type is present and there is at least one frame.
  bool isValid() const override;
  // Whether `other` is a TLException with the same fields, lists compared element by element.
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> type;
  std::optional<std::string> message;
  std::optional<std::string> stackTrace;
  std::optional<std::vector<std::shared_ptr<TLStackFrame>>> frames;
  std::optional<std::vector<std::shared_ptr<TLException>>> innerExceptions;
  std::optional<std::string> wrapperSdkName;
};
