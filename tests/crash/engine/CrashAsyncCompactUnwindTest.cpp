#include "crash/engine/CrashAsyncCompactUnwind.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "crash/engine/CrashAsyncMachO.h"
#include "tests/crash/engine/MachOFixture.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/crash/engine/UnwindSupport.h"

namespace {

using test::Bytes;
using test::MappedBytes;

constexpr std::uint32_t kX86_64 = 0x01000007;
constexpr std::uint32_t kX86 = 7;
constexpr std::uint32_t kArm64 = 0x0100000C;
constexpr std::uint32_t kNo = CRASH_ASYNC_CFE_NO_REGISTER;

// libframes.dylib, loaded, with its record and its compact unwind section.
class FramesImage : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(crash_nasync_macho_init(&image_, kernel::task_self(), loaded_.path().c_str(), loaded_.header()),
              CRASH_ESUCCESS);
    ASSERT_EQ(crash_async_macho_map_section(&image_, "__TEXT", "__unwind_info", &section_), CRASH_ESUCCESS);
    ASSERT_EQ(crash_async_cfe_reader_init(&reader_, &section_, kX86_64), CRASH_ESUCCESS);
  }
  void TearDown() override {
    crash_async_mobject_free(&section_);
    crash_nasync_macho_free(&image_);
  }
  std::uint64_t offset(const char* symbol) const { return expect_.symbol(symbol); }
  std::uint64_t address(const char* symbol) const { return loaded_.at(expect_.symbol(symbol)); }

  test::LoadedMachO loaded_{"libframes.dylib", 0};
  test::MachOExpectations expect_ = test::readExpectations("libframes.dylib");
  crash_async_macho image_{};
  crash_async_mobject section_{};
  crash_async_cfe_reader reader_{};
};

// The encodings the linker wrote, as LLVM's objdump lists them.
struct Encoded {
  const char* symbol;
  const char* next;  // the function after it, which bounds it
  std::uint32_t encoding;
} const kEncodings[] = {
    {"_cu_frame", "_cu_frameless", 0x01030111},
    {"_cu_frameless", "_cu_large", 0x02050801},
    {"_cu_large", "_cu_dwarf", 0x03054404},
    {"_cu_dwarf", "_cu_leaf", 0x04000018},
};

TEST_F(FramesImage, FindsTheEncodingOfEveryFunctionFromItsFirstToItsLastByte) {
  for (const Encoded& e : kEncodings) {
    for (std::uint64_t pc : {offset(e.symbol), offset(e.next) - 1}) {
      std::uint64_t start = 0;
      std::uint32_t encoding = 0;
      ASSERT_EQ(crash_async_cfe_reader_find_pc(&reader_, pc, &start, &encoding), CRASH_ESUCCESS) << e.symbol;
      EXPECT_EQ(start, offset(e.symbol)) << e.symbol;
      EXPECT_EQ(encoding, e.encoding) << e.symbol;
    }
  }
  // The index closes at _cu_leaf, which has no unwind information; nothing lies before _cu_frame.
  std::uint64_t start = 0;
  std::uint32_t encoding = 0;
  test::StderrCapture quiet;
  EXPECT_EQ(crash_async_cfe_reader_find_pc(&reader_, offset("_cu_leaf"), &start, &encoding), CRASH_ENOTFOUND);
  EXPECT_EQ(crash_async_cfe_reader_find_pc(&reader_, offset("_cu_frame") - 1, &start, &encoding), CRASH_ENOTFOUND);
}

struct Decoded {
  std::uint32_t cpu;
  std::uint32_t encoding;
  crash_error_t status;
  crash_async_cfe_type type;
  std::int64_t stack_offset;
  std::uint32_t adjust;
  std::vector<std::uint32_t> registers;
};

TEST(CompactUnwindEntry, DecodesEveryModeForBothArchitectures) {
  const Decoded cases[] = {
      // The fixture's encodings.
      {kX86_64, 0x01030111, 0, CRASH_ASYNC_CFE_TYPE_FRAME_PTR, -24, 0,
       {CRASH_X86_64_RBX, CRASH_X86_64_R12, CRASH_X86_64_R14}},
      {kX86_64, 0x02050801, 0, CRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD, 40, 0, {CRASH_X86_64_RBX, CRASH_X86_64_R13}},
      {kX86_64, 0x03054404, 0, CRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT, 5, 16, {CRASH_X86_64_R15}},
      {kX86_64, 0x04000018, 0, CRASH_ASYNC_CFE_TYPE_DWARF, 0x18, 0, {}},
      {kX86_64, 0x00000000, 0, CRASH_ASYNC_CFE_TYPE_NONE, 0, 0, {}},
      // Register groups 1, 0, 2: the empty group keeps its slot.
      {kX86_64, 0x01000081, 0, CRASH_ASYNC_CFE_TYPE_FRAME_PTR, 0, 0, {CRASH_X86_64_RBX, kNo, CRASH_X86_64_R12}},
      // rbp then r15 saved frameless: digits 5 and 4, permutation 5 * 5 + 4.
      {kX86_64, 0x02010800 | 29, 0, CRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD, 8, 0, {CRASH_X86_64_RBP, CRASH_X86_64_R15}},
      // i386: scale 4 and its own register numbering.
      {kX86, 0x01020003, 0, CRASH_ASYNC_CFE_TYPE_FRAME_PTR, -8, 0, {CRASH_X86_EDX}},
      {kX86, 0x02030404, 0, CRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD, 12, 0, {CRASH_X86_ESI}},
      {kX86, 0x0310a400, 0, CRASH_ASYNC_CFE_TYPE_FRAMELESS_INDIRECT, 0x10, 20, {CRASH_X86_EBX}},
      // Failures.
      {kX86_64, 0x05000000, CRASH_ENOTSUP, CRASH_ASYNC_CFE_TYPE_NONE, 0, 0, {}},
      {kX86_64, 0x01000007, CRASH_EINVAL, CRASH_ASYNC_CFE_TYPE_FRAME_PTR, 0, 0, {}},  // register number 7
      {kX86_64, 0x02001c00, CRASH_EINVAL, CRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD, 0, 0, {}},  // seven registers
      {kX86_64, 0x02000406, CRASH_EINVAL, CRASH_ASYNC_CFE_TYPE_FRAMELESS_IMMD, 0, 0, {}},  // digit past the six
      {kArm64, 0x04000000, CRASH_ENOTSUP, CRASH_ASYNC_CFE_TYPE_NONE, 0, 0, {}},
  };
  test::StderrCapture quiet;
  for (const Decoded& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << "encoding 0x" << c.encoding);
    crash_async_cfe_entry entry;
    ASSERT_EQ(crash_async_cfe_entry_init(&entry, c.cpu, c.encoding), c.status);
    if (c.status != CRASH_ESUCCESS) continue;
    EXPECT_EQ(crash_async_cfe_entry_type(&entry), c.type);
    EXPECT_EQ(crash_async_cfe_entry_stack_offset(&entry), c.stack_offset);
    EXPECT_EQ(crash_async_cfe_entry_stack_adjustment(&entry), c.adjust);
    EXPECT_EQ(crash_async_cfe_entry_return_address_register(&entry), kNo);
    std::vector<std::uint32_t> registers(crash_async_cfe_entry_register_count(&entry));
    crash_async_cfe_entry_register_list(&entry, registers.data());
    EXPECT_EQ(registers, c.registers);
  }
}

TEST(CompactUnwindPermutation, EncodingAndDecodingAreInverse) {
  const std::vector<std::vector<std::uint32_t>> lists = {
      {}, {4}, {6, 1}, {1, 2, 3}, {3, 1, 2}, {6, 5, 4, 3}, {2, 4, 6, 1, 3}, {6, 5, 4, 3, 2, 1}, {1, 2, 3, 4, 5, 6},
  };
  for (const auto& list : lists) {
    const auto count = static_cast<std::uint32_t>(list.size());
    const std::uint32_t permutation = crash_async_cfe_register_encode(list.data(), count);
    std::uint32_t decoded[6] = {};
    ASSERT_EQ(crash_async_cfe_register_decode(permutation, count, decoded), CRASH_ESUCCESS);
    EXPECT_EQ(std::vector<std::uint32_t>(decoded, decoded + count), list) << "permutation " << permutation;
  }
  std::uint32_t decoded[7] = {};
  ASSERT_EQ(crash_async_cfe_register_decode(0, 3, decoded), CRASH_ESUCCESS);
  EXPECT_EQ(std::vector<std::uint32_t>(decoded, decoded + 3), (std::vector<std::uint32_t>{1, 2, 3}));
  test::StderrCapture quiet;
  EXPECT_EQ(crash_async_cfe_register_decode(0, 7, decoded), CRASH_EINVAL);
}

// A stack in memory, as words; its address and a word's address.
struct Stack {
  std::vector<std::uint64_t> words = std::vector<std::uint64_t>(1200, 0);
  std::uint64_t at(std::size_t index) const { return reinterpret_cast<std::uint64_t>(&words[index]); }
};

TEST_F(FramesImage, AppliesTheFixtureFramesToStacksLaidOutAsTheirCodeLeavesThem) {
  crash_async_thread_state next;
  crash_async_cfe_entry entry;

  {  // _cu_frame: rbp frame with rbx, r12, r14 below the saved rbp.
    Stack stack;
    const std::size_t fp = 10;
    stack.words[fp] = 0xf00d;       // caller's rbp
    stack.words[fp + 1] = 0x4444;   // return address
    stack.words[fp - 3] = 0xb0;     // rbx
    stack.words[fp - 2] = 0xc12;    // r12
    stack.words[fp - 1] = 0xe14;    // r14
    const auto current = test::x86_64State({{CRASH_X86_64_RIP, address("_cu_frame") + 9},
                                            {CRASH_X86_64_RBP, stack.at(fp)},
                                            {CRASH_X86_64_RSP, stack.at(fp - 3)},
                                            {CRASH_X86_64_RAX, 1},
                                            {CRASH_X86_64_R13, 0xd13}});
    ASSERT_EQ(crash_async_cfe_entry_init(&entry, kX86_64, 0x01030111), CRASH_ESUCCESS);
    ASSERT_EQ(crash_async_cfe_entry_apply(kernel::task_self(), address("_cu_frame"), &current, &entry, &next),
              CRASH_ESUCCESS);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x4444u);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBP), 0xf00du);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RSP), stack.at(fp + 2));
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBX), 0xb0u);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_R12), 0xc12u);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_R14), 0xe14u);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_R13), 0xd13u);  // callee-saved, untouched
    EXPECT_FALSE(crash_async_thread_state_has_reg(&next, CRASH_X86_64_RAX));
  }
  {  // _cu_frameless: 16 bytes of locals, rbx, r13, the return address.
    Stack stack;
    stack.words[2] = 0xb0;
    stack.words[3] = 0xd13;
    stack.words[4] = 0x5555;
    const auto current = test::x86_64State({{CRASH_X86_64_RIP, address("_cu_frameless") + 7},
                                            {CRASH_X86_64_RSP, stack.at(0)},
                                            {CRASH_X86_64_RBP, 0xbb}});
    ASSERT_EQ(crash_async_cfe_entry_init(&entry, kX86_64, 0x02050801), CRASH_ESUCCESS);
    ASSERT_EQ(crash_async_cfe_entry_apply(kernel::task_self(), address("_cu_frameless"), &current, &entry, &next),
              CRASH_ESUCCESS);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x5555u);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RSP), stack.at(5));
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBX), 0xb0u);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_R13), 0xd13u);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBP), 0xbbu);
  }
  {  // _cu_large: the 8192 of its sub instruction, the 8 of its push of r15 and the return address.
    Stack stack;
    stack.words[1024] = 0xf15;
    stack.words[1025] = 0x6666;
    const auto current =
        test::x86_64State({{CRASH_X86_64_RIP, address("_cu_large") + 9}, {CRASH_X86_64_RSP, stack.at(0)}});
    ASSERT_EQ(crash_async_cfe_entry_init(&entry, kX86_64, 0x03054404), CRASH_ESUCCESS);
    ASSERT_EQ(crash_async_cfe_entry_apply(kernel::task_self(), address("_cu_large"), &current, &entry, &next),
              CRASH_ESUCCESS);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x6666u);
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RSP), stack.at(1026));
    EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_R15), 0xf15u);
  }
}

TEST(CompactUnwindApply, ReturnAddressRegisterAndFailures) {
  Stack stack;
  crash_async_thread_state next;
  crash_async_cfe_entry entry;
  ASSERT_EQ(crash_async_cfe_entry_init(&entry, kX86_64, 0x02020400), CRASH_ESUCCESS);  // 16 bytes, rbx
  entry.return_address_register = CRASH_X86_64_R12;
  stack.words[1] = 0xb0;
  auto current = test::x86_64State({{CRASH_X86_64_RIP, 0x1000}, {CRASH_X86_64_RSP, stack.at(0)}, {CRASH_X86_64_R12, 0x7777}});
  ASSERT_EQ(crash_async_cfe_entry_apply(kernel::task_self(), 0, &current, &entry, &next), CRASH_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x7777u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBX), 0xb0u);  // the save area ends at the new rsp

  crash_async_cfe_entry dwarf, none, frame, frameless;
  crash_async_cfe_entry_init(&dwarf, kX86_64, 0x04000000);
  crash_async_cfe_entry_init(&none, kX86_64, 0);
  crash_async_cfe_entry_init(&frame, kX86_64, 0x01000000);
  crash_async_cfe_entry_init(&frameless, kX86_64, 0x02020000);
  const auto noRegisters = test::x86_64State({{CRASH_X86_64_RIP, 0x1000}});
  const auto topFramePointer = test::x86_64State({{CRASH_X86_64_RIP, 0x1000}, {CRASH_X86_64_RBP, ~0ull - 8}});
  const auto unmapped = test::x86_64State({{CRASH_X86_64_RIP, 0x1000}, {CRASH_X86_64_RBP, 8}, {CRASH_X86_64_RSP, 8}});
  auto missingRa = current;
  crash_async_thread_state_clear_reg(&missingRa, CRASH_X86_64_R12);

  struct Case {
    const char* name;
    const crash_async_cfe_entry* entry;
    const crash_async_thread_state* state;
    crash_error_t status;
    const char* log;
  } cases[] = {
      {"dwarf", &dwarf, &current, CRASH_ENOTSUP, ""},
      {"none", &none, &current, CRASH_ENOTSUP, ""},
      {"frame without rbp", &frame, &noRegisters, CRASH_ENOTFOUND, "without a valid frame pointer"},
      {"frameless without rsp", &frameless, &noRegisters, CRASH_ENOTFOUND, "without a valid stack pointer"},
      {"frame pointer wraps", &frame, &topFramePointer, CRASH_EINVAL, "falls outside of addressable bounds"},
      {"unreadable frame", &frame, &unmapped, CRASH_ENOTFOUND, "Failed to read frame data at address 0x8"},
      {"unreadable return address", &frameless, &unmapped, CRASH_ENOTFOUND, "Failed to read return address"},
      {"missing return address register", &entry, &missingRa, CRASH_ENOTFOUND,
       "The specified return_address_register 'r12' is not available"},
  };
  for (const Case& c : cases) {
    test::StderrCapture capture;
    EXPECT_EQ(crash_async_cfe_entry_apply(kernel::task_self(), 0, c.state, c.entry, &next), c.status) << c.name;
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.name;
  }
}

// A hand-made __unwind_info: header, common encodings, the index and one second-level page.
struct SectionLayout {
  std::uint32_t version = 1;
  std::vector<std::uint32_t> common = {0x01000000};
  std::uint32_t index_count = 2;  // one page and the sentinel
  Bytes page;
  std::uint32_t page_offset_adjust = 0;
  std::uint32_t declared_common_count = 0;  // 0: the real count
};

Bytes buildSection(const SectionLayout& layout) {
  Bytes bytes;
  const std::uint32_t common_offset = 28;
  const std::uint32_t index_offset = common_offset + 4 * static_cast<std::uint32_t>(layout.common.size());
  const std::uint32_t page_offset = index_offset + 12 * 2 + layout.page_offset_adjust;
  const auto common_count = static_cast<std::uint32_t>(layout.common.size());
  bytes.u32(layout.version).u32(common_offset).u32(layout.declared_common_count ? layout.declared_common_count
                                                                                 : common_count);
  bytes.u32(0).u32(0).u32(index_offset).u32(layout.index_count);
  for (std::uint32_t encoding : layout.common) bytes.u32(encoding);
  bytes.u32(0x1000).u32(page_offset).u32(0);  // functions from 0x1000
  bytes.u32(0x2000).u32(0).u32(0);            // sentinel: they end at 0x2000
  return bytes.append(layout.page);
}

Bytes regularPage() {
  return Bytes().u32(2).u16(8).u16(2).u32(0x1000).u32(0x01010000).u32(0x1800).u32(0x02020000);
}

// Compressed entries: 8-bit encoding index above a 24-bit offset from the first-level function.
Bytes compressedPage(std::uint16_t local_count) {
  return Bytes()
      .u32(3).u16(12).u16(3).u16(24).u16(local_count)
      .u32(0x00000000).u32(0x01000100).u32(0x02000200)
      .u32(0x02030000);  // the page's own encoding, index 1
}

TEST(CompactUnwindSection, RegularAndCompressedPages) {
  struct Lookup {
    std::uint64_t pc;
    crash_error_t status;
    std::uint64_t start;
    std::uint32_t encoding;
  };
  struct Case {
    const char* name;
    Bytes page;
    std::vector<Lookup> lookups;
  } cases[] = {
      {"regular",
       regularPage(),
       {{0x0fff, CRASH_ENOTFOUND, 0, 0},
        {0x1000, 0, 0x1000, 0x01010000},
        {0x17ff, 0, 0x1000, 0x01010000},
        {0x1800, 0, 0x1800, 0x02020000},
        {0x1fff, 0, 0x1800, 0x02020000},
        {0x2000, CRASH_ENOTFOUND, 0, 0}}},
      {"compressed",
       compressedPage(1),
       {{0x1000, 0, 0x1000, 0x01000000},   // index 0: the common table
        {0x1180, 0, 0x1100, 0x02030000},   // index 1: the page's own table
        {0x1200, CRASH_EINVAL, 0, 0}}},    // index 2: past both tables
  };
  test::StderrCapture quiet;
  for (Case& c : cases) {
    SectionLayout layout;
    layout.page = c.page;
    const Bytes bytes = buildSection(layout);
    MappedBytes section(bytes);
    crash_async_cfe_reader reader;
    ASSERT_EQ(crash_async_cfe_reader_init(&reader, section.get(), kX86_64), CRASH_ESUCCESS);
    for (const Lookup& l : c.lookups) {
      std::uint64_t start = 0;
      std::uint32_t encoding = 0;
      ASSERT_EQ(crash_async_cfe_reader_find_pc(&reader, l.pc, &start, &encoding), l.status) << c.name << " " << l.pc;
      if (l.status != CRASH_ESUCCESS) continue;
      EXPECT_EQ(start, l.start) << c.name << " " << l.pc;
      EXPECT_EQ(encoding, l.encoding) << c.name << " " << l.pc;
    }
  }
}

TEST(CompactUnwindSection, MalformedSectionsGiveCodesWithoutReadingOutsideThem) {
  struct Case {
    const char* name;
    SectionLayout layout;
    std::size_t cut;  // bytes kept; 0 keeps all
    crash_error_t init_status;
    crash_error_t find_status;
    const char* log;
  };
  auto with = [](auto change) {
    SectionLayout layout;
    layout.page = regularPage();
    change(layout);
    return layout;
  };
  const Case cases[] = {
      {"version 2", with([](SectionLayout& l) { l.version = 2; }), 0, CRASH_ENOTSUP, 0, "Unsupported CFE version: 2"},
      {"header cut", with([](SectionLayout&) {}), 20, CRASH_EINVAL, 0, "Could not map the unwind info section header"},
      {"no index", with([](SectionLayout& l) { l.index_count = 0; }), 0, 0, CRASH_ENOTFOUND,
       "CFE index contains no entries"},
      {"index past the end", with([](SectionLayout& l) { l.index_count = 1000; }), 0, 0, CRASH_EINVAL,
       "The declared entries table lies outside the mapped CFE range"},
      {"common table past the end", with([](SectionLayout& l) { l.declared_common_count = 100000; }), 0, 0,
       CRASH_EINVAL, "The declared common table lies outside the mapped CFE range"},
      {"page past the end", with([](SectionLayout& l) { l.page_offset_adjust = 4096; }), 0, 0, CRASH_EINVAL,
       "The second-level page header lies outside the mapped CFE range"},
      {"unknown page kind", with([](SectionLayout& l) { l.page.put32(0, 7); }), 0, 0, CRASH_EINVAL,
       "Unsupported second-level CFE table kind: 0x7"},
      {"regular entries cut", with([](SectionLayout&) {}), 28 + 4 + 24 + 8 + 8, 0, CRASH_EINVAL,
       "CFE entries table lies outside the mapped CFE range"},
      {"compressed encodings cut", with([](SectionLayout& l) { l.page = compressedPage(1); }), 28 + 4 + 24 + 24, 0,
       CRASH_EINVAL, "CFE compressed encodings table lies outside the mapped CFE range"},
      {"local index past the page's table", with([](SectionLayout& l) { l.page = compressedPage(0); }), 0, 0,
       CRASH_EINVAL, "Encoding index lies outside the second level encoding table"},
  };
  for (const Case& c : cases) {
    const Bytes bytes = buildSection(c.layout);
    Bytes kept;
    for (std::size_t i = 0; i < (c.cut != 0 ? c.cut : bytes.size()); ++i) kept.u8(bytes.data()[i]);
    MappedBytes section(kept);
    test::StderrCapture capture;
    crash_async_cfe_reader reader;
    const crash_error_t init = crash_async_cfe_reader_init(&reader, section.get(), kX86_64);
    EXPECT_EQ(init, c.init_status) << c.name;
    if (init == CRASH_ESUCCESS) {
      std::uint64_t start = 0;
      std::uint32_t encoding = 0;
      // 0x1200 lies in the regular page's first function and at the compressed page's third entry.
      EXPECT_EQ(crash_async_cfe_reader_find_pc(&reader, 0x1200, &start, &encoding), c.find_status) << c.name;
    }
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.name;
  }
  crash_async_cfe_reader reader;
  test::StderrCapture quiet;
  EXPECT_EQ(crash_async_cfe_reader_init(&reader, nullptr, 12), CRASH_ENOTSUP);
}

TEST_F(FramesImage, TheFrameReaderFindsTheImageAndFallsThroughWhereItCannotUnwind) {
  test::ImageListHolder list;
  crash_nasync_image_list_append(&list.list, loaded_.header(), loaded_.path().c_str());

  Stack stack;
  stack.words[10] = 0xf00d;
  stack.words[11] = 0x4444;
  crash_async_thread_state next;
  const auto read = [&](std::uint64_t ip, const crash_async_thread_state* previous) {
    const auto current = test::x86_64State(
        {{CRASH_X86_64_RIP, ip}, {CRASH_X86_64_RBP, stack.at(10)}, {CRASH_X86_64_RSP, stack.at(0)}});
    return crash_frame_cursor_read_compact_unwind(kernel::task_self(), &list.list, &current, previous, &next);
  };

  ASSERT_EQ(read(address("_cu_frame") + 9, nullptr), CRASH_FRAME_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x4444u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RSP), stack.at(12));

  // A return address at the first byte of _cu_frameless belongs to a call at the end of
  // _cu_frame: a walk's later frames are looked up one byte earlier.
  stack.words[4] = 0x5555;
  ASSERT_EQ(read(address("_cu_frameless"), nullptr), CRASH_FRAME_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x5555u);
  const auto previous = test::x86_64State({{CRASH_X86_64_RIP, 0x1}});
  ASSERT_EQ(read(address("_cu_frameless"), &previous), CRASH_FRAME_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x4444u);

  test::StderrCapture capture;
  EXPECT_EQ(read(address("_cu_dwarf") + 2, nullptr), CRASH_FRAME_ENOFRAME);  // left to the DWARF reader
  EXPECT_EQ(read(address("_cu_leaf"), nullptr), CRASH_FRAME_ENOTSUP);
  EXPECT_EQ(read(0x10, nullptr), CRASH_FRAME_ENOTSUP);
  const auto noIp = test::x86_64State({{CRASH_X86_64_RSP, 0}});
  EXPECT_EQ(crash_frame_cursor_read_compact_unwind(kernel::task_self(), &list.list, &noIp, nullptr, &next),
            CRASH_FRAME_EBADFRAME);
  const std::string log = capture.text();
  EXPECT_NE(log.find("Failed to apply CFE encoding 0x4000018"), std::string::npos);
  EXPECT_NE(log.find("Could not find a loaded image for the current frame pc: 0x10"), std::string::npos);
  EXPECT_NE(log.find("Frame is missing a valid IP register"), std::string::npos);
}

TEST(CompactUnwindReader, ElfImagesHaveNoCompactUnwindSection) {
  test::ImageListHolder list(true);
  crash_async_thread_state next;
  const auto inLibc = test::x86_64State({{CRASH_X86_64_RIP, reinterpret_cast<std::uint64_t>(&::write)}});
  test::StderrCapture capture;
  EXPECT_EQ(crash_frame_cursor_read_compact_unwind(kernel::task_self(), &list.list, &inLibc, nullptr, &next),
            CRASH_FRAME_ENOTSUP);
  EXPECT_EQ(capture.text(), "");  // a missing section is not worth a line
}

}  // namespace
