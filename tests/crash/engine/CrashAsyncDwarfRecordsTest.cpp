#include <gtest/gtest.h>
#include <stdio.h>

#include <cinttypes>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "crash/engine/CrashAsyncDwarfFrameReader.h"
#include "crash/engine/CrashAsyncMachO.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/crash/engine/UnwindSupport.h"

namespace {

using namespace crash::async;
using test::Bytes;
using test::MappedBytes;

const crash_async_byteorder* kLittle = &crash_async_byteorder_direct;

TEST(DwarfLeb128, ReadsAndBoundsNumbers) {
  struct Case {
    Bytes bytes;
    bool is_signed;
    crash_error_t status;
    std::uint64_t value;
    std::uint64_t size;
  } cases[] = {
      {{0xe5, 0x8e, 0x26}, false, 0, 624485, 3},
      {{0x7f}, true, 0, static_cast<std::uint64_t>(-1), 1},
      {{0x80, 0x7f}, true, 0, static_cast<std::uint64_t>(-128), 2},
      {{0x3f}, true, 0, 63, 1},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, false, 0, 1ull << 63, 10},
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}, true, 0, ~0ull, 10},  // bits past 64 dropped
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, false, CRASH_ENOTSUP, 0, 0},
      {{0x80, 0x80}, false, CRASH_EINVAL, 0, 0},  // runs off the object
  };
  test::StderrCapture quiet;
  for (const Case& c : cases) {
    MappedBytes mobj(c.bytes);
    std::uint64_t value = 0;
    std::uint64_t size = 0;
    crash_error_t status = 0;
    if (c.is_signed) {
      std::int64_t signed_value = 0;
      status = crash_async_dwarf_read_sleb128(mobj.get(), mobj.address(), 0, &signed_value, &size);
      value = static_cast<std::uint64_t>(signed_value);
    } else {
      status = crash_async_dwarf_read_uleb128(mobj.get(), mobj.address(), 0, &value, &size);
    }
    ASSERT_EQ(status, c.status) << c.value;
    if (status != CRASH_ESUCCESS) continue;
    EXPECT_EQ(value, c.value);
    EXPECT_EQ(size, c.size);

    // The task form reads the same number straight from memory.
    std::uint64_t task_value = 0;
    std::uint64_t task_size = 0;
    if (c.is_signed) {
      std::int64_t signed_value = 0;
      ASSERT_EQ(crash_async_dwarf_read_task_sleb128(kernel::task_self(), c.bytes.address(), 0, &signed_value, &task_size),
                CRASH_ESUCCESS);
      task_value = static_cast<std::uint64_t>(signed_value);
    } else {
      ASSERT_EQ(crash_async_dwarf_read_task_uleb128(kernel::task_self(), c.bytes.address() - 4, 4, &task_value, &task_size),
                CRASH_ESUCCESS);
    }
    EXPECT_EQ(task_value, c.value);
    EXPECT_EQ(task_size, c.size);
  }
  std::uint64_t value = 0;
  std::uint64_t size = 0;
  EXPECT_EQ(crash_async_dwarf_read_task_uleb128(kernel::task_self(), ~0ull, 2, &value, &size), CRASH_EINVAL);
}

TEST(DwarfWords, ReadsEachWidthThroughTheByteOrder) {
  const Bytes bytes = Bytes().u64(0x0807060504030201);
  MappedBytes mobj(bytes);
  struct Case {
    std::uint8_t width;
    const crash_async_byteorder* order;
    std::uint64_t value;
  } cases[] = {
      {1, kLittle, 0x01}, {2, kLittle, 0x0201}, {4, kLittle, 0x04030201}, {8, kLittle, 0x0807060504030201},
      {2, &crash_async_byteorder_swapped, 0x0102}, {8, &crash_async_byteorder_swapped, 0x0102030405060708},
  };
  for (const Case& c : cases) {
    std::uint64_t value = 0;
    ASSERT_EQ(crash_async_dwarf_read_uintmax64(mobj.get(), c.order, mobj.address(), 0, c.width, &value), CRASH_ESUCCESS);
    EXPECT_EQ(value, c.value) << int(c.width);
  }
  std::uint64_t value = 0;
  test::StderrCapture capture;
  EXPECT_EQ(crash_async_dwarf_read_uintmax64(mobj.get(), kLittle, mobj.address(), 4, 8, &value), CRASH_EINVAL);
  EXPECT_EQ(crash_async_dwarf_read_uintmax64(mobj.get(), kLittle, mobj.address(), 0, 3, &value), CRASH_EINVAL);
  EXPECT_NE(capture.text().find("Unhandled data width 3"), std::string::npos);
}

// Pointers encoded at offset 8 of a 32-byte buffer that holds `value` there.
struct PointerCase {
  const char* name;
  std::uint8_t encoding;
  Bytes value;
  crash_error_t status;
  std::uint64_t expected;  // with L for the value's address: see `relative`
  bool relative;           // expected is added to L
  std::uint64_t size;
  const char* log;
};

TEST(DwarfPointers, EveryFormatAndBaseOfTheSixtyFourBitReader) {
  std::uint64_t target = 0xabcdef0123;
  const Bytes indirect = Bytes().u64(reinterpret_cast<std::uint64_t>(&target));
  const PointerCase cases[] = {
      {"absptr", 0x00, Bytes().u64(0x1122334455667788), 0, 0x1122334455667788, false, 8, ""},
      {"uleb128", 0x01, Bytes{0xe5, 0x8e, 0x26}, 0, 624485, false, 3, ""},
      {"udata2", 0x02, Bytes().u16(0xfff0), 0, 0xfff0, false, 2, ""},
      {"udata4", 0x03, Bytes().u32(0xfffffff0), 0, 0xfffffff0, false, 4, ""},
      {"udata8", 0x04, Bytes().u64(7), 0, 7, false, 8, ""},
      {"sleb128", 0x09, Bytes{0x70}, 0, static_cast<std::uint64_t>(-16), false, 1, ""},
      {"sdata2", 0x0a, Bytes().u16(0xfff0), 0, static_cast<std::uint64_t>(-16), false, 2, ""},
      {"sdata4", 0x0b, Bytes().u32(0xfffffff0), 0, static_cast<std::uint64_t>(-16), false, 4, ""},
      {"sdata8", 0x0c, Bytes().u64(static_cast<std::uint64_t>(-16)), 0, static_cast<std::uint64_t>(-16), false, 8, ""},
      {"pcrel udata4", 0x13, Bytes().u32(0x40), 0, 0x40, true, 4, ""},
      {"pcrel sdata4", 0x1b, Bytes().u32(0xfffffff0), 0, static_cast<std::uint64_t>(-16), true, 4, ""},
      // The slot 16 bytes on holds the pointer itself.
      {"indirect pcrel sdata4", 0x9b, Bytes().u32(16), 0, reinterpret_cast<std::uint64_t>(&target), false, 4, ""},
      {"textrel", 0x23, Bytes().u32(1), CRASH_ENOTSUP, 0, false, 0, "DW_EH_PE_textrel value"},
      {"datarel", 0x33, Bytes().u32(1), CRASH_ENOTSUP, 0, false, 0, "DW_EH_PE_datarel value"},
      {"funcrel", 0x43, Bytes().u32(1), CRASH_ENOTSUP, 0, false, 0, "DW_EH_PE_funcrel value"},
      {"aligned", 0x50, Bytes().u64(1), CRASH_ENOTSUP, 0, false, 0, "without a valid frame section base"},
      {"base 0x60", 0x63, Bytes().u32(1), CRASH_ENOTSUP, 0, false, 0, "Unsupported pointer base encoding of 0x63"},
      {"format 0x5", 0x05, Bytes().u32(1), CRASH_ENOTSUP, 0, false, 0, "Unknown pointer encoding of type 0x5"},
      {"format 0xd", 0x0d, Bytes().u32(1), CRASH_ENOTSUP, 0, false, 0, "Unknown pointer encoding of type 0xd"},
      {"omit", 0xff, Bytes().u32(1), CRASH_ENOTFOUND, 0, false, 0, "Skipping decoding of DW_EH_PE_omit pointer"},
      {"past the end", 0x04, Bytes().u32(1), CRASH_EINVAL, 0, false, 0, "Failed to read udata8 value at"},
  };
  const gnu_ehptr_reader<std::uint64_t> reader(kLittle);
  for (const PointerCase& c : cases) {
    Bytes bytes = Bytes().u64(0).append(c.value);
    if (c.encoding == 0x9b) {  // the slot the pointer points at, 16 bytes on
      bytes.zeros(12).append(indirect);
    }
    if (bytes.size() < 16 && c.status == CRASH_ESUCCESS) bytes.zeros(16 - bytes.size());
    MappedBytes mobj(bytes);
    test::StderrCapture capture;
    std::uint64_t value = 0;
    std::uint64_t size = 0;
    ASSERT_EQ(reader.read(mobj.get(), mobj.address(), 8, static_cast<DW_EH_PE_t>(c.encoding), &value, &size), c.status)
        << c.name;
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.name;
    if (c.status != CRASH_ESUCCESS) continue;
    EXPECT_EQ(value, c.expected + (c.relative ? mobj.address() + 8 : 0)) << c.name;
    EXPECT_EQ(size, c.size) << c.name;
  }
}

TEST(DwarfPointers, BasesAndTheThirtyTwoBitReader) {
  const Bytes bytes = Bytes().u32(0).u32(0x10).u32(0x11111111).u32(0x22222222).u32(0xfffffff0).u32(0);
  MappedBytes mobj(bytes);
  const std::uint64_t start = mobj.address();
  std::uint64_t value64 = 0;
  std::uint64_t size = 0;

  gnu_ehptr_reader<std::uint64_t> based(kLittle);
  based.set_text_base(0x1000);
  based.set_data_base(0x2000);
  based.set_func_base(0x3000);
  // The frame section is taken to start at a vm address of ...4, so a value at offset 4 sits at
  // a word boundary and one at offset 8 needs 4 bytes of padding.
  based.set_frame_section_base(start, 0x4);
  ASSERT_EQ(based.read(mobj.get(), start, 4, static_cast<DW_EH_PE_t>(0x23), &value64, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value64, 0x1010u);
  ASSERT_EQ(based.read(mobj.get(), start, 4, static_cast<DW_EH_PE_t>(0x33), &value64, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value64, 0x2010u);
  ASSERT_EQ(based.read(mobj.get(), start, 4, static_cast<DW_EH_PE_t>(0x43), &value64, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value64, 0x3010u);
  ASSERT_EQ(based.read(mobj.get(), start, 8, static_cast<DW_EH_PE_t>(0x53), &value64, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value64, 0x22222222u);  // read after 4 bytes of padding
  EXPECT_EQ(size, 8u);
  ASSERT_EQ(based.read(mobj.get(), start, 4, static_cast<DW_EH_PE_t>(0x53), &value64, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value64, 0x10u);
  EXPECT_EQ(size, 4u);

  // 32-bit targets: absptr is four bytes, sums wrap at 2^32, aligned pads to 4.
  gnu_ehptr_reader<std::uint32_t> narrow(kLittle);
  std::uint32_t value32 = 0;
  ASSERT_EQ(narrow.read(mobj.get(), start, 8, DW_EH_PE_absptr, &value32, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value32, 0x11111111u);
  EXPECT_EQ(size, 4u);
  narrow.set_data_base(0x20);
  ASSERT_EQ(narrow.read(mobj.get(), start, 16, static_cast<DW_EH_PE_t>(0x3b), &value32, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value32, 0x10u);  // 0x20 - 16
  narrow.set_data_base(0xfffffff0);
  ASSERT_EQ(narrow.read(mobj.get(), start, 12, static_cast<DW_EH_PE_t>(0x33), &value32, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value32, 0x22222212u);
  narrow.set_frame_section_base(static_cast<std::uint32_t>(start), 0x0);
  ASSERT_EQ(narrow.read(mobj.get(), start, 6, static_cast<DW_EH_PE_t>(0x50), &value32, &size), CRASH_ESUCCESS);
  EXPECT_EQ(value32, 0x11111111u);  // offset 6 is padded by 2 to the next 4-byte boundary
  EXPECT_EQ(size, 6u);
}

// A CIE with the given augmentation, in the 32-bit DWARF format: length, id 0, version 1.
Bytes cie(const std::string& augmentation, const Bytes& data, const Bytes& instructions = Bytes{0x0c, 0x07, 0x08},
          std::uint8_t version = 1, std::uint32_t id = 0) {
  Bytes body;
  body.u32(id).u8(version);
  for (char c : augmentation) body.u8(static_cast<std::uint8_t>(c));
  body.u8(0);
  if (version == 4) body.u8(8).u8(0);
  body.uleb(1).sleb(-8).uleb(16);
  if (!augmentation.empty() && augmentation[0] == 'z') body.uleb(data.size()).append(data);
  body.append(instructions);
  return Bytes().u32(static_cast<std::uint32_t>(body.size())).append(body);
}

TEST(DwarfCie, ParsesAugmentationsAndRefusesWhatItCannotRead) {
  struct Case {
    const char* name;
    Bytes bytes;
    crash_error_t status;
    const char* log;
  };
  const Case cases[] = {
      {"no augmentation", cie("", Bytes{}), 0, ""},
      {"zR", cie("zR", Bytes{0x1b}), 0, ""},
      {"zPLR", cie("zPLR", Bytes().u8(0x00).u64(0x123456789).u8(0x1b).u8(0x1b)), 0, ""},
      {"unknown letter stops the walk", cie("zRX", Bytes{0x1b, 0xee}), 0, "Unknown augmentation entry of X"},
      {"signal frame", cie("zRS", Bytes{0x03}), 0, ""},
      {"version 4", cie("zR", Bytes{0x1b}, Bytes{0x0c, 0x07, 0x08}, 4), 0, ""},
      {"old eh prefix", cie("eh", Bytes{}), CRASH_ENOTSUP, "Unknown augmentation string prefix of e"},
      {"version 2", cie("", Bytes{}, Bytes{}, 2), CRASH_EINVAL, "CIE version is not one of 1"},
      {"id of an FDE", cie("", Bytes{}, Bytes{}, 1, 0x40), CRASH_EINVAL, "CIE id is not one of 0"},
      {"cut header", Bytes{0x10, 0x00}, CRASH_EINVAL, "header lies outside the mapped range"},
  };
  const gnu_ehptr_reader<std::uint64_t> reader(kLittle);
  for (const Case& c : cases) {
    MappedBytes mobj(c.bytes);
    test::StderrCapture capture;
    crash_async_dwarf_cie_info<std::uint64_t> info;
    ASSERT_EQ(crash_async_dwarf_cie_info_init(&info, mobj.get(), kLittle, &reader, mobj.address()), c.status) << c.name;
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.name;
    if (c.status != CRASH_ESUCCESS) continue;
    EXPECT_EQ(info.cie_offset, 4u) << c.name;
    EXPECT_EQ(info.code_alignment_factor, 1u);
    EXPECT_EQ(info.data_alignment_factor, -8);
    EXPECT_EQ(info.return_address_register, 16u);
    // The initial instructions are the last three bytes of every record here.
    EXPECT_EQ(crash_async_dwarf_cie_info_initial_instructions_offset(&info), c.bytes.size() - 3) << c.name;
    EXPECT_EQ(crash_async_dwarf_cie_info_initial_instructions_length(&info), 3u) << c.name;
  }

  // What each augmentation left in the record.
  auto parse = [&](const Bytes& bytes) {
    MappedBytes mobj(bytes);
    crash_async_dwarf_cie_info<std::uint64_t> info;
    test::StderrCapture quiet;
    EXPECT_EQ(crash_async_dwarf_cie_info_init(&info, mobj.get(), kLittle, &reader, mobj.address()), CRASH_ESUCCESS);
    return info;
  };
  const auto zplr = parse(cie("zPLR", Bytes().u8(0x00).u64(0x123456789).u8(0x1b).u8(0x1c)));
  EXPECT_TRUE(zplr.eh_augmentation.data_available);
  EXPECT_TRUE(zplr.eh_augmentation.has_personality_address);
  EXPECT_EQ(zplr.eh_augmentation.personality_address, 0x123456789u);
  EXPECT_TRUE(zplr.eh_augmentation.has_lsda_encoding);
  EXPECT_EQ(zplr.eh_augmentation.lsda_encoding, 0x1b);
  EXPECT_TRUE(zplr.eh_augmentation.has_pointer_encoding);
  EXPECT_EQ(zplr.eh_augmentation.pointer_encoding, 0x1c);
  const auto zrx = parse(cie("zRX", Bytes{0x1b, 0xee}));
  EXPECT_EQ(zrx.eh_augmentation.pointer_encoding, 0x1b);
  EXPECT_TRUE(parse(cie("zRS", Bytes{0x03})).eh_augmentation.signal_frame);
  EXPECT_FALSE(parse(cie("", Bytes{})).eh_augmentation.data_available);
  const auto v4 = parse(cie("zR", Bytes{0x1b}, Bytes{0x0c, 0x07, 0x08}, 4));
  EXPECT_EQ(v4.address_size, 8);
  EXPECT_EQ(v4.segment_size, 0);

  // A declared length shorter than the fields read.
  Bytes short_length = cie("zR", Bytes{0x1b}, Bytes{});
  short_length.put32(0, 6);
  MappedBytes mobj(short_length);
  crash_async_dwarf_cie_info<std::uint64_t> info;
  test::StderrCapture capture;
  EXPECT_EQ(crash_async_dwarf_cie_info_init(&info, mobj.get(), kLittle, &reader, mobj.address()), CRASH_EINVAL);
  EXPECT_NE(capture.text().find("declared to be less than the actual read length"), std::string::npos);
}

TEST(DwarfCie, SixtyFourBitFormatAndDebugFrameIds) {
  Bytes body = Bytes().u64(~0ull).u8(3).u8(0).uleb(4).sleb(-4).uleb(8).u8(0x0c);
  const Bytes dwarf64 = Bytes().u32(0xffffffff).u64(body.size()).append(body);
  MappedBytes mobj(dwarf64);
  const gnu_ehptr_reader<std::uint32_t> reader(kLittle);
  crash_async_dwarf_cie_info<std::uint32_t> info;
  ASSERT_EQ(crash_async_dwarf_cie_info_init(&info, mobj.get(), kLittle, &reader, mobj.address()), CRASH_ESUCCESS);
  EXPECT_EQ(info.cie_offset, 12u);
  EXPECT_EQ(info.cie_id, ~0ull);
  EXPECT_EQ(info.cie_version, 3);
  EXPECT_EQ(info.code_alignment_factor, 4u);
  EXPECT_EQ(info.data_alignment_factor, -4);
  EXPECT_EQ(info.return_address_register, 8u);
  EXPECT_EQ(info.initial_instructions_offset, dwarf64.size() - 1);
  EXPECT_EQ(info.initial_instructions_length, 1u);
}

// An FDE with a CIE pointer, pc begin and range in `encoding`, empty augmentation data (for 'z'
// CIEs) and `instructions`.
Bytes fde(std::uint32_t cie_pointer, const Bytes& addresses, bool z, const Bytes& instructions = Bytes{0x00}) {
  Bytes body = Bytes().u32(cie_pointer).append(addresses);
  if (z) body.uleb(0);
  body.append(instructions);
  return Bytes().u32(static_cast<std::uint32_t>(body.size())).append(body);
}

// An .eh_frame: CIE (zR, pcrel sdata4), FDE A, a second CIE, FDE B, the terminator, and an FDE C
// after it that no search reaches. They cover 0x100, 0x10 and 0x10 bytes from 0x1000, 0x2000 and
// 0x3000 past their pc-begin fields.
struct EhFrame {
  Bytes bytes;
  std::size_t fde_a = 0, fde_b = 0, fde_c = 0;
};

EhFrame ehFrame() {
  EhFrame frame;
  frame.bytes.append(cie("zR", Bytes{0x1b}));
  frame.fde_a = frame.bytes.size();
  frame.bytes.append(fde(static_cast<std::uint32_t>(frame.fde_a + 4), Bytes().u32(0x1000).u32(0x100), true));
  const std::size_t second = frame.bytes.size();
  frame.bytes.append(cie("zR", Bytes{0x1b}));
  frame.fde_b = frame.bytes.size();
  frame.bytes.append(fde(static_cast<std::uint32_t>(frame.fde_b + 4 - second), Bytes().u32(0x2000).u32(0x10), true));
  frame.bytes.u32(0);
  frame.fde_c = frame.bytes.size();
  frame.bytes.append(fde(static_cast<std::uint32_t>(frame.fde_c + 4), Bytes().u32(0x3000).u32(0x10), true));
  return frame;
}

TEST(DwarfFde, ParsesPcRelativeRangesAndItsCie) {
  const EhFrame frame = ehFrame();
  MappedBytes mobj(frame.bytes);
  crash_async_dwarf_fde_info info;
  ASSERT_EQ(crash_async_dwarf_fde_info_init<std::uint64_t>(&info, mobj.get(), kLittle, mobj.address() + frame.fde_a,
                                                           false),
            CRASH_ESUCCESS);
  const std::uint64_t field = mobj.address() + frame.fde_a + 8;  // pc begin's own address
  EXPECT_EQ(info.fde_offset, frame.fde_a + 4);
  EXPECT_EQ(info.cie_offset, 0u);
  EXPECT_EQ(info.pc_start, field + 0x1000);
  EXPECT_EQ(info.pc_end, field + 0x1100);
  EXPECT_EQ(crash_async_dwarf_fde_info_instructions_offset(&info), frame.fde_a + 4 + 4 + 8 + 1);
  EXPECT_EQ(crash_async_dwarf_fde_info_instructions_length(&info), 1u);
}

TEST(DwarfFde, DebugFrameRecordsAndFailures) {
  // __debug_frame: the CIE id is all ones, the FDE points at its CIE by offset, addresses are absolute.
  Bytes debug = cie("", Bytes{}, Bytes{0x0c, 0x07, 0x08}, 3, 0xffffffff);
  const std::size_t at = debug.size();
  debug.append(fde(0, Bytes().u64(0x400000).u64(0x80), false));
  MappedBytes mobj(debug);
  crash_async_dwarf_fde_info info;
  ASSERT_EQ(crash_async_dwarf_fde_info_init<std::uint64_t>(&info, mobj.get(), kLittle, mobj.address() + at, true),
            CRASH_ESUCCESS);
  EXPECT_EQ(info.pc_start, 0x400000u);
  EXPECT_EQ(info.pc_end, 0x400080u);

  struct Case {
    const char* name;
    Bytes bytes;
    bool debug_frame;
    crash_error_t status;
    const char* log;
  };
  const Bytes plain = cie("", Bytes{});
  const std::uint32_t back = static_cast<std::uint32_t>(plain.size() + 4);
  auto after = [&](const Bytes& record) { return Bytes().append(plain).append(record); };
  Bytes short_fde = after(fde(back, Bytes().u64(1).u64(2), false));
  short_fde.put32(plain.size(), 10);
  const Case cases[] = {
      {"CIE before the section", after(fde(back + 64, Bytes().u64(1).u64(2), false)), false, CRASH_EINVAL,
       "would place the CIE value outside of the .eh_frame section"},
      {"CIE offset past the section", after(fde(0x80000000u, Bytes().u64(1).u64(2), false)), true, CRASH_EINVAL,
       "header lies outside the mapped range"},
      {"range past 2^64", after(fde(back, Bytes().u64(~0ull - 0x10).u64(0x100), false)), false, CRASH_EINVAL,
       "FDE address_length + initial_location exceeds UINT64_MAX"},
      {"length shorter than its fields", short_fde, false, CRASH_EINVAL, "declared to be less than the actual read"},
      {"points at a non-CIE", after(fde(4, Bytes().u64(1).u64(2), false)), false, CRASH_EINVAL, "CIE id is not one of"},
      {"cut", after(Bytes{0x20, 0x00, 0x00, 0x00, 0x01}), false, CRASH_EINVAL,
       "FDE instruction offset falls outside the mapped range"},
  };
  for (const Case& c : cases) {
    MappedBytes bytes(c.bytes);
    test::StderrCapture capture;
    EXPECT_EQ(crash_async_dwarf_fde_info_init<std::uint64_t>(&info, bytes.get(), kLittle,
                                                             bytes.address() + plain.size(), c.debug_frame),
              c.status)
        << c.name;
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.name;
  }
}

TEST(DwarfFrameReader, FindsTheFirstCoveringFdeSkippingCiesAndStoppingAtTheTerminator) {
  const EhFrame frame = ehFrame();
  MappedBytes mobj(frame.bytes);
  dwarf_frame_reader reader;
  ASSERT_EQ(reader.init(mobj.get(), kLittle, true, false), CRASH_ESUCCESS);
  const std::uint64_t a = mobj.address() + frame.fde_a + 8 + 0x1000;
  const std::uint64_t b = mobj.address() + frame.fde_b + 8 + 0x2000;
  const std::uint64_t c = mobj.address() + frame.fde_c + 8 + 0x3000;
  struct Case {
    std::uint64_t pc;
    crash_error_t status;
    std::uint64_t fde_offset;
  } cases[] = {
      {a, 0, frame.fde_a + 4},     {a + 0xff, 0, frame.fde_a + 4}, {a + 0x100, CRASH_ENOTFOUND, 0},
      {b + 5, 0, frame.fde_b + 4}, {a - 1, CRASH_ENOTFOUND, 0},    {c, CRASH_ENOTFOUND, 0},
  };
  for (const Case& k : cases) {
    crash_async_dwarf_fde_info info;
    ASSERT_EQ(reader.find_fde(0, k.pc, &info), k.status) << std::hex << k.pc;
    if (k.status == CRASH_ESUCCESS) {
      EXPECT_EQ(info.fde_offset, k.fde_offset);
    }
  }
  // A later start skips what lies before it; a start outside the section is refused.
  crash_async_dwarf_fde_info info;
  EXPECT_EQ(reader.find_fde(frame.fde_b, a, &info), CRASH_ENOTFOUND);
  test::StderrCapture capture;
  EXPECT_EQ(reader.find_fde(frame.bytes.size(), a, &info), CRASH_EINVAL);
  EXPECT_EQ(reader.find_fde(~0ull, a, &info), CRASH_EINVAL);
  const std::string log = capture.text();
  EXPECT_NE(log.find("FDE base address + offset falls outside the mapped range"), std::string::npos);
  EXPECT_NE(log.find("FDE offset hint overflows the mobject's base address"), std::string::npos);
}

TEST(DwarfFrameReader, DebugFrameSectionsAndRecordsThatOverrunTheSection) {
  Bytes debug = cie("", Bytes{}, Bytes{0x0c, 0x07, 0x08}, 3, 0xffffffff);
  debug.append(fde(0, Bytes().u64(0x400000).u64(0x80), false));
  MappedBytes mobj(debug);
  dwarf_frame_reader reader;
  reader.init(mobj.get(), kLittle, true, true);
  crash_async_dwarf_fde_info info;
  EXPECT_EQ(reader.find_fde(0, 0x400010, &info), CRASH_ESUCCESS);
  EXPECT_EQ(reader.find_fde(0, 0x400080, &info), CRASH_ENOTFOUND);  // ran off the end
  // The same records read as __eh_frame: the CIE's id is not 0, so it is taken for an FDE whose
  // CIE pointer points nowhere.
  reader.init(mobj.get(), kLittle, true, false);
  test::StderrCapture quiet;
  EXPECT_EQ(reader.find_fde(0, 0x400010, &info), CRASH_EINVAL);

  // A 64-bit length whose end wraps the address space.
  const Bytes wrapping = Bytes().u32(0xffffffff).u64(~0ull - 4).u64(0);
  MappedBytes wraps(wrapping);
  reader.init(wraps.get(), kLittle, true, false);
  EXPECT_EQ(reader.find_fde(0, 0x400010, &info), CRASH_EINVAL);
  // A length past the section's end ends the search after that record.
  const Bytes past = Bytes().append(cie("zR", Bytes{0x1b})).u32(0x1000).u32(0);
  MappedBytes pastEnd(past);
  reader.init(pastEnd.get(), kLittle, true, false);
  EXPECT_EQ(reader.find_fde(0, 0x400010, &info), CRASH_ENOTFOUND);
}

// The FDEs readelf lists for `path`, as (pc start, pc end) link-time addresses in section order.
std::vector<std::pair<std::uint64_t, std::uint64_t>> readelfFdes(const std::string& path) {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> fdes;
  const std::string command = "readelf --wide --debug-dump=frames '" + path + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return fdes;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    const char* fde = strstr(line, " FDE cie=");
    const char* pc = fde != nullptr ? strstr(fde, " pc=") : nullptr;
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    if (pc != nullptr && sscanf(pc, " pc=%" SCNx64 "..%" SCNx64, &start, &end) == 2) fdes.emplace_back(start, end);
  }
  pclose(pipe);
  return fdes;
}

crash_async_macho* imageNamed(crash_async_image_list* list, const char* name) {
  for (crash_async_macho* image = crash_async_image_list_next(list, nullptr); image != nullptr;
       image = crash_async_image_list_next(list, image)) {
    if (strstr(image->name, name) != nullptr) return image;
  }
  return nullptr;
}

TEST(DwarfSystemLibraries, EveryFdeParsesAsReadelfListsItAndTheIndexAgrees) {
  test::ImageListHolder list(true);
  crash_async_image_list_set_reading(&list.list, true);
  for (const char* name : {"/libc.so.6", "/libstdc++.so.6"}) {
    SCOPED_TRACE(name);
    crash_async_macho* image = imageNamed(&list.list, name);
    ASSERT_NE(image, nullptr);
    const auto expected = readelfFdes(image->name);
    ASSERT_GT(expected.size(), 1000u) << "readelf listed too few FDEs for " << image->name;

    crash_async_mobject section;
    ASSERT_EQ(crash_async_macho_map_section(image, "__TEXT", "__eh_frame", &section), CRASH_ESUCCESS);
    dwarf_frame_reader reader;
    reader.init(&section, crash_async_macho_byteorder(image), true, false);
    const auto bias = static_cast<std::uint64_t>(image->vmaddr_slide);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> parsed;
    std::vector<crash_async_dwarf_fde_info> infos;
    std::uint64_t offset = 0;
    crash_async_dwarf_fde_info info;
    crash_error_t status = 0;
    while ((status = reader.next_fde(&offset, &info)) == CRASH_ESUCCESS) {
      parsed.emplace_back(info.pc_start - bias, info.pc_end - bias);
      infos.push_back(info);
    }
    EXPECT_EQ(status, CRASH_ENOTFOUND);
    EXPECT_EQ(parsed.size(), expected.size());
    EXPECT_EQ(parsed, expected);

    // Every FDE's CIE parses too, and the linker's search table finds each FDE at both ends of its range.
    crash_async_mobject table;
    ASSERT_EQ(crash_async_elf_map_eh_frame_hdr(image, &table), CRASH_ESUCCESS);
    ASSERT_EQ(reader.set_search_table(&table), CRASH_ESUCCESS);
    const gnu_ehptr_reader<std::uint64_t> pointers(crash_async_macho_byteorder(image));
    std::size_t mismatches = 0;
    for (const crash_async_dwarf_fde_info& fde : infos) {
      crash_async_dwarf_cie_info<std::uint64_t> cie;
      if (crash_async_dwarf_cie_info_init(&cie, &section, crash_async_macho_byteorder(image), &pointers,
                                          crash_async_mobject_base_address(&section) + fde.cie_offset) != 0) {
        ++mismatches;
      }
      if (fde.pc_end == fde.pc_start) continue;
      for (std::uint64_t pc : {fde.pc_start, fde.pc_end - 1}) {
        crash_async_dwarf_fde_info found;
        if (reader.find_fde(0, pc, &found) != CRASH_ESUCCESS || found.fde_offset != fde.fde_offset) ++mismatches;
      }
    }
    EXPECT_EQ(mismatches, 0u);
    crash_async_mobject_free(&table);
    crash_async_mobject_free(&section);
  }
  crash_async_image_list_set_reading(&list.list, false);
}

TEST(DwarfFrameReader, SearchTablesThatDoNotFitAreRefused) {
  const EhFrame frame = ehFrame();
  MappedBytes mobj(frame.bytes);
  dwarf_frame_reader reader;
  reader.init(mobj.get(), kLittle, true, false);
  struct Case {
    const char* name;
    Bytes hdr;
    crash_error_t status;
  };
  auto header = [&](std::uint8_t version, std::uint8_t table_encoding, std::uint64_t frame_address, std::uint32_t count) {
    return Bytes().u8(version).u8(0x04).u8(0x03).u8(table_encoding).u64(frame_address).u32(count);
  };
  const Case cases[] = {
      {"version 2", header(2, 0x3b, mobj.address(), 0), CRASH_EINVAL},
      {"unsorted encoding", header(1, 0x03, mobj.address(), 0), CRASH_ENOTSUP},
      {"another section", header(1, 0x3b, mobj.address() + 8, 0), CRASH_EINVAL},
      {"table past the end", header(1, 0x3b, mobj.address(), 1000), CRASH_EINVAL},
      {"empty table", header(1, 0x3b, mobj.address(), 0), CRASH_ESUCCESS},
  };
  test::StderrCapture quiet;
  for (const Case& c : cases) {
    MappedBytes hdr(c.hdr);
    EXPECT_EQ(reader.set_search_table(hdr.get()), c.status) << c.name;
  }
}

}  // namespace
