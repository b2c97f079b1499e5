#pragma once
// TLDevice describes the device and application that made a log: SDK, hardware, system,
// locale, time zone, screen and application version, plus the wrapper SDK fields it inherits.
// The device tracker builds it; every log carries one, and a log whose device lacks a required
// field is not sent. A plain record made empty and filled field by field: not safe to change from
// two threads at once, and not changed once logs carry it.
#include <cstdint>
#include <optional>
#include <string>

#include "telemetry/core/Internals/Model/TLWrapperSdk.h"

class TLDevice : public TLWrapperSdk {
 public:
  TLDevice() = default;
  // Reads back the wrapper keys and the sixteen device keys; a value of the wrong kind fails the
  // unarchiving.
  explicit TLDevice(foundation::KeyedUnarchiver& coder);

  // Writes the wrapper keys, then the sixteen device keys, absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The wrapper fields and the present device fields under their names; the two numbers as JSON
  // numbers. Never nothing.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when sdkName, sdkVersion, osName, osVersion, locale, timeZoneOffset, appVersion and
  // appBuild are all present; the other fields are optional.
  bool isValid() const override;
  // Whether `other` is a TLDevice with equal wrapper and device fields (absent matching absent).
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> sdkName;
  std::optional<std::string> sdkVersion;
  std::optional<std::string> model;
  std::optional<std::string> oemName;
  std::optional<std::string> osName;
  std::optional<std::string> osVersion;
  std::optional<std::string> osBuild;
  std::optional<std::int64_t> osApiLevel;
  std::optional<std::string> locale;
  std::optional<std::int64_t> timeZoneOffset;  // minutes east of GMT
  std::optional<std::string> screenSize;       // "<height>x<width>" in pixels
  std::optional<std::string> appVersion;
  std::optional<std::string> carrierName;
  std::optional<std::string> carrierCountry;
  std::optional<std::string> appBuild;
  std::optional<std::string> appNamespace;
};
