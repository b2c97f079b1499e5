#include "platform/security/PlatformUUID.h"

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/security/Crypto.h"

namespace security {
namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The 16 bytes of the machine id file, or nothing.
std::optional<foundation::Data> machineIdBytes() {
  std::ifstream file(foundation::SystemPaths::machineIdPath());
  std::string text;
  if (!file || !(file >> text) || text.size() != 32) return std::nullopt;
  foundation::Data bytes;
  for (std::size_t i = 0; i < text.size(); i += 2) {
    const int high = hexDigit(text[i]);
    const int low = hexDigit(text[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    bytes.push_back(static_cast<std::uint8_t>(high << 4 | low));
  }
  return bytes;
}

}  // namespace

std::optional<foundation::UUID> platformUUID(std::string_view applicationId) {
  const auto machineId = machineIdBytes();
  if (!machineId) return std::nullopt;
  const foundation::Data digest = hmacSha256(*machineId, applicationId);
  foundation::UUID::Bytes bytes{};
  std::copy_n(digest.begin(), bytes.size(), bytes.begin());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0f) | 0x40);  // version 4
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3f) | 0x80);  // RFC 4122 variant
  return foundation::UUID(bytes);
}

}  // namespace security
