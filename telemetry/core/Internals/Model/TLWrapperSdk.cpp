#include "telemetry/core/Internals/Model/TLWrapperSdk.h"

#include <utility>

namespace {

using Field = std::optional<std::string> TLWrapperSdk::*;

// The fields with their JSON and archive keys, in the order they are written.
constexpr std::pair<const char*, Field> kFields[] = {
    {"wrapperSdkVersion", &TLWrapperSdk::wrapperSdkVersion},
    {"wrapperSdkName", &TLWrapperSdk::wrapperSdkName},
    {"wrapperRuntimeVersion", &TLWrapperSdk::wrapperRuntimeVersion},
    {"liveUpdateReleaseLabel", &TLWrapperSdk::liveUpdateReleaseLabel},
    {"liveUpdateDeploymentKey", &TLWrapperSdk::liveUpdateDeploymentKey},
    {"liveUpdatePackageHash", &TLWrapperSdk::liveUpdatePackageHash},
};

}  // namespace

TLWrapperSdk::TLWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
                           std::optional<std::string> wrapperRuntimeVersion,
                           std::optional<std::string> liveUpdateReleaseLabel,
                           std::optional<std::string> liveUpdateDeploymentKey,
                           std::optional<std::string> liveUpdatePackageHash)
    : wrapperSdkVersion(std::move(wrapperSdkVersion)),
      wrapperSdkName(std::move(wrapperSdkName)),
      wrapperRuntimeVersion(std::move(wrapperRuntimeVersion)),
      liveUpdateReleaseLabel(std::move(liveUpdateReleaseLabel)),
      liveUpdateDeploymentKey(std::move(liveUpdateDeploymentKey)),
      liveUpdatePackageHash(std::move(liveUpdatePackageHash)) {}

TLWrapperSdk::TLWrapperSdk(foundation::KeyedUnarchiver& coder) {
  for (const auto& [key, field] : kFields) this->*field = coder.decodeStringForKey(key);
}

void TLWrapperSdk::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  for (const auto& [key, field] : kFields) coder.encodeObject(this->*field, key);
}

std::optional<foundation::Dictionary> TLWrapperSdk::serializeToDictionary() const {
  foundation::Dictionary dictionary;
  for (const auto& [key, field] : kFields) {
    if (this->*field) dictionary.set(key, *(this->*field));
  }
  return dictionary;
}

bool TLWrapperSdk::wrapperFieldsEqual(const TLWrapperSdk& other) const {
  for (const auto& [key, field] : kFields) {
    if (this->*field != other.*field) return false;
  }
  return true;
}

bool TLWrapperSdk::isEqual(const foundation::Object& other) const {
  const auto* sdk = dynamic_cast<const TLWrapperSdk*>(&other);
  return sdk && wrapperFieldsEqual(*sdk);
}
