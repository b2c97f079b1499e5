#include "platform/foundation/UUID.h"

#include <sys/random.h>

#include <cerrno>
#include <random>

namespace foundation {

namespace {

// Fills `out` from getrandom(2); should the kernel refuse (very old kernels, seccomp), falls back
// to std::random_device so that a UUID is always made.
void fillRandom(UUID::Bytes& out) {
  std::size_t filled = 0;
  while (filled < out.size()) {
    const ssize_t n = getrandom(out.data() + filled, out.size() - filled, 0);
    if (n > 0) {
      filled += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    std::random_device device;
    for (; filled < out.size(); ++filled) out[filled] = static_cast<std::uint8_t>(device());
  }
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

}  // namespace

UUID::UUID() {
  fillRandom(bytes_);
  bytes_[6] = static_cast<std::uint8_t>((bytes_[6] & 0x0F) | 0x40);  // version 4
  bytes_[8] = static_cast<std::uint8_t>((bytes_[8] & 0x3F) | 0x80);  // RFC 4122 variant
}

std::optional<UUID> UUID::fromString(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  Bytes bytes{};
  std::size_t nibble = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (isHyphenPosition(i)) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const int v = hexValue(text[i]);
    if (v < 0) return std::nullopt;
    bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
    ++nibble;
  }
  return UUID(bytes);
}

std::string UUID::UUIDString() const {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(36);
  for (std::size_t i = 0; i < bytes_.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    out.push_back(kDigits[bytes_[i] >> 4]);
    out.push_back(kDigits[bytes_[i] & 0x0F]);
  }
  return out;
}

}  // namespace foundation
