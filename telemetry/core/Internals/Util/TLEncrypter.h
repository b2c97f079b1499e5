#pragma once
// TLEncrypter encrypts the values the SDK keeps on disk (stored target tokens, the auth token
// history) with AES-256 in CBC mode with PKCS#7 padding, under 256-bit keys made at run time and
// kept in the keychain under one of two tags.
//
// New data is encrypted under the current tag, which changes once a year (the key metadata in the
// settings store says which tag and until when); every encrypted value names the tag of its key,
// so values written under the other key stay readable. Encrypted data is the key metadata header
// ("<tag>/AES/CBC/PKCS7/32"), a ":" byte, a fresh 16-byte initialisation vector and the cipher
// text. Data without a known header is read as the old format: cipher text alone, under the
// "kTLEncryptionKeyTag" key with an all-zero initialisation vector.
//
// Keys are kept in memory for the whole process, shared by every encrypter, so two encrypters
// always agree even when the keychain could not store a key. A key is only ever made for
// encrypting, never for decrypting, and never over a key the keychain holds.
//
// Every operation is thread-safe; instances hold no state of their own.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"
#include "platform/security/Crypto.h"

// The keychain accounts of the two keys: the first, which also reads old-format data, and the
// alternate, the first one used for new data.
inline constexpr const char* kTLEncryptionKeyTag = "kTLEncryptionKeyTag";
inline constexpr const char* kTLEncryptionKeyTagAlternate = "kTLEncryptionKeyTagAlternate";
// The settings key of the key metadata: "<current tag>/<expiry as ISO 8601>".
inline constexpr const char* kTLEncryptionKeyMetadataKey = "TLEncryptionKeyMetadata";

class TLEncrypter {
 public:
  // Answers "now" for the key rotation.
  using Clock = std::function<foundation::Date()>;

  TLEncrypter() = default;

  // The standard Base64 text (one line) of encryptData of the string's UTF-8 bytes; nothing when
  // encryption failed (logged).
  std::optional<std::string> encryptString(std::string_view string) const;
  // The text that encryptString gave for `string`. Nothing, with a WARNING, when the string is not
  // strict Base64 or the plain bytes are not UTF-8; nothing, with an ERROR, when decryption fails.
  std::optional<std::string> decryptString(std::string_view string) const;

  // The data encrypted under the current tag's key (made and stored on first use) in the current
  // format; nothing, with an ERROR, when no key or initialisation vector could be had.
  std::optional<foundation::Data> encryptData(const foundation::Data& data) const;
  // The plain data; nothing, with an ERROR, when the header names an unknown tag, the data is too
  // short, its tag has no key, or the cipher fails (a wrong key or bad padding, usually).
  std::optional<foundation::Data> decryptData(const foundation::Data& data) const;

  // The tag to encrypt with now: the stored one while its expiry is not past; otherwise (none
  // stored, expired, unreadable or of an unknown tag) the other tag, after rotating to it.
  static std::string getCurrentKeyTag();
  // Stores the key metadata for `tag` with an expiry 365 days from now. Keys are not touched.
  static void rotateToNewKeyTag(const std::string& tag);

  // The 32-byte key of `tag`: from memory, else from the keychain, else newly made and stored.
  // Nothing, with an ERROR, when the keychain fails or holds something that is not a key (it is
  // never replaced), or no random bytes could be had.
  std::optional<foundation::Data> getKeyWithKeyTag(const std::string& tag) const;

  // AES-256-CBC with PKCS#7 padding over `input` under the 32-byte `key` and the 16-byte `iv`
  // (nothing: all zeros). Nothing, with the ERROR "Error performing encryption or decryption.",
  // when the cipher fails.
  static std::optional<foundation::Data> performCryptoOperation(security::CryptOperation operation,
                                                                const foundation::Data& input,
                                                                const std::optional<foundation::Data>& iv,
                                                                const foundation::Data& key);
  // 32 new random bytes, stored in the keychain under `tag` unless a key is already there, in
  // which case that key is answered. A key that could not be stored is answered all the same
  // (with an ERROR): data encrypted with it will not be readable after a restart. Nothing, with an
  // ERROR, when the random source failed.
  static std::optional<foundation::Data> generateAndSaveKeyWithTag(const std::string& tag);
  // 16 random bytes; nothing, with an ERROR, when the random source failed.
  static std::optional<foundation::Data> generateInitializationVector();
  // The header bytes of data encrypted under `tag`: "<tag>/AES/CBC/PKCS7/32".
  static foundation::Data getMetadataStringWithKeyTag(const std::string& tag);

  // Replaces the clock of the key rotation; an empty one is the real clock. For tests.
  static void setClock(Clock clock);
  // Forgets every key held in memory, as a new process would start. For tests.
  static void forgetKeysInMemory();
};
