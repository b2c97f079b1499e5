#pragma once
// TLCompression gzips request bodies of the telemetry core in one deflate pass (zlib's gzip
// wrapper). Stateless and thread-safe.
#include <optional>

#include "platform/foundation/Value.h"

namespace TLCompression {

// `data` as gzip bytes (they begin 1F 8B). Nothing for empty input and, with an ERROR line, when
// zlib fails; callers then send the body uncompressed.
std::optional<foundation::Data> compressData(const foundation::Data& data);

}  // namespace TLCompression
