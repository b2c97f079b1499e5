// libFuzzer target of the telemetry encrypter's decryption of hostile text and data. Both keys
// are fixed for the process (stored in the keychain of the target's own home before first use),
// so the seeds, encrypted under them, decrypt, and mutations of them reach the padding and the
// UTF-8 checks. Invariants: decryption never fails other than by answering nothing; what decrypts
// encrypts again and decrypts back to itself; any text and data round-trip through encryption.
#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/foundation/String.h"
#include "platform/security/Base64.h"
#include "platform/security/Crypto.h"
#include "telemetry/core/Internals/Util/TLEncrypter.h"
#include "telemetry/core/Internals/Util/TLKeychainUtil.h"

namespace {

using foundation::Data;

Data fixedKey(std::uint8_t first) {
  Data key(security::kAES256KeySize);
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(first + i * 7);
  return key;
}

void storeFixedKeys() {
  for (const auto& [tag, first] : {std::pair{kTLEncryptionKeyTag, 1}, std::pair{kTLEncryptionKeyTagAlternate, 101}}) {
    const bool stored =
        TLKeychainUtil::storeString(security::base64EncodedString(fixedKey(static_cast<std::uint8_t>(first))), tag);
    fuzz::check(stored, "a fixed key is stored in the keychain");
  }
}

void writeSeeds(fuzz::SeedWriter& seeds) {
  const TLEncrypter encrypter;
  int n = 0;
  const std::string texts[] = {"", "a", "0a1b2c3d-aaaa-bbbb-cccc-0123456789ab", "h\xc3\xa9llo \xf0\x9f\x98\x80",
                               std::string(100, 'x')};
  for (const auto& text : texts) {
    const auto encrypted = encrypter.encryptString(text);
    fuzz::check(encrypted.has_value(), "a seed encrypts");
    seeds.write("current-" + std::to_string(n++), *encrypted);
  }
  // The old format: cipher text alone, under the first key, with a zero vector.
  const std::string plain = "old token";
  const auto old = TLEncrypter::performCryptoOperation(security::CryptOperation::Encrypt, Data(plain.begin(), plain.end()),
                                                       std::nullopt, fixedKey(1));
  fuzz::check(old.has_value(), "an old-format seed encrypts");
  seeds.write("old-format", security::base64EncodedString(*old));
  TLEncrypter::rotateToNewKeyTag(kTLEncryptionKeyTag);
  const auto first = encrypter.encryptString("under the first key");
  fuzz::check(first.has_value(), "a seed under the first key encrypts");
  seeds.write("first-key", *first);
}

void checkText(const TLEncrypter& encrypter, std::string_view text) {
  if (const auto plain = encrypter.decryptString(text)) {
    fuzz::check(foundation::utf16(*plain).size() == foundation::length16(*plain), "decrypted text is text");
    const auto again = encrypter.encryptString(*plain);
    fuzz::check(again.has_value() && encrypter.decryptString(*again) == plain, "decrypted text encrypts back");
  }
  const auto sealed = encrypter.encryptString(text);
  fuzz::check(sealed.has_value(), "any text encrypts");
  const auto opened = encrypter.decryptString(*sealed);
  // Text that is no UTF-8 is refused on the way back, by design.
  if (foundation::utf8(foundation::utf16(text)) == text) {
    fuzz::check(opened == std::string(text), "text round-trips through encryption");
  }
}

void checkData(const TLEncrypter& encrypter, const Data& data) {
  if (const auto plain = encrypter.decryptData(data)) {
    const auto again = encrypter.encryptData(*plain);
    fuzz::check(again.has_value() && encrypter.decryptData(*again) == plain, "decrypted data encrypts back");
  }
  const auto sealed = encrypter.encryptData(data);
  fuzz::check(sealed.has_value() && encrypter.decryptData(*sealed) == data, "data round-trips through encryption");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::initialize([](fuzz::SeedWriter& seeds) {
    storeFixedKeys();
    writeSeeds(seeds);
  });
  storeFixedKeys();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TLEncrypter encrypter;
  checkText(encrypter, fuzz::text(data, size));
  checkData(encrypter, Data(data, data + size));
  return 0;
}
