#include "platform/foundation/detail/Base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace foundation::detail {

namespace {

// The coder takes int counts; larger inputs go through in slices of whole groups.
constexpr std::size_t kEncodeSlice = std::size_t{3} << 26;
constexpr std::size_t kDecodeSlice = std::size_t{4} << 26;

bool inAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

std::string base64Encode(const Data& bytes) {
  std::string text;
  text.reserve(4 * ((bytes.size() + 2) / 3));
  for (std::size_t at = 0; at < bytes.size(); at += kEncodeSlice) {
    const std::size_t count = std::min(kEncodeSlice, bytes.size() - at);
    const std::size_t start = text.size();
    text.resize(start + 4 * ((count + 2) / 3));
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data() + start), bytes.data() + at,
                                       static_cast<int>(count));
    text.resize(start + static_cast<std::size_t>(length));
  }
  return text;
}

std::optional<Data> base64Decode(std::string_view text) {
  std::string kept;
  kept.reserve(text.size());
  for (char c : text) {
    if (!isSpace(c)) kept.push_back(c);
  }
  if (kept.size() % 4 != 0) return std::nullopt;
  std::size_t padding = 0;
  while (padding < 2 && padding < kept.size() && kept[kept.size() - 1 - padding] == '=') ++padding;
  if (!std::all_of(kept.begin(), kept.end() - static_cast<std::ptrdiff_t>(padding), inAlphabet)) return std::nullopt;
  Data bytes(kept.size() / 4 * 3);
  std::size_t written = 0;
  for (std::size_t at = 0; at < kept.size(); at += kDecodeSlice) {
    const std::size_t count = std::min(kDecodeSlice, kept.size() - at);
    const int length = EVP_DecodeBlock(bytes.data() + written, reinterpret_cast<const unsigned char*>(kept.data() + at),
                                       static_cast<int>(count));
    if (length < 0) return std::nullopt;
    written += static_cast<std::size_t>(length);
  }
  // The coder counts the padding as zero bytes.
  bytes.resize(written - padding);
  return bytes;
}

}  // namespace foundation::detail
