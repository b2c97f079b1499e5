#include <gtest/gtest.h>

#include "platform/security/Crypto.h"

namespace {

using foundation::Data;
using security::CryptOperation;

Data hex(const std::string& text) {
  Data bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) bytes.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
  return bytes;
}

TEST(Crypto, Sha256KnownDigests) {
  EXPECT_EQ(security::sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(security::sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(security::sha256(std::string_view("abc")), hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  // The two-block message and the million "a" of the standard's examples.
  EXPECT_EQ(security::sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(security::sha256Hex(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Crypto, HmacSha256MatchesTheStandardVectors) {
  // RFC 4231, test cases 2 and 6 (a key longer than the block is hashed first).
  EXPECT_EQ(security::hmacSha256(Data{'J', 'e', 'f', 'e'}, "what do ya want for nothing?"),
            hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
  EXPECT_EQ(security::hmacSha256(Data(131, 0xaa), "Test Using Larger Than Block-Size Key - Hash Key First"),
            hex("60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"));
}

TEST(Crypto, RandomBytesAreFreshEachTime) {
  auto first = security::randomBytes(32);
  auto second = security::randomBytes(32);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->size(), 32u);
  EXPECT_NE(*first, *second);
  EXPECT_EQ(security::randomBytes(nullptr, 4), security::errSecParam);
}

TEST(Crypto, AesMatchesTheStandardVectorAndPadsWithPkcs7) {
  // NIST SP 800-38A, F.2.5: one block of CBC-AES256, followed here by one block of padding.
  const Data key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
  const Data iv = hex("000102030405060708090a0b0c0d0e0f");
  const Data plain = hex("6bc1bee22e409f96e93d7e117393172a");
  security::CryptStatus status = -1;
  auto cipher = security::aes256CBC(CryptOperation::Encrypt, key, iv, plain, &status);
  ASSERT_TRUE(cipher);
  EXPECT_EQ(status, security::kCCSuccess);
  ASSERT_EQ(cipher->size(), 32u);
  EXPECT_EQ(Data(cipher->begin(), cipher->begin() + 16), hex("f58c4c04d6e5f1ba779eabfb5f7bfbd6"));
  EXPECT_EQ(security::aes256CBC(CryptOperation::Decrypt, key, iv, *cipher), plain);
}

TEST(Crypto, AesRoundTripsEveryLengthAroundABlock) {
  const Data key(32, 0x42);
  for (std::size_t length : {0u, 1u, 15u, 16u, 17u, 100u}) {
    const Data plain(length, 0x61);
    for (const auto& iv : {std::optional<Data>(), std::optional<Data>(Data(16, 7))}) {
      auto cipher = security::aes256CBC(CryptOperation::Encrypt, key, iv, plain);
      ASSERT_TRUE(cipher) << length;
      EXPECT_EQ(cipher->size(), (length / 16 + 1) * 16) << length;
      EXPECT_EQ(security::aes256CBC(CryptOperation::Decrypt, key, iv, *cipher), plain) << length;
    }
  }
  // No IV means all zeros, as the old stored format expects.
  EXPECT_EQ(security::aes256CBC(CryptOperation::Encrypt, key, std::nullopt, Data(5, 1)),
            security::aes256CBC(CryptOperation::Encrypt, key, Data(16, 0), Data(5, 1)));
}

TEST(Crypto, AesReportsBadInput) {
  const Data key(32, 1);
  const Data cipher = *security::aes256CBC(CryptOperation::Encrypt, key, std::nullopt, Data(20, 9));
  const struct {
    const char* name;
    CryptOperation operation;
    Data key;
    std::optional<Data> iv;
    Data input;
    security::CryptStatus expected;
  } cases[] = {
      {"short key", CryptOperation::Encrypt, Data(31, 1), std::nullopt, Data(4, 0), security::kCCParamError},
      {"long IV", CryptOperation::Encrypt, key, Data(17, 0), Data(4, 0), security::kCCParamError},
      {"partial block", CryptOperation::Decrypt, key, std::nullopt, Data(15, 0), security::kCCAlignmentError},
      // A fixed wrong key whose last block is known not to unpad, so the case is deterministic.
      {"wrong key", CryptOperation::Decrypt, Data(32, 2), std::nullopt, cipher, security::kCCDecodeError},
  };
  for (const auto& c : cases) {
    security::CryptStatus status = 0;
    EXPECT_FALSE(security::aes256CBC(c.operation, c.key, c.iv, c.input, &status)) << c.name;
    EXPECT_EQ(status, c.expected) << c.name;
  }
}

}  // namespace
