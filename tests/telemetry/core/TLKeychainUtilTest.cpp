#include "telemetry/core/Internals/Util/TLKeychainUtil.h"

#include <gtest/gtest.h>

#include "platform/foundation/Bundle.h"
#include "platform/security/Keychain.h"

namespace {

using security::OSStatus;

TEST(TLKeychainUtil, StoresReplacesReadsAndDeletesStringsOfTheDefaultService) {
  EXPECT_EQ(TLKeychainUtil::defaultServiceName(),
            *foundation::Bundle::mainBundle()->bundleIdentifier() + ".Telemetry");
  OSStatus status = 0;
  EXPECT_EQ(TLKeychainUtil::stringForKey("k", &status), std::nullopt);
  EXPECT_EQ(status, security::errSecItemNotFound);

  ASSERT_TRUE(TLKeychainUtil::storeString("first", "k"));
  ASSERT_TRUE(TLKeychainUtil::storeString("second", "k"));  // the duplicate item is replaced
  EXPECT_EQ(TLKeychainUtil::stringForKey("k", &status), "second");
  EXPECT_EQ(status, security::errSecSuccess);
  ASSERT_TRUE(TLKeychainUtil::storeString("elsewhere", "k", "other.service"));
  EXPECT_EQ(TLKeychainUtil::stringForKey("k"), "second");

  EXPECT_EQ(TLKeychainUtil::deleteStringForKey("k"), "second");
  EXPECT_EQ(TLKeychainUtil::deleteStringForKey("k"), std::nullopt);
  EXPECT_EQ(TLKeychainUtil::stringForKey("k", "other.service"), "elsewhere");

  // clear empties the default service only.
  ASSERT_TRUE(TLKeychainUtil::storeString("a", "k1"));
  ASSERT_TRUE(TLKeychainUtil::storeString("b", "k2"));
  EXPECT_TRUE(TLKeychainUtil::clear());
  EXPECT_EQ(TLKeychainUtil::stringForKey("k1"), std::nullopt);
  EXPECT_EQ(TLKeychainUtil::stringForKey("k2"), std::nullopt);
  EXPECT_FALSE(TLKeychainUtil::clear());  // nothing left to delete
  EXPECT_EQ(TLKeychainUtil::stringForKey("k", "other.service"), "elsewhere");
}

TEST(TLKeychainUtil, DataThatIsNotTextReadsAsNothing) {
  foundation::Dictionary item = TLKeychainUtil::generateItem("binary", TLKeychainUtil::defaultServiceName());
  item.set(security::kSecValueData, foundation::Data{0xff, 0xfe, 0x00});
  ASSERT_EQ(TLKeychainUtil::addSecItem(item), security::errSecSuccess);
  OSStatus status = 0;
  EXPECT_EQ(TLKeychainUtil::stringForKey("binary", &status), std::nullopt);
  EXPECT_EQ(status, security::errSecSuccess);
  EXPECT_EQ(TLKeychainUtil::deleteStringForKey("binary"), std::nullopt);
}

}  // namespace
