#pragma once
// TLWrapperSdk describes a wrapper SDK that embeds the telemetry SDK: its name and versions and
// the live-update package it runs. Every field is optional; absent ones are neither written to
// JSON nor archived as values. A plain record: not safe to change from two threads at once.
#include <optional>
#include <string>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Model/TLSerializableObject.h"

class TLWrapperSdk : public TLSerializableObject, public TLModel {
 public:
  TLWrapperSdk() = default;
  // Stores the six texts as given (absent allowed).
  TLWrapperSdk(std::optional<std::string> wrapperSdkVersion, std::optional<std::string> wrapperSdkName,
               std::optional<std::string> wrapperRuntimeVersion, std::optional<std::string> liveUpdateReleaseLabel,
               std::optional<std::string> liveUpdateDeploymentKey, std::optional<std::string> liveUpdatePackageHash);
  // Reads the six keys back; a key holding something other than text fails the unarchiving.
  explicit TLWrapperSdk(foundation::KeyedUnarchiver& coder);

  // Writes the six keys, absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The present fields under their names; never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // Always true: no field is required.
  bool isValid() const override { return true; }
  // Whether `other` is a TLWrapperSdk (or a subclass) with the same six fields, absent ones
  // matching only absent ones.
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> wrapperSdkVersion;
  std::optional<std::string> wrapperSdkName;
  std::optional<std::string> wrapperRuntimeVersion;
  std::optional<std::string> liveUpdateReleaseLabel;
  std::optional<std::string> liveUpdateDeploymentKey;
  std::optional<std::string> liveUpdatePackageHash;

 protected:
  // Whether the six fields equal those of `other`.
  bool wrapperFieldsEqual(const TLWrapperSdk& other) const;
};
