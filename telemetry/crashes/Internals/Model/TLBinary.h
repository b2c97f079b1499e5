#pragma once
// TLBinary is one loaded image (executable or library) of a crashed process in an error log: its
// UUID, address range, name and path, and CPU type. A plain record, filled on one thread before
// the log that holds it is handed over.
#include <cstdint>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Model/TLSerializableObject.h"

class TLBinary : public TLSerializableObject, public TLModel {
 public:
  TLBinary() = default;
  // Reads back the eight keys; a value of the wrong kind fails the unarchiving.
  explicit TLBinary(foundation::KeyedUnarchiver& coder);

  // Writes "id", "startAddress", "endAddress", "name", "path", "architecture",
  // "primaryArchitectureId" and "architectureVariantId", absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The present fields under the same keys, in that order. Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when the id, both addresses, the name and the path are present.
  bool isValid() const override;
  // Whether `other` is a TLBinary with the same fields.
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> binaryId;
  std::optional<std::string> startAddress;
  std::optional<std::string> endAddress;
  std::optional<std::string> name;
  std::optional<std::string> path;
  std::optional<std::string> architecture;  // never set by the crash conversion
  std::optional<std::int64_t> primaryArchitectureId;
  std::optional<std::int64_t> architectureVariantId;
};
