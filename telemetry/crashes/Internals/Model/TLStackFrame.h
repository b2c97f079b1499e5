#pragma once
// TLStackFrame is one frame of a call stack in an error log: the crash conversion fills its
// address and code (symbol plus offset, or image base plus offset); a wrapper SDK may also fill
// the class, method, line and file of its own language. A plain record, filled on one thread
// before the log that holds it is handed over.
#include <cstdint>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Model/TLSerializableObject.h"

class TLStackFrame : public TLSerializableObject {
 public:
  TLStackFrame() = default;
  // Reads back the six keys; a value of the wrong kind fails the unarchiving.
  explicit TLStackFrame(foundation::KeyedUnarchiver& coder);

  // Writes "address", "code", "className", "methodName", "lineNumber" and "fileName", absent ones
  // as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The present fields under the same keys, in that order. Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // Whether `other` is a TLStackFrame with the same fields (absent matching absent).
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> address;
  std::optional<std::string> code;
  std::optional<std::string> className;
  std::optional<std::string> methodName;
  std::optional<std::int64_t> lineNumber;
  std::optional<std::string> fileName;
};
