#include "platform/coredata/StoreIdentifier.h"

#include <array>
#include <cstdint>
#include <random>

namespace coredata {

std::string newStoreIdentifier() {
  std::random_device device;
  std::array<std::uint8_t, 16> bytes{};
  for (auto& b : bytes) b = static_cast<std::uint8_t>(device() & 0xff);
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);
  static const char* hex = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    text += hex[bytes[i] >> 4];
    text += hex[bytes[i] & 0x0f];
  }
  return text;
}

}  // namespace coredata
