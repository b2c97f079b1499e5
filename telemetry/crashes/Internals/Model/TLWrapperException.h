#pragma once
// TLWrapperException is the exception a wrapper SDK saved for a crash of its own language: its
// model exception, its own serialized form of the exception and the id of the process it came
// from. It is kept on disk until the crash it belongs to is reported, and never sent itself. A
// plain record, filled on one thread.
#include <cstdint>
#include <memory>
#include <optional>

#include "telemetry/core/Internals/Model/TLSerializableObject.h"
#include "telemetry/crashes/Internals/Model/TLException.h"

class TLWrapperException : public TLSerializableObject {
 public:
  TLWrapperException() = default;
  // Reads back "modelException", "exceptionData" and "processId"; a value of the wrong kind
  // fails the unarchiving.
  explicit TLWrapperException(foundation::KeyedUnarchiver& coder);

  // Writes the three keys, absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The present fields as "modelException" (its dictionary), "processId" and "exceptionData"
  // (the bytes themselves). Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // Whether `other` is a TLWrapperException with the same fields, bytes compared by value.
  bool isEqual(const foundation::Object& other) const override;

  std::shared_ptr<TLException> modelException;
  std::optional<foundation::Data> exceptionData;
  std::optional<std::int64_t> processId;
};
