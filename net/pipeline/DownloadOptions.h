#pragma once
// DownloadOptions is the option set that a download destination returns with its URL: whether
// to create the destination's parent folders and whether to remove a file already there. One
// unsigned word of bits, with the usual set operations. A plain value.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <utility>

#include "platform/net/URL.h"
#include "platform/net/URLResponse.h"

namespace pipeline {

struct DownloadOptions {
  using RawValue = std::uintptr_t;
  RawValue rawValue = 0;

  constexpr DownloadOptions() = default;
  constexpr explicit DownloadOptions(RawValue raw) : rawValue(raw) {}
  // The union of `members`; an empty list is the empty set.
  constexpr DownloadOptions(std::initializer_list<DownloadOptions> members) {
    for (auto member : members) rawValue |= member.rawValue;
  }

  static constexpr DownloadOptions createIntermediateDirectories() { return DownloadOptions(RawValue{1}); }
  static constexpr DownloadOptions removePreviousFile() { return DownloadOptions(RawValue{2}); }

  constexpr bool isEmpty() const { return rawValue == 0; }
  // Whether every bit of `member` is present.
  constexpr bool contains(DownloadOptions member) const { return (rawValue & member.rawValue) == member.rawValue; }
  constexpr bool isSuperset(DownloadOptions other) const { return contains(other); }
  constexpr bool isSubset(DownloadOptions other) const { return other.contains(*this); }
  constexpr bool isDisjoint(DownloadOptions other) const { return (rawValue & other.rawValue) == 0; }
  constexpr DownloadOptions unionWith(DownloadOptions other) const { return DownloadOptions(rawValue | other.rawValue); }
  constexpr DownloadOptions intersection(DownloadOptions other) const {
    return DownloadOptions(rawValue & other.rawValue);
  }
  constexpr DownloadOptions symmetricDifference(DownloadOptions other) const {
    return DownloadOptions(rawValue ^ other.rawValue);
  }
  constexpr DownloadOptions subtracting(DownloadOptions other) const {
    return DownloadOptions(rawValue & ~other.rawValue);
  }

  // Adds `member`; answers whether it was newly added, and the member (as the set holds it).
  std::pair<bool, DownloadOptions> insert(DownloadOptions member) {
    const bool added = !contains(member);
    rawValue |= member.rawValue;
    return {added, added ? member : intersection(member)};
  }
  // Clears the bits of `member`; answers the member when all its bits were present.
  std::optional<DownloadOptions> remove(DownloadOptions member) {
    const bool present = contains(member);
    rawValue &= ~member.rawValue;
    return present ? std::optional<DownloadOptions>(member) : std::nullopt;
  }
  // Adds `member`; answers the bits that were present already, or nothing when none were.
  std::optional<DownloadOptions> update(DownloadOptions member) {
    const DownloadOptions common = intersection(member);
    rawValue |= member.rawValue;
    return common.isEmpty() ? std::nullopt : std::optional<DownloadOptions>(common);
  }
  void formUnion(DownloadOptions other) { rawValue |= other.rawValue; }
  void formIntersection(DownloadOptions other) { rawValue &= other.rawValue; }
  void formSymmetricDifference(DownloadOptions other) { rawValue ^= other.rawValue; }
  void subtract(DownloadOptions other) { rawValue &= ~other.rawValue; }

  constexpr bool operator==(const DownloadOptions&) const = default;
};

// Where a finished download goes: given the temporary file and the HTTP response, the file URL to
// move it to and the options of the move.
using DownloadDestination = std::function<std::pair<net::URL, DownloadOptions>(const net::URL& temporaryURL,
                                                                              const net::HTTPURLResponse& response)>;

}  // namespace pipeline
