#include "crash/engine/CrashWriterPack.h"

#include <cstdlib>
#include <cstring>

#include "crash/engine/CrashAsync.h"

namespace {

enum WireType : std::uint8_t { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kFixed32 = 5 };

constexpr std::size_t kMaxVarintBytes = 10;

// Writes `value` as a varint into `out` (at least kMaxVarintBytes long); returns its length.
std::size_t encodeVarint(std::uint64_t value, std::uint8_t* out) {
  std::size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<std::uint8_t>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<std::uint8_t>(value);
  return n;
}

std::size_t encodeLittleEndian(std::uint64_t value, std::size_t width, std::uint8_t* out) {
  for (std::size_t i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
  return width;
}

void emit(const crash_writer_output* output, const void* data, std::size_t length) {
  if (output != nullptr && length > 0) output->write(output->context, data, length);
}

template <typename T>
T read(const void* value) {
  T v;
  std::memcpy(&v, value, sizeof v);
  return v;
}

}  // namespace

std::size_t crash_writer_pack_to(const crash_writer_output* output, std::uint32_t field_id,
                                 crash_writer_type type, const void* value) {
  // The value's own bytes (scalars and length prefixes); the payload of strings and bytes is
  // written from where it lies.
  std::uint8_t scalar[kMaxVarintBytes];
  std::size_t scalarLength = 0;
  const void* payload = nullptr;
  std::size_t payloadLength = 0;
  WireType wire = kVarint;

  switch (type) {
    case CRASH_WRITER_TYPE_INT32:
    case CRASH_WRITER_TYPE_INT64: {
      // A negative int32 is sign-extended to the ten-byte form, as every decoder expects.
      const std::int64_t v = type == CRASH_WRITER_TYPE_INT32 ? read<std::int32_t>(value)
                                                              : read<std::int64_t>(value);
      scalarLength = encodeVarint(static_cast<std::uint64_t>(v), scalar);
      break;
    }
    case CRASH_WRITER_TYPE_SINT32: {
      const auto v = static_cast<std::uint32_t>(read<std::int32_t>(value));
      scalarLength = encodeVarint((v << 1) ^ (0u - (v >> 31)), scalar);
      break;
    }
    case CRASH_WRITER_TYPE_SINT64: {
      const auto v = static_cast<std::uint64_t>(read<std::int64_t>(value));
      scalarLength = encodeVarint((v << 1) ^ (0ull - (v >> 63)), scalar);
      break;
    }
    case CRASH_WRITER_TYPE_UINT32:
    case CRASH_WRITER_TYPE_ENUM:
      scalarLength = encodeVarint(read<std::uint32_t>(value), scalar);
      break;
    case CRASH_WRITER_TYPE_UINT64:
      scalarLength = encodeVarint(read<std::uint64_t>(value), scalar);
      break;
    case CRASH_WRITER_TYPE_BOOL:
      scalar[0] = read<std::uint8_t>(value) != 0 ? 1 : 0;
      scalarLength = 1;
      break;
    case CRASH_WRITER_TYPE_FIXED32:
    case CRASH_WRITER_TYPE_SFIXED32:
    case CRASH_WRITER_TYPE_FLOAT:
      wire = kFixed32;
      scalarLength = encodeLittleEndian(read<std::uint32_t>(value), 4, scalar);
      break;
    case CRASH_WRITER_TYPE_FIXED64:
    case CRASH_WRITER_TYPE_SFIXED64:
    case CRASH_WRITER_TYPE_DOUBLE:
      wire = kFixed64;
      scalarLength = encodeLittleEndian(read<std::uint64_t>(value), 8, scalar);
      break;
    case CRASH_WRITER_TYPE_STRING:
      // A string the process could not learn (null) is written empty, so that a required field
      // stays present and the report stays readable.
      wire = kLengthDelimited;
      payload = value;
      payloadLength = value != nullptr ? std::strlen(static_cast<const char*>(value)) : 0;
      scalarLength = encodeVarint(payloadLength, scalar);
      break;
    case CRASH_WRITER_TYPE_BYTES: {
      wire = kLengthDelimited;
      const auto* bytes = static_cast<const crash_writer_bytes*>(value);
      payload = bytes->data;
      payloadLength = bytes->data != nullptr ? bytes->length : 0;
      scalarLength = encodeVarint(payloadLength, scalar);
      break;
    }
    case CRASH_WRITER_TYPE_MESSAGE:
      wire = kLengthDelimited;
      scalarLength = encodeVarint(read<std::uint32_t>(value), scalar);
      break;
    default:
      CRASH_ASYNC_FATAL("Unhandled field type %u", static_cast<unsigned>(type));
  }

  std::uint8_t key[kMaxVarintBytes];
  const std::size_t keyLength = encodeVarint((static_cast<std::uint64_t>(field_id) << 3) | wire, key);
  emit(output, key, keyLength);
  emit(output, scalar, scalarLength);
  emit(output, payload, payloadLength);
  return keyLength + scalarLength + payloadLength;
}

std::size_t crash_writer_pack(crash_async_file* file, std::uint32_t field_id, crash_writer_type type,
                              const void* value) {
  if (file == nullptr) return crash_writer_pack_to(nullptr, field_id, type, value);
  const crash_writer_output output{file, [](void* context, const void* data, std::size_t length) {
                                     return crash_async_file_write(static_cast<crash_async_file*>(context), data,
                                                                   length);
                                   }};
  return crash_writer_pack_to(&output, field_id, type, value);
}
