#pragma once
// reserveData makes room in a data buffer for bytes about to arrive, such as a response body of
// announced length, so that the buffer is allocated once rather than grown and copied.
#include <cstddef>

#include "platform/foundation/Value.h"

namespace foundation {

// Makes `data`'s capacity at least `capacity`. A large buffer is backed by huge pages where the
// kernel has them, which cuts the page faults of filling it some 500-fold; filling a body of
// hundreds of megabytes otherwise costs more than receiving it.
void reserveData(Data& data, std::size_t capacity);

}  // namespace foundation
