#pragma once
// The small cryptographic services the telemetry layer needs: secure random bytes (SecRandomCopyBytes),
// SHA-256 (CC_SHA256), HMAC-SHA256 (CCHmac) and AES-256 in CBC mode with PKCS#7 padding (CCCrypt). Every function is
// stateless and safe to call from any thread.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/foundation/Value.h"
#include "platform/security/Status.h"

namespace security {

// Fills `bytes` with `count` bytes from the system's secure random source. Answers errSecSuccess, or
// errSecAllocate when the source failed (then `bytes` must not be used).
OSStatus randomBytes(void* bytes, std::size_t count);
// `count` secure random bytes, or nothing when the source failed.
std::optional<foundation::Data> randomBytes(std::size_t count);
// A random 32-bit value (arc4random): from the secure source, else from a per-thread generator
// seeded by the system, so that tags made from it (multipart boundaries) still vary.
std::uint32_t randomUInt32();

// The 32-byte SHA-256 digest of the bytes.
foundation::Data sha256(const void* bytes, std::size_t length);
foundation::Data sha256(const foundation::Data& bytes);
foundation::Data sha256(std::string_view bytes);
// The digest as 64 lower-case hexadecimal characters.
std::string sha256Hex(std::string_view bytes);
// The 32-byte HMAC-SHA256 of `bytes` under `key` (CCHmac with kCCHmacAlgSHA256).
foundation::Data hmacSha256(const foundation::Data& key, std::string_view bytes);

// Status codes of the cipher, with the platform's values.
using CryptStatus = std::int32_t;
inline constexpr CryptStatus kCCSuccess = 0;
inline constexpr CryptStatus kCCParamError = -4300;
inline constexpr CryptStatus kCCBufferTooSmall = -4301;
inline constexpr CryptStatus kCCMemoryFailure = -4302;
inline constexpr CryptStatus kCCAlignmentError = -4303;
inline constexpr CryptStatus kCCDecodeError = -4304;

enum class CryptOperation { Encrypt, Decrypt };

inline constexpr std::size_t kAES256KeySize = 32;
inline constexpr std::size_t kAESBlockSize = 16;

// AES-256-CBC with PKCS#7 padding over `input`, under a 32-byte `key` and a 16-byte `iv` (nothing
// means all zeros). Answers the output, or nothing with `status` (when given) set to kCCParamError
// for a wrong key or IV size, kCCAlignmentError when decrypting input that is not a whole number of
// blocks, kCCDecodeError when the padding is wrong after decryption (a wrong key, usually), or
// kCCMemoryFailure when the cipher could not run.
std::optional<foundation::Data> aes256CBC(CryptOperation operation, const foundation::Data& key,
                                          const std::optional<foundation::Data>& iv,
                                          const foundation::Data& input, CryptStatus* status = nullptr);

}  // namespace security
