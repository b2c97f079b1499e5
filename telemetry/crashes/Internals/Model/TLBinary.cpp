#include "telemetry/crashes/Internals/Model/TLBinary.h"

#include "telemetry/crashes/Internals/Model/TLErrorModelCoding.h"

namespace {

constexpr const char* kBinaryIdKey = "id";
constexpr const char* kStartAddressKey = "startAddress";
constexpr const char* kEndAddressKey = "endAddress";
constexpr const char* kNameKey = "name";
constexpr const char* kPathKey = "path";
constexpr const char* kArchitectureKey = "architecture";
constexpr const char* kPrimaryArchitectureIdKey = "primaryArchitectureId";
constexpr const char* kArchitectureVariantIdKey = "architectureVariantId";

}  // namespace

using namespace TLErrorModelCoding;

TLBinary::TLBinary(foundation::KeyedUnarchiver& coder)
    : binaryId(coder.decodeStringForKey(kBinaryIdKey)),
      startAddress(coder.decodeStringForKey(kStartAddressKey)),
      endAddress(coder.decodeStringForKey(kEndAddressKey)),
      name(coder.decodeStringForKey(kNameKey)),
      path(coder.decodeStringForKey(kPathKey)),
      architecture(coder.decodeStringForKey(kArchitectureKey)),
      primaryArchitectureId(decodeInteger(coder, kPrimaryArchitectureIdKey)),
      architectureVariantId(decodeInteger(coder, kArchitectureVariantIdKey)) {}

void TLBinary::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(binaryId, kBinaryIdKey);
  coder.encodeObject(startAddress, kStartAddressKey);
  coder.encodeObject(endAddress, kEndAddressKey);
  coder.encodeObject(name, kNameKey);
  coder.encodeObject(path, kPathKey);
  coder.encodeObject(architecture, kArchitectureKey);
  coder.encodeObject(integerValue(primaryArchitectureId), kPrimaryArchitectureIdKey);
  coder.encodeObject(integerValue(architectureVariantId), kArchitectureVariantIdKey);
}

std::optional<foundation::Dictionary> TLBinary::serializeToDictionary() const {
  foundation::Dictionary dictionary;
  if (binaryId) dictionary.set(kBinaryIdKey, *binaryId);
  if (startAddress) dictionary.set(kStartAddressKey, *startAddress);
  if (endAddress) dictionary.set(kEndAddressKey, *endAddress);
  if (name) dictionary.set(kNameKey, *name);
  if (path) dictionary.set(kPathKey, *path);
  if (architecture) dictionary.set(kArchitectureKey, *architecture);
  if (primaryArchitectureId) dictionary.set(kPrimaryArchitectureIdKey, integerValue(primaryArchitectureId));
  if (architectureVariantId) dictionary.set(kArchitectureVariantIdKey, integerValue(architectureVariantId));
  return dictionary;
}

bool TLBinary::isValid() const { return binaryId && startAddress && endAddress && name && path; }

bool TLBinary::isEqual(const foundation::Object& other) const {
  const auto* binary = dynamic_cast<const TLBinary*>(&other);
  return binary && binaryId == binary->binaryId && startAddress == binary->startAddress &&
         endAddress == binary->endAddress && name == binary->name && path == binary->path &&
         architecture == binary->architecture && primaryArchitectureId == binary->primaryArchitectureId &&
         architectureVariantId == binary->architectureVariantId;
}
