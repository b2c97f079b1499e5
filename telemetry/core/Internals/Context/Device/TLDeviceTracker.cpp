#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"

#include <algorithm>
#include <mutex>

#include "platform/foundation/String.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "telemetry/core/TLArchivableClasses.h"

namespace {

// What every tracker shares.
struct SharedState {
  // Guards the shared instance alone: making it builds a description, which reads the rest.
  std::mutex instanceMutex;
  std::shared_ptr<TLDeviceTracker> instance;
  std::mutex mutex;
  std::shared_ptr<TLWrapperSdk> wrapperSdk;
  std::optional<std::string> countryCode;
  // Counts the requests for a new description. Each tracker remembers the count its cached
  // description was built at, so a request reaches every tracker, not only the first to build.
  std::uint64_t refreshRequests = 0;
};

SharedState& shared() {
  static SharedState* state = new SharedState();  // lives as long as the process
  return *state;
}

void requestRefresh() {
  std::lock_guard lock(shared().mutex);
  ++shared().refreshRequests;
}

std::uint64_t refreshRequests() {
  std::lock_guard lock(shared().mutex);
  return shared().refreshRequests;
}

bool earlier(const std::shared_ptr<TLDeviceHistoryInfo>& a, const std::shared_ptr<TLDeviceHistoryInfo>& b) {
  return a->timestamp() < b->timestamp();
}

}  // namespace

std::shared_ptr<TLDeviceTracker> TLDeviceTracker::sharedInstance() {
  std::lock_guard lock(shared().instanceMutex);
  if (!shared().instance) shared().instance = std::make_shared<TLDeviceTracker>();
  return shared().instance;
}

void TLDeviceTracker::refreshDeviceNextTime() { requestRefresh(); }

void TLDeviceTracker::resetSharedInstance() {
  std::lock_guard instanceLock(shared().instanceMutex);
  shared().instance.reset();
  std::lock_guard lock(shared().mutex);
  shared().wrapperSdk.reset();
  shared().countryCode.reset();
  ++shared().refreshRequests;
}

TLDeviceTracker::TLDeviceTracker(TLUserDefaults& settings, foundation::DeviceInfo deviceInfo,
                                 TLHistoryInfo::Clock clock)
    : settings_(settings), deviceInfo_(std::move(deviceInfo)), clock_(std::move(clock)) {
  TLRegisterArchivableClasses();
  auto history = TLHistoryInfo::loadHistory<TLDeviceHistoryInfo>(settings_, kPastDevicesKey,
                                                                 {*foundation::CodingRegistry::classNameOf<TLDevice>()});
  if (history) {
    deviceHistory_ = std::move(*history);
  } else {
    device();
  }
}

std::shared_ptr<TLDevice> TLDeviceTracker::device() {
  std::lock_guard lock(monitor_);
  const std::uint64_t requests = refreshRequests();
  if (device_ && deviceRefreshRequests_ == requests) return device_;
  device_ = updatedDevice();
  deviceRefreshRequests_ = requests;
  auto entry = std::make_shared<TLDeviceHistoryInfo>(clock_(), device_);
  deviceHistory_.insert(std::upper_bound(deviceHistory_.begin(), deviceHistory_.end(), entry, earlier), entry);
  if (deviceHistory_.size() > kMaxDevicesHistoryCount) deviceHistory_.erase(deviceHistory_.begin());
  storeHistory();
  return device_;
}

std::shared_ptr<TLDevice> TLDeviceTracker::deviceForTimestamp(std::optional<foundation::Date> timestamp) {
  std::lock_guard lock(monitor_);
  if (!timestamp || deviceHistory_.empty()) return device();
  const auto probe = std::make_shared<TLDeviceHistoryInfo>(*timestamp, nullptr);
  // After the entries stamped at that very time: they were current then.
  const auto after = std::upper_bound(deviceHistory_.begin(), deviceHistory_.end(), probe, earlier);
  if (after == deviceHistory_.begin()) return deviceHistory_.front()->device();
  return (*std::prev(after))->device();
}

void TLDeviceTracker::setWrapperSdk(std::shared_ptr<TLWrapperSdk> wrapperSdk) {
  std::lock_guard lock(monitor_);
  std::lock_guard sharedLock(shared().mutex);
  shared().wrapperSdk = std::move(wrapperSdk);
  ++shared().refreshRequests;
}

void TLDeviceTracker::setCountryCode(std::optional<std::string> countryCode) {
  std::lock_guard lock(monitor_);
  std::lock_guard sharedLock(shared().mutex);
  shared().countryCode = std::move(countryCode);
  ++shared().refreshRequests;
}

void TLDeviceTracker::clearDevices() {
  std::lock_guard lock(monitor_);
  settings_.removeObjectForKey(kPastDevicesKey);
  device_.reset();
  deviceHistory_.clear();
}

std::shared_ptr<TLDevice> TLDeviceTracker::updatedDevice() {
  std::lock_guard lock(monitor_);
  auto device = std::make_shared<TLDevice>();
  device->sdkName = TLUtility::sdkName();
  device->sdkVersion = TLUtility::sdkVersion();
  device->model = deviceModel();
  device->oemName = oemName();
  device->osName = osName();
  device->osVersion = osVersion();
  device->osBuild = osBuild();
  device->locale = locale();
  device->timeZoneOffset = timeZoneOffset();
  device->screenSize = screenSize();
  device->appVersion = appVersion();
  device->appBuild = appBuild();
  device->appNamespace = appNamespace();
  {
    std::lock_guard sharedLock(shared().mutex);
    device->carrierCountry = shared().countryCode;
  }
  refreshWrapperSdk(*device);
  return device;
}

std::string TLDeviceTracker::deviceModel() const { return deviceInfo_.model(); }
std::optional<std::string> TLDeviceTracker::oemName() const { return deviceInfo_.vendor(); }
std::string TLDeviceTracker::osName() const { return deviceInfo_.osName(); }
std::string TLDeviceTracker::osVersion() const { return deviceInfo_.osVersion(); }
std::string TLDeviceTracker::osBuild() const { return deviceInfo_.osBuild(); }
std::string TLDeviceTracker::locale() const { return deviceInfo_.locale(); }
std::int64_t TLDeviceTracker::timeZoneOffset() const { return foundation::DeviceInfo::timeZoneOffsetMinutes(); }
std::string TLDeviceTracker::screenSize() const { return screenSize(foundation::DeviceInfo::mainScreen()); }
std::string TLDeviceTracker::appVersion() const { return deviceInfo_.appVersion(); }
std::string TLDeviceTracker::appBuild() const { return deviceInfo_.appBuild(); }
std::optional<std::string> TLDeviceTracker::appNamespace() const { return deviceInfo_.appNamespace(); }

std::string TLDeviceTracker::screenSize(const foundation::DeviceInfo::Screen& screen) {
  // Height first: that is the order the ingestion has always been sent.
  return foundation::stringWithFormat("%dx%d", static_cast<int>(screen.height * screen.scale),
                                      static_cast<int>(screen.width * screen.scale));
}

void TLDeviceTracker::refreshWrapperSdk(TLDevice& device) const {
  std::shared_ptr<TLWrapperSdk> wrapperSdk;
  {
    std::lock_guard sharedLock(shared().mutex);
    wrapperSdk = shared().wrapperSdk;
  }
  if (!wrapperSdk) return;
  device.wrapperSdkVersion = wrapperSdk->wrapperSdkVersion;
  device.wrapperSdkName = wrapperSdk->wrapperSdkName;
  device.wrapperRuntimeVersion = wrapperSdk->wrapperRuntimeVersion;
  device.liveUpdateReleaseLabel = wrapperSdk->liveUpdateReleaseLabel;
  device.liveUpdateDeploymentKey = wrapperSdk->liveUpdateDeploymentKey;
  device.liveUpdatePackageHash = wrapperSdk->liveUpdatePackageHash;
}

std::vector<std::shared_ptr<TLDeviceHistoryInfo>> TLDeviceTracker::deviceHistory() {
  std::lock_guard lock(monitor_);
  return deviceHistory_;
}

void TLDeviceTracker::setDeviceHistory(std::vector<std::shared_ptr<TLDeviceHistoryInfo>> deviceHistory) {
  std::lock_guard lock(monitor_);
  deviceHistory_ = std::move(deviceHistory);
}

void TLDeviceTracker::storeHistory() { TLHistoryInfo::storeHistory(settings_, kPastDevicesKey, deviceHistory_); }
