#include "telemetry/core/Internals/Model/TLDevice.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Dictionary;
using foundation::Value;

// A device with every field set.
std::shared_ptr<TLDevice> fullDevice() {
  auto device = test::minimalDevice();
  device->model = "ThinkPad X1 Carbon";
  device->oemName = "LENOVO";
  device->osBuild = "6.1.0-18-amd64";
  device->osApiLevel = 34;
  device->screenSize = "1800x2880";
  device->carrierName = "carrier";
  device->carrierCountry = "DE";
  device->appNamespace = "org.example.quillmere";
  device->wrapperSdkVersion = "1.0";
  device->wrapperSdkName = "wrapper";
  device->wrapperRuntimeVersion = "3.1";
  device->liveUpdateReleaseLabel = "v5";
  device->liveUpdateDeploymentKey = "key";
  device->liveUpdatePackageHash = "hash";
  return device;
}

TEST(TLDeviceTest, JsonHoldsOnlyThePresentFieldsWithNumbersAsNumbers) {
  EXPECT_EQ(*test::minimalDevice()->serializeToDictionary(),
            (Dictionary{{"sdkName", "telemetry.macos"},
                        {"sdkVersion", "2.4.0"},
                        {"osName", "Debian GNU/Linux"},
                        {"osVersion", "12.0.0"},
                        {"locale", "en_US"},
                        {"timeZoneOffset", 60},
                        {"appVersion", "2.0.0"},
                        {"appBuild", "200"}}));
  EXPECT_TRUE(test::minimalDevice()->serializeToDictionary()->get("timeZoneOffset").isInteger());

  const Dictionary full = *fullDevice()->serializeToDictionary();
  EXPECT_EQ(full.size(), 22u);
  EXPECT_EQ(full.get("osApiLevel"), Value(34));
  EXPECT_EQ(full.get("liveUpdatePackageHash"), Value("hash"));
  EXPECT_EQ(*TLWrapperSdk().serializeToDictionary(), Dictionary{});
  EXPECT_EQ(*TLWrapperSdk("1", std::nullopt, std::nullopt, "label", std::nullopt, std::nullopt).serializeToDictionary(),
            (Dictionary{{"wrapperSdkVersion", "1"}, {"liveUpdateReleaseLabel", "label"}}));
}

TEST(TLDeviceTest, ValidityNeedsTheEightRequiredFields) {
  const struct {
    const char* name;
    std::function<void(TLDevice&)> change;
    bool valid;
  } cases[] = {
      {"the eight", [](TLDevice&) {}, true},
      {"no sdkName", [](TLDevice& d) { d.sdkName.reset(); }, false},
      {"no sdkVersion", [](TLDevice& d) { d.sdkVersion.reset(); }, false},
      {"no osName", [](TLDevice& d) { d.osName.reset(); }, false},
      {"no osVersion", [](TLDevice& d) { d.osVersion.reset(); }, false},
      {"no locale", [](TLDevice& d) { d.locale.reset(); }, false},
      {"no timeZoneOffset", [](TLDevice& d) { d.timeZoneOffset.reset(); }, false},
      {"no appVersion", [](TLDevice& d) { d.appVersion.reset(); }, false},
      {"no appBuild", [](TLDevice& d) { d.appBuild.reset(); }, false},
      {"a zero offset", [](TLDevice& d) { d.timeZoneOffset = 0; }, true},
  };
  for (const auto& c : cases) {
    auto device = test::minimalDevice();
    c.change(*device);
    EXPECT_EQ(device->isValid(), c.valid) << c.name;
  }
  EXPECT_TRUE(fullDevice()->isValid());
}

TEST(TLDeviceTest, EqualityComparesEveryFieldAndArchivingKeepsThemAll) {
  const std::function<void(TLDevice&)> changes[] = {
      [](TLDevice& d) { d.model.reset(); },
      [](TLDevice& d) { d.osApiLevel = 35; },
      [](TLDevice& d) { d.timeZoneOffset.reset(); },
      [](TLDevice& d) { d.appNamespace = "other"; },
      [](TLDevice& d) { d.liveUpdatePackageHash.reset(); },
      [](TLDevice& d) { d.wrapperSdkName = "other"; },
  };
  for (const auto& change : changes) {
    auto changed = fullDevice();
    change(*changed);
    EXPECT_FALSE(fullDevice()->isEqual(*changed));
    EXPECT_FALSE(changed->isEqual(*fullDevice()));
  }
  EXPECT_TRUE(fullDevice()->isEqual(*fullDevice()));

  // A wrapper description accepts a device with its fields; the device asks for a device.
  const TLWrapperSdk wrapper("1.0", "wrapper", "3.1", "v5", "key", "hash");
  EXPECT_TRUE(wrapper.isEqual(*fullDevice()));
  EXPECT_FALSE(fullDevice()->isEqual(wrapper));

  for (const auto& device : {fullDevice(), test::minimalDevice(), std::make_shared<TLDevice>()}) {
    const auto copy = test::archiveRoundTrip(device, "TLDevice");
    ASSERT_TRUE(copy);
    EXPECT_TRUE(copy->isEqual(*device));
    EXPECT_EQ(copy->serializeToDictionary(), device->serializeToDictionary());
  }
  const auto wrapperCopy = test::archiveRoundTrip(std::make_shared<TLWrapperSdk>(wrapper), "TLWrapperSdk");
  ASSERT_TRUE(wrapperCopy);
  EXPECT_TRUE(wrapperCopy->isEqual(wrapper));
}

}  // namespace
