// The crash-time field encoder against the message runtime: every field type, packed alone, must
// give the runtime's own bytes and decode back to the value.
#include "crash/engine/CrashWriterPack.h"

#include <gtest/gtest.h>
#include <protobuf-c/protobuf-c.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tests/crash/engine/ReportEncoder.h"
#include "tests/support/TempDir.h"
#include "tests/crash/engine/fieldtypes.pb-c.h"

namespace {

// The encoder's type codes are the runtime's.
#define SAME_TYPE(t) static_assert(static_cast<int>(CRASH_WRITER_TYPE_##t) == static_cast<int>(PROTOBUF_C_TYPE_##t))
SAME_TYPE(INT32); SAME_TYPE(SINT32); SAME_TYPE(SFIXED32); SAME_TYPE(INT64); SAME_TYPE(SINT64); SAME_TYPE(SFIXED64);
SAME_TYPE(UINT32); SAME_TYPE(FIXED32); SAME_TYPE(UINT64); SAME_TYPE(FIXED64); SAME_TYPE(FLOAT); SAME_TYPE(DOUBLE);
SAME_TYPE(BOOL); SAME_TYPE(ENUM); SAME_TYPE(STRING); SAME_TYPE(BYTES); SAME_TYPE(MESSAGE);
#undef SAME_TYPE

using Bytes = std::vector<std::uint8_t>;

struct FieldsDeleter {
  void operator()(Packtest__Fields* m) const { packtest__fields__free_unpacked(m, nullptr); }
};
using Unpacked = std::unique_ptr<Packtest__Fields, FieldsDeleter>;

Bytes runtimePack(const Packtest__Fields& message) {
  Bytes out(packtest__fields__get_packed_size(&message));
  packtest__fields__pack(&message, out.data());
  return out;
}

Unpacked runtimeUnpack(const Bytes& bytes) {
  return Unpacked(packtest__fields__unpack(nullptr, bytes.size(), bytes.data()));
}

// Packs one field with an output and checks that the dry run counts the same bytes.
Bytes pack(std::uint32_t field, crash_writer_type type, const void* value) {
  Bytes out;
  const crash_writer_output output = test::vectorOutput(out);
  const std::size_t written = crash_writer_pack_to(&output, field, type, value);
  EXPECT_EQ(written, out.size());
  EXPECT_EQ(crash_writer_pack(nullptr, field, type, value), written);
  return out;
}

// One scalar row: the value packed by the encoder and the same value set on the runtime's message.
struct ScalarCase {
  const char* name;
  crash_writer_type type;
  std::uint64_t bits;  // the value's bytes, little-endian, as wide as the type
  void (*set)(Packtest__Fields&, std::uint64_t bits);
  bool (*matches)(const Packtest__Fields&, std::uint64_t bits);
};

template <typename T>
std::uint64_t bitsOf(T value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof value);
  return bits;
}

template <typename T>
T fromBits(std::uint64_t bits) {
  T value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

#define SCALAR(label, TYPE, ctype, member, value)                                             \
  ScalarCase {                                                                                \
    label, TYPE, bitsOf<ctype>(value),                                                        \
        [](Packtest__Fields& m, std::uint64_t b) {                                            \
          m.has_##member = 1;                                                                 \
          m.member = static_cast<decltype(m.member)>(fromBits<ctype>(b));                     \
        },                                                                                    \
        [](const Packtest__Fields& m, std::uint64_t b) {                                      \
          return m.has_##member && std::memcmp(&m.member, &b, sizeof(ctype)) == 0;            \
        }                                                                                     \
  }

const ScalarCase kScalars[] = {
    SCALAR("int32 0", CRASH_WRITER_TYPE_INT32, std::int32_t, int32_field, 0),
    SCALAR("int32 300", CRASH_WRITER_TYPE_INT32, std::int32_t, int32_field, 300),
    SCALAR("int32 -1 (ten bytes)", CRASH_WRITER_TYPE_INT32, std::int32_t, int32_field, -1),
    SCALAR("int32 min", CRASH_WRITER_TYPE_INT32, std::int32_t, int32_field, INT32_MIN),
    SCALAR("sint32 -1", CRASH_WRITER_TYPE_SINT32, std::int32_t, sint32_field, -1),
    SCALAR("sint32 min", CRASH_WRITER_TYPE_SINT32, std::int32_t, sint32_field, INT32_MIN),
    SCALAR("sint32 max", CRASH_WRITER_TYPE_SINT32, std::int32_t, sint32_field, INT32_MAX),
    SCALAR("sfixed32 -5", CRASH_WRITER_TYPE_SFIXED32, std::int32_t, sfixed32_field, -5),
    SCALAR("int64 -1", CRASH_WRITER_TYPE_INT64, std::int64_t, int64_field, -1),
    SCALAR("int64 max", CRASH_WRITER_TYPE_INT64, std::int64_t, int64_field, INT64_MAX),
    SCALAR("sint64 min", CRASH_WRITER_TYPE_SINT64, std::int64_t, sint64_field, INT64_MIN),
    SCALAR("sint64 -2", CRASH_WRITER_TYPE_SINT64, std::int64_t, sint64_field, -2),
    SCALAR("sfixed64 min", CRASH_WRITER_TYPE_SFIXED64, std::int64_t, sfixed64_field, INT64_MIN),
    SCALAR("uint32 127", CRASH_WRITER_TYPE_UINT32, std::uint32_t, uint32_field, 127),
    SCALAR("uint32 128", CRASH_WRITER_TYPE_UINT32, std::uint32_t, uint32_field, 128),
    SCALAR("uint32 max", CRASH_WRITER_TYPE_UINT32, std::uint32_t, uint32_field, UINT32_MAX),
    SCALAR("fixed32", CRASH_WRITER_TYPE_FIXED32, std::uint32_t, fixed32_field, 0xDEADBEEF),
    SCALAR("uint64 max", CRASH_WRITER_TYPE_UINT64, std::uint64_t, uint64_field, UINT64_MAX),
    SCALAR("uint64 2^63", CRASH_WRITER_TYPE_UINT64, std::uint64_t, uint64_field, 1ull << 63),
    SCALAR("fixed64", CRASH_WRITER_TYPE_FIXED64, std::uint64_t, fixed64_field, 0x0123456789ABCDEF),
    SCALAR("float", CRASH_WRITER_TYPE_FLOAT, float, float_field, -1.5f),
    SCALAR("float min", CRASH_WRITER_TYPE_FLOAT, float, float_field, FLT_MIN),
    SCALAR("double", CRASH_WRITER_TYPE_DOUBLE, double, double_field, 3.141592653589793),
    SCALAR("double infinity", CRASH_WRITER_TYPE_DOUBLE, double, double_field, -INFINITY),
    SCALAR("enum 2", CRASH_WRITER_TYPE_ENUM, std::int32_t, enum_field, 2),
};

TEST(CrashWriterPackTest, ScalarsGiveTheRuntimesBytesAndDecodeBack) {
  std::uint32_t field = 0;
  for (const auto& row : kScalars) {
    SCOPED_TRACE(row.name);
    Packtest__Fields expected = PACKTEST__FIELDS__INIT;
    row.set(expected, row.bits);
    // Field numbers follow the type codes in the schema.
    field = static_cast<std::uint32_t>(row.type) + 1;
    const Bytes ours = pack(field, row.type, &row.bits);
    EXPECT_EQ(ours, runtimePack(expected));
    const Unpacked decoded = runtimeUnpack(ours);
    ASSERT_NE(decoded, nullptr);
    EXPECT_TRUE(row.matches(*decoded, row.bits));
  }
}

TEST(CrashWriterPackTest, BoolsAreOneByte) {
  for (const bool value : {false, true}) {
    Packtest__Fields expected = PACKTEST__FIELDS__INIT;
    expected.has_bool_field = 1;
    expected.bool_field = value;
    const Bytes ours = pack(13, CRASH_WRITER_TYPE_BOOL, &value);
    EXPECT_EQ(ours, (Bytes{13 << 3, static_cast<std::uint8_t>(value)}));
    EXPECT_EQ(ours, runtimePack(expected));
  }
}

TEST(CrashWriterPackTest, NegativeEnumIsAFiveByteVarintThatDecodesToTheSameValue) {
  const std::int32_t value = PACKTEST__FIELDS__KIND__NEGATIVE;
  const Bytes ours = pack(14, CRASH_WRITER_TYPE_ENUM, &value);
  EXPECT_EQ(ours.size(), 1u + 5u);
  const Unpacked decoded = runtimeUnpack(ours);
  ASSERT_NE(decoded, nullptr);
  EXPECT_TRUE(decoded->has_enum_field);
  EXPECT_EQ(decoded->enum_field, PACKTEST__FIELDS__KIND__NEGATIVE);
}

TEST(CrashWriterPackTest, StringsAndBytesGiveTheRuntimesBytes) {
  const std::string longText(300, 'x');  // a two-byte length
  for (const std::string& text : {std::string(), std::string("h\xC3\xA9llo"), longText}) {
    Packtest__Fields expected = PACKTEST__FIELDS__INIT;
    expected.string_field = const_cast<char*>(text.c_str());
    const Bytes ours = pack(15, CRASH_WRITER_TYPE_STRING, text.c_str());
    EXPECT_EQ(ours, runtimePack(expected));
    const Unpacked decoded = runtimeUnpack(ours);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(std::string(decoded->string_field), text);
  }

  const Bytes uuid{0x00, 0xAB, 0x00, 0x01, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 0xFF};
  for (const Bytes& data : {Bytes{}, uuid}) {
    Packtest__Fields expected = PACKTEST__FIELDS__INIT;
    expected.has_bytes_field = 1;
    expected.bytes_field = {data.size(), const_cast<std::uint8_t*>(data.data())};
    const crash_writer_bytes value{data.size(), data.data()};
    const Bytes ours = pack(16, CRASH_WRITER_TYPE_BYTES, &value);
    EXPECT_EQ(ours, runtimePack(expected));
    const Unpacked decoded = runtimeUnpack(ours);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(Bytes(decoded->bytes_field.data, decoded->bytes_field.data + decoded->bytes_field.len), data);
  }
}

TEST(CrashWriterPackTest, NullStringIsWrittenEmpty) {
  const Bytes ours = pack(15, CRASH_WRITER_TYPE_STRING, nullptr);
  EXPECT_EQ(ours, (Bytes{15 << 3 | 2, 0}));
}

TEST(CrashWriterPackTest, NestedMessageIsKeyAndLengthThenTheCallersContents) {
  Packtest__Nested nested = PACKTEST__NESTED__INIT;
  nested.has_value = 1;
  nested.value = 1000;
  Packtest__Fields expected = PACKTEST__FIELDS__INIT;
  expected.message_field = &nested;

  const std::uint32_t value = 1000;
  const auto length = static_cast<std::uint32_t>(crash_writer_pack(nullptr, 1, CRASH_WRITER_TYPE_UINT32, &value));
  Bytes ours = pack(17, CRASH_WRITER_TYPE_MESSAGE, &length);
  EXPECT_EQ(ours.size(), 2u + 1u);  // key and length only: the contents are the caller's to write
  const Bytes contents = pack(1, CRASH_WRITER_TYPE_UINT32, &value);
  ours.insert(ours.end(), contents.begin(), contents.end());
  EXPECT_EQ(ours, runtimePack(expected));
}

TEST(CrashWriterPackTest, RepeatedFieldsAreSeparateKeysInOrder) {
  Bytes ours;
  for (const std::uint64_t code : std::vector<std::uint64_t>{5, 0, UINT64_MAX}) {
    const Bytes one = pack(18, CRASH_WRITER_TYPE_UINT64, &code);
    ours.insert(ours.end(), one.begin(), one.end());
  }
  const Unpacked decoded = runtimeUnpack(ours);
  ASSERT_NE(decoded, nullptr);
  ASSERT_EQ(decoded->n_repeated_field, 3u);
  EXPECT_EQ(decoded->repeated_field[0], 5u);
  EXPECT_EQ(decoded->repeated_field[1], 0u);
  EXPECT_EQ(decoded->repeated_field[2], UINT64_MAX);
}

TEST(CrashWriterPackTest, HighestFieldNumberTakesAFiveByteKey) {
  const std::uint32_t value = 7;
  Packtest__Fields expected = PACKTEST__FIELDS__INIT;
  expected.has_high_field = 1;
  expected.high_field = value;
  const Bytes ours = pack(536870911, CRASH_WRITER_TYPE_UINT32, &value);
  EXPECT_EQ(ours.size(), 5u + 1u);
  EXPECT_EQ(ours, runtimePack(expected));
}

// Packs a uint64, a string and a message header to a crash-safe file with `limit`, and returns
// what reached the disk.
std::string packToFile(std::uint64_t limit, std::size_t* counted) {
  test::TempDir dir;
  const std::string path = dir.file("report");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  crash_async_file file;
  crash_async_file_init(&file, fd, limit);
  const std::uint64_t pc = 0x7fff20300a10;
  const std::uint32_t length = 9;
  *counted = crash_writer_pack(&file, 3, CRASH_WRITER_TYPE_UINT64, &pc) +
             crash_writer_pack(&file, 1, CRASH_WRITER_TYPE_STRING, "SIGSEGV") +
             crash_writer_pack(&file, 6, CRASH_WRITER_TYPE_MESSAGE, &length);
  EXPECT_TRUE(crash_async_file_close(&file));
  return test::readFile(path);
}

TEST(CrashWriterPackTest, WritesThroughTheCrashSafeFile) {
  const std::uint64_t pc = 0x7fff20300a10;
  const std::uint32_t length = 9;
  Bytes expected = pack(3, CRASH_WRITER_TYPE_UINT64, &pc);
  for (const Bytes& more :
       {pack(1, CRASH_WRITER_TYPE_STRING, "SIGSEGV"), pack(6, CRASH_WRITER_TYPE_MESSAGE, &length)}) {
    expected.insert(expected.end(), more.begin(), more.end());
  }

  std::size_t counted = 0;
  EXPECT_EQ(packToFile(0, &counted), std::string(expected.begin(), expected.end()));
  EXPECT_EQ(counted, expected.size());

  // A file at its limit refuses what would pass it; the count stays that of the encoding, so the
  // lengths of enclosing messages do not change.
  const std::size_t firstField = pack(3, CRASH_WRITER_TYPE_UINT64, &pc).size();
  EXPECT_EQ(packToFile(firstField, &counted), std::string(expected.begin(), expected.begin() + firstField));
  EXPECT_EQ(counted, expected.size());
}

TEST(CrashWriterPackDeathTest, UnknownTypeAbortsWithADiagnostic) {
  const std::uint32_t value = 0;
  EXPECT_DEATH(crash_writer_pack(nullptr, 1, static_cast<crash_writer_type>(17), &value),
               "\\[CrashReport\\] crash_writer_pack_to:[0-9]+: Unhandled field type 17");
}

}  // namespace
