#include "platform/security/Base64.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

namespace security {

namespace {

bool inAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// Whole groups of four, alphabet characters only, and one or two "=" only at the very end.
bool wellFormed(std::string_view text) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    if (!inAlphabet(text[i])) return false;
  }
  return true;
}

}  // namespace

std::string base64EncodedString(std::string_view bytes) {
  std::string text;
  // The encoder takes an int count; large inputs go through in slices of whole groups.
  constexpr std::size_t kSlice = std::size_t{3} << 28;
  for (std::size_t at = 0; at < bytes.size(); at += kSlice) {
    const std::size_t count = std::min(kSlice, bytes.size() - at);
    std::string part(4 * ((count + 2) / 3), '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(part.data()),
                                       reinterpret_cast<const unsigned char*>(bytes.data() + at), static_cast<int>(count));
    part.resize(static_cast<std::size_t>(length));
    text += part;
  }
  return text;
}

std::string base64EncodedString(const foundation::Data& bytes) {
  return base64EncodedString(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<foundation::Data> dataFromBase64(std::string_view text, Base64DecodingOptions options) {
  std::string kept;
  if (options == Base64DecodingOptions::IgnoreUnknownCharacters) {
    kept.reserve(text.size());
    for (char c : text) {
      if (inAlphabet(c) || c == '=') kept.push_back(c);
    }
    text = kept;
  }
  if (!wellFormed(text) || text.size() > static_cast<std::size_t>(INT_MAX)) return std::nullopt;
  if (text.empty()) return foundation::Data();
  foundation::Data bytes(text.size() / 4 * 3);
  const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  if (length < 0) return std::nullopt;
  // The decoder counts padding as zero bytes.
  const std::size_t padding = (text.back() == '=') + (text[text.size() - 2] == '=');
  bytes.resize(static_cast<std::size_t>(length) - padding);
  return bytes;
}

}  // namespace security
