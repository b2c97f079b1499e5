#pragma once
// Reachability flags: the bit set a reachability target reports, with the platform's bit values so
// that code reading them keeps its numbers.
#include <cstdint>

namespace reachability {

using Flags = std::uint32_t;

inline constexpr Flags kTransientConnection = 1u << 0;
inline constexpr Flags kReachable = 1u << 1;
inline constexpr Flags kConnectionRequired = 1u << 2;
inline constexpr Flags kConnectionOnTraffic = 1u << 3;
inline constexpr Flags kInterventionRequired = 1u << 4;
inline constexpr Flags kConnectionOnDemand = 1u << 5;
inline constexpr Flags kIsLocalAddress = 1u << 16;
inline constexpr Flags kIsDirect = 1u << 17;
inline constexpr Flags kIsWWAN = 1u << 18;

}  // namespace reachability
