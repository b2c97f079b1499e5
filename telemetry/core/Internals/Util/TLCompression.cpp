#include "telemetry/core/Internals/Util/TLCompression.h"

#include <zlib.h>

#include <limits>

#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace TLCompression {

namespace {

// A 15-bit window with the gzip header and trailer.
constexpr int kGzipWindowBits = 31;
constexpr int kMemoryLevel = 8;

const char* initErrorText(int code) {
  switch (code) {
    case Z_VERSION_ERROR: return "Version of zlib.h & libz library do not match!";
    case Z_MEM_ERROR: return "Not enough memory.";
    case Z_STREAM_ERROR: return "Invalid parameter passed in to function.";
    default: return "Unknown error!";
  }
}

const char* deflateErrorText(int code) {
  switch (code) {
    case Z_STREAM_ERROR: return "Inconsistent stream state.";
    case Z_BUF_ERROR: return "No progress is possible.";
    default: return "Unknown error!";
  }
}

}  // namespace

std::optional<foundation::Data> compressData(const foundation::Data& data) {
  if (data.empty()) return std::nullopt;
  if (data.size() > std::numeric_limits<uInt>::max() / 2) {
    TLLogError(kTLLogTag, "Compression failed with error: %@", "Invalid parameter passed in to function.");
    return std::nullopt;
  }
  z_stream stream{};
  const int init = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, kGzipWindowBits, kMemoryLevel,
                                Z_DEFAULT_STRATEGY);
  if (init != Z_OK) {
    TLLogError(kTLLogTag, "Compression failed with error: %@", initErrorText(init));
    return std::nullopt;
  }
  // deflateBound covers incompressible input with the gzip wrapper, so one pass always fits.
  foundation::Data output(deflateBound(&stream, static_cast<uLong>(data.size())));
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  int result = Z_OK;
  while (result == Z_OK) {
    stream.next_out = output.data() + stream.total_out;
    stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
    result = deflate(&stream, Z_FINISH);
  }
  if (result != Z_STREAM_END) {
    TLLogError(kTLLogTag, "Deflate failed with error: %@", deflateErrorText(result));
    deflateEnd(&stream);
    return std::nullopt;
  }
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

}  // namespace TLCompression
