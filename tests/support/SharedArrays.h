#pragma once
// A hostile binary property list for the readers' tests: `levels` arrays, each holding the one
// before it twice, over the integer 7. It takes about 4 bytes per level and expands to 2^levels
// integers. Levels up to 250.
#include <cstdint>

#include "platform/foundation/Value.h"

namespace test {

inline foundation::Data sharedArraysPropertyList(int levels) {
  foundation::Data out{'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  foundation::Data offsets{static_cast<std::uint8_t>(out.size())};
  out.insert(out.end(), {0x10, 0x07});
  for (int level = 1; level <= levels; ++level) {
    offsets.push_back(static_cast<std::uint8_t>(out.size()));
    out.insert(out.end(), {0xA2, static_cast<std::uint8_t>(level - 1), static_cast<std::uint8_t>(level - 1)});
  }
  const auto table = static_cast<std::uint8_t>(out.size());
  out.insert(out.end(), offsets.begin(), offsets.end());
  foundation::Data trailer(32, 0);
  trailer[6] = 1;   // offset size
  trailer[7] = 1;   // reference size
  trailer[15] = static_cast<std::uint8_t>(levels + 1);  // objects
  trailer[23] = static_cast<std::uint8_t>(levels);      // the top one
  trailer[31] = table;
  out.insert(out.end(), trailer.begin(), trailer.end());
  return out;
}

}  // namespace test
