#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempDir.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Date;
using foundation::DeviceInfo;

Date at(double seconds) { return Date::fromTimeIntervalSinceReferenceDate(seconds); }

// Trackers over a settings suite of their own, a clock the test sets, and a fake system.
class TLDeviceTrackerTest : public ::testing::Test {
 protected:
  TLDeviceTrackerTest() {
    defaults.removeObjectForKey("pastDevicesKey");
    TLDeviceTracker::resetSharedInstance();
    write("sys/class/dmi/id/product_name", "Test Machine\n");
    write("sys/class/dmi/id/sys_vendor", "Test Vendor\n");
    write("proc/sys/kernel/osrelease", "6.1.0-test\n");
    write("etc/os-release", "NAME=\"Fake OS\"\nVERSION_ID=\"12\"\n");
  }
  ~TLDeviceTrackerTest() override { TLDeviceTracker::resetSharedInstance(); }

  void write(const std::string& relative, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(system.file(relative)).parent_path());
    ASSERT_TRUE(test::writeFile(system.file(relative), text));
  }
  DeviceInfo deviceInfo() const {
    return DeviceInfo({system.file("sys"), system.file("proc"), system.file("etc")},
                      DeviceInfo::Environment{{"LANG", "de_DE.UTF-8"}});
  }
  std::unique_ptr<TLDeviceTracker> launch(double time) {
    now = at(time);
    return std::make_unique<TLDeviceTracker>(settings, deviceInfo(), [this] { return now; });
  }
  // The times of the stored history.
  std::vector<double> storedTimes() {
    std::vector<double> times;
    const auto history = TLHistoryInfo::loadHistory<TLDeviceHistoryInfo>(settings, "pastDevicesKey", {"TLDevice"});
    EXPECT_TRUE(history);
    for (const auto& entry : history.value_or(decltype(*history){})) {
      times.push_back(entry->timestamp().timeIntervalSinceReferenceDate());
    }
    return times;
  }

  test::TempDir system{"qm-tracker"};
  Date now;
  foundation::UserDefaults defaults{"org.example.tldevice"};
  TLUserDefaults settings{defaults};
};

TEST_F(TLDeviceTrackerTest, AFirstRunBuildsRecordsAndStoresOneDescription) {
  auto tracker = launch(100);
  EXPECT_EQ(storedTimes(), std::vector<double>{100});

  now = at(110);
  const auto device = tracker->device();
  EXPECT_EQ(tracker->device(), device);  // cached: the same object, no new entry
  EXPECT_EQ(storedTimes(), std::vector<double>{100});

  EXPECT_TRUE(device->isValid());
  EXPECT_EQ(device->sdkName, "telemetry.macos");
  EXPECT_EQ(device->sdkVersion, "2.4.0");
  EXPECT_EQ(device->model, "Test Machine");
  EXPECT_EQ(device->oemName, "Test Vendor");
  EXPECT_EQ(device->osName, "Fake OS");
  EXPECT_EQ(device->osVersion, "12.0.0");
  EXPECT_EQ(device->osBuild, "6.1.0-test");
  EXPECT_EQ(device->locale, "de_DE");
  EXPECT_EQ(device->timeZoneOffset, DeviceInfo::timeZoneOffsetMinutes());
  EXPECT_EQ(device->screenSize, "0x0");  // no screen was handed in
  EXPECT_EQ(device->carrierName, std::nullopt);
  EXPECT_EQ(device->carrierCountry, std::nullopt);
  EXPECT_EQ(device->wrapperSdkName, std::nullopt);
}

TEST_F(TLDeviceTrackerTest, ALoadedHistoryBuildsNothingUntilAsked) {
  launch(100);
  auto next = launch(200);
  EXPECT_EQ(next->deviceHistory().size(), 1u);
  EXPECT_EQ(storedTimes(), std::vector<double>{100});
  next->device();
  EXPECT_EQ(storedTimes(), (std::vector<double>{100, 200}));
}

TEST_F(TLDeviceTrackerTest, ChangesOfCountryWrapperOrRefreshGiveANewDescription) {
  auto tracker = launch(100);
  const auto first = tracker->device();

  now = at(200);
  tracker->setCountryCode("DE");
  const auto second = tracker->device();
  EXPECT_NE(second, first);
  EXPECT_EQ(second->carrierCountry, "DE");

  now = at(300);
  tracker->setWrapperSdk(std::make_shared<TLWrapperSdk>("1.0", "wrapper", "3.1", "v5", "key", "hash"));
  const auto third = tracker->device();
  EXPECT_EQ(third->wrapperSdkName, "wrapper");
  EXPECT_EQ(third->liveUpdatePackageHash, "hash");
  EXPECT_EQ(third->carrierCountry, "DE");

  now = at(400);
  TLDeviceTracker::refreshDeviceNextTime();
  const auto fourth = tracker->device();
  EXPECT_NE(fourth, third);
  EXPECT_TRUE(fourth->isEqual(*third));
  EXPECT_EQ(storedTimes(), (std::vector<double>{100, 200, 300, 400}));

  // A reset forgets the country and the wrapper.
  TLDeviceTracker::resetSharedInstance();
  const auto fifth = tracker->device();
  EXPECT_EQ(fifth->carrierCountry, std::nullopt);
  EXPECT_EQ(fifth->wrapperSdkName, std::nullopt);
}

TEST_F(TLDeviceTrackerTest, ARefreshReachesEveryTrackerNotOnlyTheFirstToBuild) {
  auto tracker = launch(100);
  const auto before = tracker->device();
  tracker->setCountryCode("FR");
  defaults.removeObjectForKey("pastDevicesKey");
  launch(200);  // no history: builds at once, with the new country
  const auto after = tracker->device();
  EXPECT_NE(after, before);
  EXPECT_EQ(after->carrierCountry, "FR");
}

TEST_F(TLDeviceTrackerTest, TheHistoryKeepsTheLastFiveDescriptions) {
  auto tracker = launch(100);
  for (int time = 200; time <= 700; time += 100) {
    now = at(time);
    TLDeviceTracker::refreshDeviceNextTime();
    tracker->device();
    EXPECT_LE(storedTimes().size(), 5u);
  }
  EXPECT_EQ(storedTimes(), (std::vector<double>{300, 400, 500, 600, 700}));
}

TEST_F(TLDeviceTrackerTest, APastTimeGetsTheDescriptionCurrentThen) {
  auto tracker = launch(100);
  const auto d100 = tracker->device();
  now = at(200);
  TLDeviceTracker::refreshDeviceNextTime();
  const auto d200 = tracker->device();
  now = at(300);
  TLDeviceTracker::refreshDeviceNextTime();
  const auto d300 = tracker->device();

  const struct {
    std::optional<double> time;
    std::shared_ptr<TLDevice> device;
  } cases[] = {
      {std::nullopt, d300},  // no time: the current description
      {50, d100},            // before every entry: the oldest
      {100, d100},           // at an entry's time: that entry
      {150, d100},  {200, d200}, {250, d200}, {300, d300},
      {400, d300},  // after every entry: the newest
  };
  for (const auto& c : cases) {
    EXPECT_EQ(tracker->deviceForTimestamp(c.time ? std::optional(at(*c.time)) : std::nullopt), c.device)
        << c.time.value_or(-1);
  }

  tracker->setDeviceHistory({});
  EXPECT_EQ(tracker->deviceForTimestamp(at(150)), d300);

  // Another tracker over the same settings answers from the stored history.
  const auto other = launch(400)->deviceForTimestamp(at(250));
  ASSERT_TRUE(other);
  EXPECT_TRUE(other->isEqual(*d200));
}

TEST_F(TLDeviceTrackerTest, ClearingForgetsEverythingUntilTheNextDescription) {
  auto tracker = launch(100);
  tracker->clearDevices();
  EXPECT_TRUE(settings.objectForKey("pastDevicesKey").isNull());
  EXPECT_TRUE(tracker->deviceHistory().empty());
  now = at(200);
  tracker->device();
  EXPECT_EQ(storedTimes(), std::vector<double>{200});
}

TEST_F(TLDeviceTrackerTest, AnUnreadableHistoryIsDroppedWithAnErrorAndStartsAfresh) {
  settings.setObject(foundation::Data{1, 2, 3}, "pastDevicesKey");
  test::TLLogRecorder recorder;
  launch(100);
  EXPECT_EQ(recorder.messages(TLLogLevelError).size(), 1u);
  EXPECT_EQ(storedTimes(), std::vector<double>{100});
}

TEST_F(TLDeviceTrackerTest, DescriptionsAreValidWithoutAnySystemFilesAndOnThisMachine) {
  test::TempDir empty{"qm-empty-system"};
  const DeviceInfo facts[] = {
      DeviceInfo({empty.file("sys"), empty.file("proc"), empty.file("etc")}, DeviceInfo::Environment{}),
      DeviceInfo(),
  };
  for (const DeviceInfo& info : facts) {
    defaults.removeObjectForKey("pastDevicesKey");
    TLDeviceTracker tracker(settings, info);
    const auto device = tracker.device();
    EXPECT_TRUE(device->isValid()) << device->serializeToDictionary()->size();
    for (const auto& field : {device->osVersion, device->locale, device->appVersion, device->appBuild}) {
      EXPECT_FALSE(field.value_or("").empty());
    }
  }
}

TEST_F(TLDeviceTrackerTest, TheScreenSizeIsHeightByWidthInPixels) {
  const struct {
    DeviceInfo::Screen screen;
    const char* size;
  } cases[] = {
      {{1440, 900, 2}, "1800x2880"},
      {{1920, 1080, 1}, "1080x1920"},
      {{1280.6, 800.6, 1.5}, "1200x1920"},  // fractions dropped
      {{}, "0x0"},                          // no screen
  };
  for (const auto& c : cases) EXPECT_EQ(TLDeviceTracker::screenSize(c.screen), c.size);

  DeviceInfo::setMainScreen({1440, 900, 2});
  TLDeviceTracker::refreshDeviceNextTime();
  EXPECT_EQ(launch(100)->device()->screenSize, "1800x2880");
  DeviceInfo::setMainScreen({});
}

}  // namespace
