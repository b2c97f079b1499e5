#pragma once
// UUID stands in for the platform's UUID objects: 16 bytes, made at random (version 4) or from
// bytes or text, and written as 36 upper-case characters in 8-4-4-4-12 hexadecimal groups.
// UUIDs are plain values, safe to copy and to read from any thread.
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class UUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  // A new random (version 4, RFC 4122 variant) UUID from the kernel's random source.
  UUID();
  explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

  // Parses 36 characters in 8-4-4-4-12 hexadecimal groups, in either case. Anything else (braces,
  // missing or misplaced hyphens, other lengths, non-hexadecimal digits) gives nullopt.
  static std::optional<UUID> fromString(std::string_view text);

  // The upper-case 36-character text, e.g. "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
  std::string UUIDString() const;
  const Bytes& bytes() const { return bytes_; }

  bool operator==(const UUID&) const = default;
  auto operator<=>(const UUID&) const = default;

 private:
  Bytes bytes_{};
};

}  // namespace foundation
