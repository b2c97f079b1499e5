#pragma once
// TLDeviceHistoryInfo is one entry of the device history: the device description current from
// its timestamp on.
#include <memory>

#include "telemetry/core/Internals/Context/Session/TLHistoryInfo.h"
#include "telemetry/core/Internals/Model/TLDevice.h"

class TLDeviceHistoryInfo : public TLHistoryInfo {
 public:
  TLDeviceHistoryInfo(foundation::Date timestamp, std::shared_ptr<TLDevice> device)
      : TLHistoryInfo(timestamp), device_(std::move(device)) {}
  // Reads "timestampKey" and "deviceKey" back.
  explicit TLDeviceHistoryInfo(foundation::KeyedUnarchiver& coder)
      : TLHistoryInfo(coder), device_(coder.decodeObjectOfClass<TLDevice>(kDeviceKey)) {}

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
    TLHistoryInfo::encodeWithCoder(coder);
    coder.encodeObject(device_, kDeviceKey);
  }

  // Shared with the logs stamped with it.
  const std::shared_ptr<TLDevice>& device() const { return device_; }
  void setDevice(std::shared_ptr<TLDevice> device) { device_ = std::move(device); }

 private:
  static constexpr const char* kDeviceKey = "deviceKey";
  std::shared_ptr<TLDevice> device_;
};
