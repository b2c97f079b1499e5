#include "telemetry/core/Internals/Util/TLEncrypter.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/foundation/String.h"
#include "platform/security/Base64.h"
#include "platform/security/Keychain.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLKeychainUtil.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

using foundation::Data;
using security::CryptOperation;

namespace {

constexpr double kKeyRotationInterval = 365 * 24 * 60 * 60;
constexpr std::string_view kCipherDescription = "/AES/CBC/PKCS7/32";
constexpr std::uint8_t kSeparator = ':';

// One lock for the process: the current-tag check with its rotation, and the key lookup with
// key creation, so that two threads never make two keys for one tag or rotate twice.
struct Shared {
  std::mutex lock;
  std::map<std::string, Data, std::less<>> keys;  // by exact tag
  TLEncrypter::Clock clock;
};

Shared& shared() {
  static Shared* instance = new Shared();  // outlives static destruction: encrypters may run late
  return *instance;
}

foundation::Date now() {
  Shared& state = shared();
  return state.clock ? state.clock() : foundation::Date::now();
}

bool isKnownTag(std::string_view tag) { return tag == kTLEncryptionKeyTag || tag == kTLEncryptionKeyTagAlternate; }

// A key as the keychain holds it: the Base64 text of 32 bytes.
std::optional<Data> keyFromText(const std::string& text) {
  auto key = security::dataFromBase64(text);
  if (!key || key->size() != security::kAES256KeySize) return std::nullopt;
  return key;
}

enum class KeySource { Existing, ExistingOrNew };

// The key of `tag`, under the shared lock. Only ExistingOrNew makes one, and only when the
// keychain answers that it has none: a keychain that fails, or holds something unreadable, may
// still hold the key of stored data, so nothing is made over it.
std::optional<Data> keyForTag(const std::string& tag, KeySource source) {
  Shared& state = shared();
  if (const auto found = state.keys.find(tag); found != state.keys.end()) return found->second;
  security::OSStatus status = security::errSecSuccess;
  const auto text = TLKeychainUtil::stringForKey(tag, &status);
  if (status == security::errSecItemNotFound) {
    if (source == KeySource::Existing) {
      TLLogError(kTLLogTag, "There is no encryption key for the tag %@; the data cannot be decrypted.", tag);
      return std::nullopt;
    }
    auto key = TLEncrypter::generateAndSaveKeyWithTag(tag);
    if (key) state.keys[tag] = *key;
    return key;
  }
  if (status != security::errSecSuccess) {
    TLLogError(kTLLogTag, "Could not read the encryption key for the tag %@ from the keychain. Error code: %d", tag,
               status);
    return std::nullopt;
  }
  const auto key = text ? keyFromText(*text) : std::nullopt;
  if (!key) {
    TLLogError(kTLLogTag, "The keychain holds no valid encryption key for the tag %@.", tag);
    return std::nullopt;
  }
  state.keys[tag] = *key;
  return key;
}

// Where the parts of current-format data lie, or nothing for data without a known header.
struct Envelope {
  std::string tag;
  std::size_t ivOffset;
};

bool startsWith(const Data& data, const Data& prefix) {
  return data.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), data.begin());
}

std::optional<Envelope> envelopeOf(const Data& data) {
  for (const char* tag : {kTLEncryptionKeyTag, kTLEncryptionKeyTagAlternate}) {
    Data header = TLEncrypter::getMetadataStringWithKeyTag(tag);
    header.push_back(kSeparator);
    if (startsWith(data, header)) return Envelope{tag, header.size()};
  }
  return std::nullopt;
}

// Whether the data begins with a header of this form under some other tag. Old-format data is
// cipher text, which never holds that text, so such data is garbled, not old.
bool hasForeignHeader(const Data& data) {
  const auto separator = std::find(data.begin(), data.end(), kSeparator);
  const std::string_view header(reinterpret_cast<const char*>(data.data()),
                                static_cast<std::size_t>(separator - data.begin()));
  return separator != data.end() && header.ends_with(kCipherDescription);
}

// Stores the key metadata for `tag`; the caller holds the shared lock.
void rotate(const std::string& tag) {
  const foundation::Date expiry = now().addingTimeInterval(kKeyRotationInterval);
  TLUserDefaults::shared().setObject(tag + "/" + TLUtility::dateToISO8601(expiry), kTLEncryptionKeyMetadataKey);
}

}  // namespace

std::optional<std::string> TLEncrypter::encryptString(std::string_view string) const {
  const auto encrypted = encryptData(Data(string.begin(), string.end()));
  if (!encrypted) return std::nullopt;
  return security::base64EncodedString(*encrypted);
}

std::optional<std::string> TLEncrypter::decryptString(std::string_view string) const {
  const auto data = security::dataFromBase64(string);
  if (!data) {
    TLLogWarning(kTLLogTag, "Conversion of encrypted string to NSData failed.");
    return std::nullopt;
  }
  const auto plain = decryptData(*data);
  if (!plain) return std::nullopt;
  auto text = TLUtility::stringFromUTF8Data(*plain);
  if (!text) TLLogWarning(kTLLogTag, "Converting decrypted NSData to NSString failed.");
  return text;
}

std::optional<Data> TLEncrypter::encryptData(const Data& data) const {
  const std::string tag = getCurrentKeyTag();
  const auto key = getKeyWithKeyTag(tag);
  const auto iv = key ? generateInitializationVector() : std::nullopt;
  if (!iv) return std::nullopt;
  const auto cipher = performCryptoOperation(CryptOperation::Encrypt, data, iv, *key);
  if (!cipher) return std::nullopt;
  Data result = getMetadataStringWithKeyTag(tag);
  result.push_back(kSeparator);
  result.insert(result.end(), iv->begin(), iv->end());
  result.insert(result.end(), cipher->begin(), cipher->end());
  return result;
}

std::optional<Data> TLEncrypter::decryptData(const Data& data) const {
  const auto envelope = envelopeOf(data);
  if (!envelope && hasForeignHeader(data)) {
    TLLogError(kTLLogTag, "The encrypted data names an unknown encryption key.");
    return std::nullopt;
  }
  // Old format unless a known header says otherwise: all cipher text, first key, zero vector.
  std::string tag = kTLEncryptionKeyTag;
  std::optional<Data> iv;
  Data cipher = data;
  if (envelope) {
    const auto ivStart = data.begin() + static_cast<std::ptrdiff_t>(envelope->ivOffset);
    if (data.end() - ivStart < static_cast<std::ptrdiff_t>(security::kAESBlockSize)) {
      TLLogError(kTLLogTag, "The encrypted data is too short to hold its initialization vector.");
      return std::nullopt;
    }
    const auto cipherStart = ivStart + static_cast<std::ptrdiff_t>(security::kAESBlockSize);
    tag = envelope->tag;
    iv = Data(ivStart, cipherStart);
    cipher = Data(cipherStart, data.end());
  }
  std::optional<Data> key;
  {
    std::lock_guard guard(shared().lock);
    key = keyForTag(tag, KeySource::Existing);
  }
  if (!key) return std::nullopt;
  return performCryptoOperation(CryptOperation::Decrypt, cipher, iv, *key);
}

std::string TLEncrypter::getCurrentKeyTag() {
  std::lock_guard guard(shared().lock);
  const foundation::Value metadata = TLUserDefaults::shared().objectForKey(kTLEncryptionKeyMetadataKey);
  if (!metadata.isString()) {
    rotate(kTLEncryptionKeyTagAlternate);
    return kTLEncryptionKeyTagAlternate;
  }
  const auto parts = foundation::componentsSeparatedByString(metadata.stringValue(), "/");
  const std::string tag = parts.front();
  const auto expiry = parts.size() == 2 ? TLUtility::dateFromISO8601(parts[1]) : std::nullopt;
  // A tag of our own is kept until it expires; anything else is replaced, since data written
  // under an unknown tag could never be read back.
  if (expiry && *expiry >= now() && isKnownTag(tag)) return tag;
  const std::string next = tag == kTLEncryptionKeyTag ? kTLEncryptionKeyTagAlternate : kTLEncryptionKeyTag;
  rotate(next);
  return next;
}

void TLEncrypter::rotateToNewKeyTag(const std::string& tag) {
  std::lock_guard guard(shared().lock);
  rotate(tag);
}

std::optional<Data> TLEncrypter::getKeyWithKeyTag(const std::string& tag) const {
  std::lock_guard guard(shared().lock);
  return keyForTag(tag, KeySource::ExistingOrNew);
}

std::optional<Data> TLEncrypter::performCryptoOperation(CryptOperation operation, const Data& input,
                                                        const std::optional<Data>& iv, const Data& key) {
  auto output = security::aes256CBC(operation, key, iv, input);
  if (!output) TLLogError(kTLLogTag, "Error performing encryption or decryption.");
  return output;
}

std::optional<Data> TLEncrypter::generateAndSaveKeyWithTag(const std::string& tag) {
  Data key(security::kAES256KeySize);
  if (const auto status = security::randomBytes(key.data(), key.size()); status != security::errSecSuccess) {
    TLLogError(kTLLogTag, "Error generating encryption key. Error code: %d", status);
    return std::nullopt;
  }
  // Added, never replaced: another process may have stored this tag's key meanwhile, and its
  // data needs that key, so that key is the one used here too.
  foundation::Dictionary item = TLKeychainUtil::generateItem(tag, TLKeychainUtil::defaultServiceName());
  item.set(security::kSecValueData, foundation::Value(security::base64EncodedString(key)));
  const auto status = TLKeychainUtil::addSecItem(item);
  if (status == security::errSecDuplicateItem) {
    const auto text = TLKeychainUtil::stringForKey(tag);
    if (auto stored = text ? keyFromText(*text) : std::nullopt) return stored;
  }
  if (status != security::errSecSuccess) {
    TLLogError(kTLLogTag,
               "Could not store the encryption key for the tag %@ in the keychain; data encrypted with it will not "
               "be readable after a restart. Error code: %d",
               tag, status);
  }
  return key;
}

std::optional<Data> TLEncrypter::generateInitializationVector() {
  Data iv(security::kAESBlockSize);
  if (const auto status = security::randomBytes(iv.data(), iv.size()); status != security::errSecSuccess) {
    TLLogError(kTLLogTag, "Error generating initialization vector. Error code: %d", status);
    return std::nullopt;
  }
  return iv;
}

Data TLEncrypter::getMetadataStringWithKeyTag(const std::string& tag) {
  const std::string header = tag + std::string(kCipherDescription);
  return Data(header.begin(), header.end());
}

void TLEncrypter::setClock(Clock clock) {
  std::lock_guard guard(shared().lock);
  shared().clock = std::move(clock);
}

void TLEncrypter::forgetKeysInMemory() {
  std::lock_guard guard(shared().lock);
  shared().keys.clear();
}
