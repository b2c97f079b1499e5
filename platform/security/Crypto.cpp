#include "platform/security/Crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <climits>
#include <memory>
#include <random>

namespace security {

OSStatus randomBytes(void* bytes, std::size_t count) {
  if (count == 0) return errSecSuccess;
  if (!bytes || count > static_cast<std::size_t>(INT_MAX)) return errSecParam;
  if (RAND_bytes(static_cast<unsigned char*>(bytes), static_cast<int>(count)) != 1) {
    ERR_clear_error();
    return errSecAllocate;
  }
  return errSecSuccess;
}

std::optional<foundation::Data> randomBytes(std::size_t count) {
  foundation::Data bytes(count);
  if (randomBytes(bytes.data(), count) != errSecSuccess) return std::nullopt;
  return bytes;
}

std::uint32_t randomUInt32() {
  std::uint32_t value = 0;
  if (randomBytes(&value, sizeof value) == errSecSuccess) return value;
  static thread_local std::mt19937 fallback{std::random_device{}()};
  return fallback();
}

foundation::Data sha256(const void* bytes, std::size_t length) {
  foundation::Data digest(SHA256_DIGEST_LENGTH);
  SHA256(static_cast<const unsigned char*>(bytes), length, digest.data());
  return digest;
}

foundation::Data sha256(const foundation::Data& bytes) { return sha256(bytes.data(), bytes.size()); }

foundation::Data sha256(std::string_view bytes) { return sha256(bytes.data(), bytes.size()); }

std::string sha256Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : sha256(bytes)) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

foundation::Data hmacSha256(const foundation::Data& key, std::string_view bytes) {
  foundation::Data digest(SHA256_DIGEST_LENGTH);
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(bytes.data()),
       bytes.size(), digest.data(), &length);
  digest.resize(length);
  return digest;
}

namespace {

struct CipherFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

std::optional<foundation::Data> failWith(CryptStatus code, CryptStatus* status) {
  ERR_clear_error();
  if (status) *status = code;
  return std::nullopt;
}

}  // namespace

std::optional<foundation::Data> aes256CBC(CryptOperation operation, const foundation::Data& key,
                                          const std::optional<foundation::Data>& iv, const foundation::Data& input,
                                          CryptStatus* status) {
  if (key.size() != kAES256KeySize || (iv && iv->size() != kAESBlockSize)) return failWith(kCCParamError, status);
  if (input.size() > static_cast<std::size_t>(INT_MAX) - 2 * kAESBlockSize) return failWith(kCCParamError, status);
  const bool encrypt = operation == CryptOperation::Encrypt;
  if (!encrypt && input.size() % kAESBlockSize != 0) return failWith(kCCAlignmentError, status);

  const foundation::Data zeros(kAESBlockSize, 0);
  const foundation::Data& vector = iv ? *iv : zeros;
  std::unique_ptr<EVP_CIPHER_CTX, CipherFree> context(EVP_CIPHER_CTX_new());
  if (!context || EVP_CipherInit_ex(context.get(), EVP_aes_256_cbc(), nullptr, key.data(), vector.data(),
                                    encrypt ? 1 : 0) != 1) {
    return failWith(kCCMemoryFailure, status);
  }
  foundation::Data output(input.size() + kAESBlockSize);
  int written = 0;
  if (EVP_CipherUpdate(context.get(), output.data(), &written, input.data(), static_cast<int>(input.size())) != 1) {
    return failWith(kCCMemoryFailure, status);
  }
  int last = 0;
  if (EVP_CipherFinal_ex(context.get(), output.data() + written, &last) != 1) {
    // Only decryption can fail here, and only on bad padding.
    return failWith(encrypt ? kCCMemoryFailure : kCCDecodeError, status);
  }
  output.resize(static_cast<std::size_t>(written + last));
  if (status) *status = kCCSuccess;
  return output;
}

}  // namespace security
