#include "platform/security/PlatformUUID.h"

#include <gtest/gtest.h>

#include "tests/support/TempDir.h"

namespace {

class PlatformUUIDTest : public testing::Test {
 protected:
  void SetUp() override { foundation::SystemPaths::setMachineIdPathForTesting(machineId); }
  void TearDown() override { foundation::SystemPaths::setMachineIdPathForTesting(std::nullopt); }

  test::TempDir folder;
  std::string machineId = folder.file("machine-id");
};

TEST_F(PlatformUUIDTest, DerivesAStableVersionFourUUIDPerApplication) {
  ASSERT_TRUE(test::writeFile(machineId, "0123456789abcdef0123456789abcdef\n"));
  const auto ours = security::platformUUID();
  ASSERT_TRUE(ours);
  // HMAC-SHA256 of the application id under the id's bytes, computed apart from this code.
  EXPECT_EQ(ours->UUIDString(), "7C907DAA-5761-4CD9-B051-73F03AF8A1BD");
  EXPECT_EQ(security::platformUUID("other.app")->UUIDString(), "0E3F2B0E-3FA5-4E52-B6C9-F2FB57AEF7D4");

  ASSERT_TRUE(test::writeFile(machineId, "0123456789ABCDEF0123456789ABCDEF"));
  EXPECT_EQ(security::platformUUID(), ours);
}

TEST_F(PlatformUUIDTest, AnswersNothingWithoutAUsableMachineId) {
  EXPECT_FALSE(security::platformUUID()) << "missing file";
  for (const char* contents : {"", "uninitialized\n", "0123456789abcdef", "0123456789abcdef0123456789abcdeg",
                               "0123456789abcdef0123456789abcdef00"}) {
    ASSERT_TRUE(test::writeFile(machineId, contents));
    EXPECT_FALSE(security::platformUUID()) << '"' << contents << '"';
  }
}

}  // namespace
