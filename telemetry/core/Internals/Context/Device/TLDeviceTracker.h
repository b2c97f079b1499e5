#pragma once
// TLDeviceTracker builds the description of this device and application that every log
// carries, caches it until something it depends on changes, and keeps the last five
// descriptions with the time each became current, so that a log of an earlier run (a crash read
// at the next launch) gets the device of its time.
//
// The facts come from the platform's Linux device facts: the DMI product name and vendor, the
// os-release name ("Linux" without one) and version, the kernel release as the build, the
// locale, time zone and screen, and the application's bundle information.
//
// The history is kept in the settings under "pastDevicesKey", sorted by time. The wrapper SDK
// description and the country code are shared by every tracker, and a request for a new
// description reaches each of them.
//
// Every operation is thread-safe (the tracker's own re-entrant lock; a class-wide lock for the
// shared state).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/DeviceInfo.h"
#include "platform/foundation/Monitor.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceHistoryInfo.h"
#include "telemetry/core/Internals/Model/TLDevice.h"

class TLDeviceTracker {
 public:
  // The settings key of the persisted history.
  static constexpr const char* kPastDevicesKey = "pastDevicesKey";
  // The most descriptions the history keeps.
  static constexpr std::size_t kMaxDevicesHistoryCount = 5;

  // The shared tracker, made on first call. Never null; thread-safe.
  static std::shared_ptr<TLDeviceTracker> sharedInstance();
  // Makes the next `device` call of any tracker build a new description. Thread-safe.
  static void refreshDeviceNextTime();
  // Drops the shared tracker, forgets the wrapper SDK and the country code, and asks for a new
  // description next time. Thread-safe.
  static void resetSharedInstance();

  // Loads the history from `settings`. When nothing readable is stored (an unreadable history is
  // dropped with an ERROR line), builds, records and stores the first description at once.
  // Facts come from `deviceInfo`; `settings` must outlive the tracker.
  explicit TLDeviceTracker(TLUserDefaults& settings = TLUserDefaults::shared(),
                           foundation::DeviceInfo deviceInfo = foundation::DeviceInfo(),
                           TLHistoryInfo::Clock clock = &foundation::Date::now);
  TLDeviceTracker(const TLDeviceTracker&) = delete;
  TLDeviceTracker& operator=(const TLDeviceTracker&) = delete;

  // The current description: the cached one, or, when there is none or a refresh was asked for,
  // a new one, which is cached and recorded in the history (the oldest entry leaving when there
  // are more than five) and the history stored. Never null; shared with the logs it stamps.
  std::shared_ptr<TLDevice> device();
  // The description current at `timestamp`: that of the newest entry not later than it; the
  // oldest entry's when every entry is later; the current description when `timestamp` is absent
  // or the history is empty. Null only for an entry stored without a device.
  std::shared_ptr<TLDevice> deviceForTimestamp(std::optional<foundation::Date> timestamp);

  // Replaces the wrapper SDK description every tracker copies into new descriptions (absent
  // clears it) and asks for a new description next time.
  void setWrapperSdk(std::shared_ptr<TLWrapperSdk> wrapperSdk);
  // Replaces the country code every tracker puts into new descriptions as the carrier country
  // (absent clears it) and asks for a new description next time.
  void setCountryCode(std::optional<std::string> countryCode);
  // Removes the stored history, drops the cached description and empties the history.
  void clearDevices();
  // A new description from the system, without caching or recording it. Owned by the caller.
  std::shared_ptr<TLDevice> updatedDevice();

  // The sources of the fields.
  std::string deviceModel() const;
  std::optional<std::string> oemName() const;
  std::string osName() const;
  std::string osVersion() const;
  std::string osBuild() const;
  std::string locale() const;
  // The local time zone's offset now, in minutes east of GMT.
  std::int64_t timeZoneOffset() const;
  // The main screen as "<height>x<width>" in pixels, fractions dropped; "0x0" without a screen.
  std::string screenSize() const;
  static std::string screenSize(const foundation::DeviceInfo::Screen& screen);
  std::string appVersion() const;
  std::string appBuild() const;
  std::optional<std::string> appNamespace() const;
  // Copies the shared wrapper SDK description, when there is one, onto `device`.
  void refreshWrapperSdk(TLDevice& device) const;

  // The history, oldest first, and its replacement (not stored until the next change).
  std::vector<std::shared_ptr<TLDeviceHistoryInfo>> deviceHistory();
  void setDeviceHistory(std::vector<std::shared_ptr<TLDeviceHistoryInfo>> deviceHistory);

 private:
  void storeHistory();

  foundation::Monitor monitor_;
  TLUserDefaults& settings_;
  foundation::DeviceInfo deviceInfo_;
  TLHistoryInfo::Clock clock_;
  std::shared_ptr<TLDevice> device_;
  std::uint64_t deviceRefreshRequests_ = 0;  // the shared request count device_ was built at
  std::vector<std::shared_ptr<TLDeviceHistoryInfo>> deviceHistory_;
};
