#pragma once
// Small builders for telemetry model tests: a valid device, JSON text read back as a Value, and
// the archive round trip of a model object.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Model/TLDevice.h"
#include "telemetry/core/TLArchivableClasses.h"

namespace test {

// A device with exactly the eight fields a valid one needs.
inline std::shared_ptr<TLDevice> minimalDevice() {
  auto device = std::make_shared<TLDevice>();
  device->sdkName = "telemetry.macos";
  device->sdkVersion = "2.4.0";
  device->osName = "Debian GNU/Linux";
  device->osVersion = "12.0.0";
  device->locale = "en_US";
  device->timeZoneOffset = 60;
  device->appVersion = "2.0.0";
  device->appBuild = "200";
  return device;
}

// `json` parsed; a null Value (and a test failure) when it is no JSON.
inline foundation::Value parseJson(const std::string& json) {
  const auto value = foundation::JSONSerialization::JSONObjectWithData(foundation::Data(json.begin(), json.end()));
  EXPECT_TRUE(value) << json;
  return value.value_or(foundation::Value());
}

// `object` archived and unarchived securely as `className`; null (and a test failure) when
// either step fails.
template <class T>
std::shared_ptr<T> archiveRoundTrip(const std::shared_ptr<T>& object, std::string_view className) {
  TLRegisterArchivableClasses();
  foundation::Error error;
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(object, &error);
  EXPECT_TRUE(data) << error.description();
  if (!data) return nullptr;
  const auto value = foundation::KeyedUnarchiver::unarchivedObjectOfClass(className, *data, &error);
  EXPECT_TRUE(value) << error.description();
  return value ? value->template objectAs<T>() : nullptr;
}

}  // namespace test
