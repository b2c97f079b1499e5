#include "telemetry/core/Internals/Util/TLEncrypter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "platform/security/Base64.h"
#include "platform/security/Keychain.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLKeychainUtil.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "tests/telemetry/support/TLLogRecorder.h"

namespace {

using foundation::Data;
using foundation::Date;

Data bytes(std::string_view text) { return Data(text.begin(), text.end()); }

Data concat(std::initializer_list<Data> parts) {
  Data all;
  for (const Data& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

Data header(const std::string& tag) { return bytes(tag + "/AES/CBC/PKCS7/32:"); }

// A key the test chose, stored where the encrypter looks for the tag's key.
Data storeKey(const std::string& tag, std::uint8_t seed) {
  Data key(32);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(seed + i);
  EXPECT_TRUE(TLKeychainUtil::storeString(security::base64EncodedString(key), tag));
  return key;
}

Data aes(const Data& key, const Data& iv, const Data& plain) {
  return *security::aes256CBC(security::CryptOperation::Encrypt, key, iv, plain);
}

std::string metadata() { return TLUserDefaults::shared().objectForKey(kTLEncryptionKeyMetadataKey).stringValue(); }

// Every test starts as a first launch: no keys anywhere, no key metadata, a clock of its own.
class TLEncrypterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TLEncrypter::forgetKeysInMemory();
    TLKeychainUtil::clear();
    TLUserDefaults::shared().removeObjectForKey(kTLEncryptionKeyMetadataKey);
    TLEncrypter::setClock([this] { return now; });
  }
  void TearDown() override { TLEncrypter::setClock({}); }

  Date now = Date::fromTimeIntervalSinceReferenceDate(800000000.25);
  TLEncrypter encrypter;
};

TEST_F(TLEncrypterTest, RoundTripsWithAFreshInitializationVectorEachTime) {
  for (const std::string text : {"", "a", "exactly 16 bytes", "Bearer token-ünïcödé-✓ of some length"}) {
    const auto first = encrypter.encryptString(text);
    const auto second = encrypter.encryptString(text);
    ASSERT_TRUE(first && second) << text;
    EXPECT_NE(*first, *second) << text;
    EXPECT_EQ(encrypter.decryptString(*first), text);
    EXPECT_EQ(encrypter.decryptString(*second), text);

    // Header, separator, 16 bytes of IV, then whole blocks with at least one of padding.
    const Data data = *security::dataFromBase64(*first);
    const Data expectedHeader = header(kTLEncryptionKeyTagAlternate);
    ASSERT_GT(data.size(), expectedHeader.size() + 16);
    EXPECT_TRUE(std::equal(expectedHeader.begin(), expectedHeader.end(), data.begin()));
    const std::size_t cipher = data.size() - expectedHeader.size() - 16;
    EXPECT_EQ(cipher, (text.size() / 16 + 1) * 16) << text;
  }
  const Data binary{0x00, 0xff, 0x3a, 0x10};
  EXPECT_EQ(encrypter.decryptData(*encrypter.encryptData(binary)), binary);
}

TEST_F(TLEncrypterTest, FirstUseStoresMetadataForTheAlternateKeyAndMakesThatKey) {
  ASSERT_TRUE(encrypter.encryptString("x"));
  EXPECT_EQ(metadata(), std::string(kTLEncryptionKeyTagAlternate) + "/" +
                            TLUtility::dateToISO8601(now.addingTimeInterval(365 * 86400)));
  const auto stored = TLKeychainUtil::stringForKey(kTLEncryptionKeyTagAlternate);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 44u);
  EXPECT_EQ(security::dataFromBase64(*stored)->size(), 32u);
  EXPECT_EQ(TLKeychainUtil::stringForKey(kTLEncryptionKeyTag), std::nullopt);
}

TEST_F(TLEncrypterTest, TheTagSwitchesOnceAYearAndOlderValuesStayReadable) {
  const auto year1 = encrypter.encryptString("year one");
  EXPECT_EQ(TLEncrypter::getCurrentKeyTag(), kTLEncryptionKeyTagAlternate);

  now = now.addingTimeInterval(365 * 86400);  // the expiry itself: still valid
  EXPECT_EQ(TLEncrypter::getCurrentKeyTag(), kTLEncryptionKeyTagAlternate);

  now = now.addingTimeInterval(0.001);
  const auto year2 = encrypter.encryptString("year two");
  EXPECT_EQ(metadata(), std::string(kTLEncryptionKeyTag) + "/" +
                            TLUtility::dateToISO8601(now.addingTimeInterval(365 * 86400)));
  const Data data = *security::dataFromBase64(*year2);
  const Data expectedHeader = header(kTLEncryptionKeyTag);
  EXPECT_TRUE(std::equal(expectedHeader.begin(), expectedHeader.end(), data.begin()));

  now = now.addingTimeInterval(366 * 86400);
  EXPECT_EQ(TLEncrypter::getCurrentKeyTag(), kTLEncryptionKeyTagAlternate);

  // After a restart both keys come from the keychain.
  TLEncrypter::forgetKeysInMemory();
  EXPECT_EQ(TLEncrypter().decryptString(*year1), "year one");
  EXPECT_EQ(TLEncrypter().decryptString(*year2), "year two");
}

TEST_F(TLEncrypterTest, UnreadableOrForeignMetadataIsReplaced) {
  const std::string future = TLUtility::dateToISO8601(now.addingTimeInterval(1000));
  const struct {
    std::string stored;
    const char* expected;
  } cases[] = {
      {std::string(kTLEncryptionKeyTag) + "/" + future, kTLEncryptionKeyTag},  // valid: kept
      {std::string(kTLEncryptionKeyTag) + "/not a date", kTLEncryptionKeyTagAlternate},
      {std::string(kTLEncryptionKeyTagAlternate), kTLEncryptionKeyTag},
      {"kSomeOtherTag/" + future, kTLEncryptionKeyTag},  // data under it could never be read
      {"", kTLEncryptionKeyTag},
  };
  for (const auto& c : cases) {
    TLUserDefaults::shared().setObject(c.stored, kTLEncryptionKeyMetadataKey);
    EXPECT_EQ(TLEncrypter::getCurrentKeyTag(), c.expected) << c.stored;
    EXPECT_TRUE(metadata().starts_with(std::string(c.expected) + "/")) << c.stored;
  }
}

TEST_F(TLEncrypterTest, OldFormatDataDecryptsWithTheFirstKeyAndAZeroVector) {
  const Data key = storeKey(kTLEncryptionKeyTag, 7);
  const Data zeros(16, 0);
  EXPECT_EQ(encrypter.decryptString(security::base64EncodedString(aes(key, zeros, bytes("old token")))), "old token");

  // Old cipher text may hold a ":" byte anywhere, even first; it is still old data, not a header.
  for (int n = 0; n < 5000; ++n) {
    const Data plain = bytes("token-" + std::to_string(n));
    const Data cipher = aes(key, zeros, plain);
    if (cipher[0] != ':') continue;
    EXPECT_EQ(encrypter.decryptData(cipher), plain);
    return;
  }
  FAIL() << "no cipher text starting with ':' among the candidates";
}

TEST_F(TLEncrypterTest, BadInputIsRejectedWithALoggedReason) {
  const Data first = storeKey(kTLEncryptionKeyTag, 1);
  storeKey(kTLEncryptionKeyTagAlternate, 100);
  const Data iv(16, 0x42);
  const Data good = concat({header(kTLEncryptionKeyTag), iv, aes(first, iv, bytes("secret"))});
  ASSERT_EQ(encrypter.decryptData(good), bytes("secret"));

  Data badPadding = good;
  badPadding[header(kTLEncryptionKeyTag).size() + 15] ^= 0x80;  // flips the padding byte of the one block
  const Data headerOnly = header(kTLEncryptionKeyTag);
  const struct {
    const char* name;
    Data data;
    const char* error;
  } cases[] = {
      {"cut inside the vector", Data(good.begin(), good.begin() + static_cast<long>(headerOnly.size()) + 10),
       "The encrypted data is too short to hold its initialization vector."},
      {"header alone", headerOnly, "The encrypted data is too short to hold its initialization vector."},
      {"vector without cipher text", concat({headerOnly, iv}), "Error performing encryption or decryption."},
      {"cut inside the cipher text", Data(good.begin(), good.end() - 1), "Error performing encryption or decryption."},
      {"bad padding", badPadding, "Error performing encryption or decryption."},
      {"the other key", concat({header(kTLEncryptionKeyTagAlternate), iv, aes(first, iv, bytes("secret"))}),
       "Error performing encryption or decryption."},
      {"unknown tag", concat({header("kTLEncryptionKeyTagOther"), iv, aes(first, iv, bytes("secret"))}),
       "The encrypted data names an unknown encryption key."},
      {"empty", Data(), "Error performing encryption or decryption."},
  };
  for (const auto& c : cases) {
    test::TLLogRecorder recorder;
    EXPECT_EQ(encrypter.decryptData(c.data), std::nullopt) << c.name;
    EXPECT_EQ(recorder.messages(TLLogLevelError), std::vector<std::string>{c.error}) << c.name;
  }

  for (const char* text : {"not base64!", "QUJD\n", "QUJDRA", " QUJD"}) {
    test::TLLogRecorder recorder;
    EXPECT_EQ(encrypter.decryptString(text), std::nullopt) << text;
    EXPECT_EQ(recorder.messages(TLLogLevelWarning),
              std::vector<std::string>{"Conversion of encrypted string to NSData failed."})
        << text;
  }
  test::TLLogRecorder recorder;
  EXPECT_EQ(encrypter.decryptString(*encrypter.encryptString("\xff\xfe")), std::nullopt);
  EXPECT_EQ(recorder.messages(TLLogLevelWarning),
            std::vector<std::string>{"Converting decrypted NSData to NSString failed."});
}

TEST_F(TLEncrypterTest, DecryptingNeverMakesAKey) {
  const Data iv(16, 1);
  for (const Data& data : {Data(32, 9), concat({header(kTLEncryptionKeyTag), iv, Data(16, 2)}),
                           concat({header(kTLEncryptionKeyTagAlternate), iv, Data(16, 2)})}) {
    test::TLLogRecorder recorder;
    EXPECT_EQ(encrypter.decryptData(data), std::nullopt);
    ASSERT_EQ(recorder.messages(TLLogLevelError).size(), 1u);
    EXPECT_TRUE(recorder.messages(TLLogLevelError)[0].starts_with("There is no encryption key for the tag"));
  }
  EXPECT_EQ(TLKeychainUtil::stringForKey(kTLEncryptionKeyTag), std::nullopt);
  EXPECT_EQ(TLKeychainUtil::stringForKey(kTLEncryptionKeyTagAlternate), std::nullopt);

  // Nor is one kept in memory: the first encryption makes and stores the real one.
  const auto encrypted = encrypter.encryptString("after");
  TLEncrypter::forgetKeysInMemory();
  EXPECT_EQ(encrypter.decryptString(*encrypted), "after");
}

TEST_F(TLEncrypterTest, AKeyTheKeychainCannotGiveIsNeitherUsedNorReplaced) {
  ASSERT_TRUE(TLKeychainUtil::storeString("not a key", kTLEncryptionKeyTagAlternate));
  test::TLLogRecorder recorder;
  EXPECT_EQ(encrypter.encryptString("x"), std::nullopt);
  EXPECT_EQ(recorder.messages(TLLogLevelError),
            std::vector<std::string>{"The keychain holds no valid encryption key for the tag kTLEncryptionKeyTagAlternate."});
  EXPECT_EQ(TLKeychainUtil::stringForKey(kTLEncryptionKeyTagAlternate), "not a key");
}

TEST_F(TLEncrypterTest, TwoEncryptersAgreeWhenTheKeychainCannotStoreTheKey) {
  // A lock file that cannot be opened makes every change of the keychain fail; reads still work.
  const std::string folder = security::Keychain::defaultPath();
  std::filesystem::create_directories(folder + "/.lock");

  test::TLLogRecorder recorder;
  TLEncrypter first, second;
  const auto encrypted = first.encryptString("shared");
  ASSERT_TRUE(encrypted);
  const auto errors = recorder.messages(TLLogLevelError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_TRUE(errors[0].starts_with("Could not store the encryption key for the tag kTLEncryptionKeyTagAlternate"))
      << errors[0];
  EXPECT_EQ(second.decryptString(*encrypted), "shared");
  EXPECT_EQ(first.decryptString(*second.encryptString("back")), "back");
  EXPECT_EQ(recorder.messages(TLLogLevelError).size(), 1u);  // the key was made once
}

TEST_F(TLEncrypterTest, ThreadsEncryptingAtOnceMakeOneKey) {
  std::vector<std::optional<std::string>> results(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < results.size(); ++i) {
    threads.emplace_back([&, i] { results[i] = TLEncrypter().encryptString("value " + std::to_string(i)); });
  }
  for (auto& thread : threads) thread.join();
  // Read back as a new process would, with only the stored key.
  TLEncrypter::forgetKeysInMemory();
  for (std::size_t i = 0; i < results.size(); ++i) {
    ASSERT_TRUE(results[i]);
    EXPECT_EQ(encrypter.decryptString(*results[i]), "value " + std::to_string(i));
  }
}

}  // namespace
