#include "crash/engine/CrashAsyncDwarfExpression.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/crash/engine/StderrCapture.h"
#include "tests/crash/engine/UnwindSupport.h"

namespace {

using namespace crash::async;
using test::Bytes;
using test::MappedBytes;

struct Eval {
  crash_error_t status;
  std::uint64_t value;
};

template <typename machine_ptr>
Eval eval(const Bytes& expression, const crash_async_thread_state& state,
          std::vector<machine_ptr> initial = {}) {
  MappedBytes mobj(expression);
  machine_ptr result = 0;
  const crash_error_t status =
      crash_async_dwarf_expression_eval<machine_ptr>(mobj.get(), kernel::task_self(), &state,
                                                     &crash_async_byteorder_direct, mobj.address(), 0, expression.size(),
                                                     initial.data(), initial.size(), &result);
  return {status, result};
}

class DwarfExpression : public ::testing::Test {
 protected:
  std::uint64_t word_ = 0x1122334455667788;
  std::uint64_t address_ = reinterpret_cast<std::uint64_t>(&word_);
  // rsp (DWARF 7) points 8 bytes below the word; rbx (3) holds 5; rax (0) is not held.
  crash_async_thread_state state_ =
      test::x86_64State({{CRASH_X86_64_RSP, address_ - 8}, {CRASH_X86_64_RBX, 5}, {CRASH_X86_64_RIP, 1}});
};

TEST_F(DwarfExpression, OperationsOfTheSixtyFourBitForm) {
  const std::uint64_t m1 = ~0ull;
  const Bytes deref_size4 = Bytes().u8(0x0e).u64(address_).u8(0x94).u8(4);
  struct Case {
    const char* name;
    Bytes bytes;
    std::uint64_t value;
  } cases[] = {
      {"breg7 8, deref", Bytes{0x77, 0x08, 0x06}, 0x1122334455667788},
      {"bregx 7 8, deref", Bytes{0x92, 0x07, 0x08, 0x06}, 0x1122334455667788},
      {"xderef drops the address space", Bytes{0x30, 0x77, 0x08, 0x18}, 0x1122334455667788},
      {"deref_size 4", deref_size4, 0x55667788},
      {"xderef_size 1", Bytes().u8(0x30).u8(0x0e).u64(address_).u8(0x95).u8(1), 0x88},
      {"breg3 -2", Bytes{0x73, 0x7e}, 3},
      {"const1u", Bytes{0x08, 0xff}, 0xff},
      {"const1s", Bytes{0x09, 0xff}, m1},
      {"const2u", Bytes{0x0a, 0xff, 0xff}, 0xffff},
      {"const2s", Bytes{0x0b, 0xfe, 0xff}, m1 - 1},
      {"const4u", Bytes().u8(0x0c).u32(0xfffffff0), 0xfffffff0},
      {"const4s", Bytes().u8(0x0d).u32(0xfffffff0), m1 - 15},
      {"const8u", Bytes().u8(0x0e).u64(0x123456789abcdef0), 0x123456789abcdef0},
      {"const8s", Bytes().u8(0x0f).u64(m1), m1},
      {"constu", Bytes().u8(0x10).uleb(624485), 624485},
      {"consts", Bytes().u8(0x11).sleb(-3), m1 - 2},
      {"dup", Bytes{0x35, 0x12, 0x22}, 10},
      {"drop", Bytes{0x35, 0x36, 0x13}, 5},
      {"over", Bytes{0x35, 0x36, 0x14}, 5},
      {"pick 2", Bytes{0x35, 0x36, 0x37, 0x15, 0x02}, 5},
      {"swap", Bytes{0x35, 0x36, 0x16, 0x1c}, 1},
      {"rot", Bytes{0x31, 0x32, 0x33, 0x17, 0x13, 0x13}, 3},  // 1 2 3 (top) becomes 3 1 2
      {"abs", Bytes{0x11, 0x7b, 0x19}, 5},
      {"and", Bytes{0x3c, 0x3a, 0x1a}, 8},
      {"div is signed", Bytes{0x11, 0x7a, 0x32, 0x1b}, m1 - 2},
      {"minus", Bytes{0x30, 0x31, 0x1c}, m1},
      {"mod is unsigned", Bytes{0x11, 0x7f, 0x3a, 0x1d}, (m1 % 10)},
      {"mul", Bytes{0x37, 0x36, 0x1e}, 42},
      {"neg", Bytes{0x35, 0x1f}, m1 - 4},
      {"not", Bytes{0x30, 0x20}, m1},
      {"or", Bytes{0x34, 0x31, 0x21}, 5},
      {"plus", Bytes{0x34, 0x31, 0x22}, 5},
      {"plus_uconst", Bytes{0x34, 0x23, 0x80, 0x01}, 132},
      {"shl", Bytes{0x31, 0x3f, 0x24}, 1ull << 15},
      {"shl by the width wraps the count", Bytes{0x31, 0x08, 0x41, 0x24}, 2},
      {"shr fills with zeros", Bytes{0x11, 0x7f, 0x3f, 0x25}, m1 >> 15},
      {"shra fills with the sign", Bytes{0x11, 0x7f, 0x3f, 0x26}, m1},
      {"xor", Bytes{0x3c, 0x3a, 0x27}, 6},
      {"lt is signed", Bytes{0x30, 0x31, 0x1c, 0x30, 0x2d}, 1},
      {"eq", Bytes{0x33, 0x33, 0x29}, 1},
      {"ge", Bytes{0x32, 0x33, 0x2a}, 0},
      {"gt", Bytes{0x33, 0x32, 0x2b}, 1},
      {"le", Bytes{0x33, 0x33, 0x2c}, 1},
      {"ne", Bytes{0x33, 0x33, 0x2e}, 0},
      {"skip over a literal", Bytes{0x31, 0x2f, 0x01, 0x00, 0x32}, 1},
      {"bra taken", Bytes{0x31, 0x31, 0x28, 0x01, 0x00, 0x32}, 1},
      {"bra not taken", Bytes{0x31, 0x30, 0x28, 0x01, 0x00, 0x32}, 2},
      {"bra backwards counts down", Bytes{0x33, 0x31, 0x1c, 0x12, 0x28, 0xfa, 0xff}, 0},
      {"lit31", Bytes{0x4f}, 31},
      {"nop", Bytes{0x33, 0x96}, 3},
      {"most negative divided by -1 wraps", Bytes().u8(0x0e).u64(1ull << 63).u8(0x11).sleb(-1).u8(0x1b), 1ull << 63},
  };
  for (const Case& c : cases) {
    const Eval result = eval<std::uint64_t>(c.bytes, state_);
    ASSERT_EQ(result.status, CRASH_ESUCCESS) << c.name;
    EXPECT_EQ(result.value, c.value) << c.name;
  }
}

TEST_F(DwarfExpression, InitialValuesAndTheThirtyTwoBitForm) {
  EXPECT_EQ(eval<std::uint64_t>(Bytes{0x23, 0x08}, state_, {100}).value, 108u);
  EXPECT_EQ(eval<std::uint64_t>(Bytes{0x1c}, state_, {7, 3}).value, 4u);  // pushed in order: 7 - 3
  EXPECT_EQ(eval<std::uint64_t>(Bytes{}, state_, {9}).value, 9u);

  // 32-bit values: constants are truncated, arithmetic wraps at 2^32, deref reads four bytes.
  crash_async_thread_state narrow;
  crash_async_thread_state_init(&narrow, kernel::CPU_TYPE_X86);
  crash_async_thread_state_set_reg(&narrow, CRASH_X86_EBX, 0xfffffffe);
  struct Case {
    const char* name;
    Bytes bytes;
    std::uint64_t value;
  } cases[] = {
      {"const8u truncated", Bytes().u8(0x0e).u64(0x1122334455667788), 0x55667788},
      {"breg3 wraps", Bytes{0x73, 0x04}, 2},
      {"neg", Bytes{0x31, 0x1f}, 0xffffffff},
      {"shr of a negative", Bytes{0x11, 0x7f, 0x3c, 0x25}, 0x000fffff},
      {"shra", Bytes{0x11, 0x70, 0x32, 0x26}, 0xfffffffc},
      {"lt is signed", Bytes{0x11, 0x7f, 0x30, 0x2d}, 1},
  };
  for (const Case& c : cases) {
    const Eval result = eval<std::uint32_t>(c.bytes, narrow);
    ASSERT_EQ(result.status, CRASH_ESUCCESS) << c.name;
    EXPECT_EQ(result.value, c.value) << c.name;
  }
  test::StderrCapture quiet;
  EXPECT_EQ(eval<std::uint32_t>(Bytes{0x30, 0x94, 0x08}, narrow).status, CRASH_EINVAL);  // wider than a 32-bit word
}

TEST_F(DwarfExpression, MalformedExpressionsStopWithACode) {
  Bytes hundred_and_one;
  for (int i = 0; i < 101; ++i) hundred_and_one.u8(0x30);
  Bytes endless{0x31, 0x28, 0xfc, 0xff};  // lit1; bra back to the lit1, forever
  struct Case {
    const char* name;
    Bytes bytes;
    crash_error_t status;
    const char* log;
  } cases[] = {
      {"empty", Bytes{}, CRASH_EINVAL, "Expression did not provide a result value."},
      {"divide by zero", Bytes{0x31, 0x30, 0x1b}, CRASH_EINVAL, "DW_OP_div attempted divide by zero"},
      {"mod by zero", Bytes{0x31, 0x30, 0x1d}, CRASH_EINVAL, "DW_OP_mod attempted divide by zero"},
      {"101 pushes", hundred_and_one, CRASH_EINTERNAL, "Hit stack limit; cannot push further values"},
      {"plus on one value", Bytes{0x31, 0x22}, CRASH_EINTERNAL, "Pop on an empty stack"},
      {"dup on nothing", Bytes{0x12}, CRASH_EINVAL, "DW_OP_dup on an empty stack"},
      {"drop on nothing", Bytes{0x13}, CRASH_EINVAL, "DW_OP_drop on an empty stack"},
      {"over on one", Bytes{0x31, 0x14}, CRASH_EINVAL, "DW_OP_over on stack with < 2 elements"},
      {"pick too deep", Bytes{0x31, 0x15, 0x01}, CRASH_EINVAL, "DW_OP_pick on invalid index"},
      {"swap on one", Bytes{0x31, 0x16}, CRASH_EINVAL, "DW_OP_swap on stack with < 2 elements"},
      {"rot on two", Bytes{0x31, 0x31, 0x17}, CRASH_EINVAL, "DW_OP_rot on stack with < 3 elements"},
      {"xderef on one", Bytes{0x31, 0x18}, CRASH_EINVAL, "DW_OP_xderef on stack with < 2 elements"},
      {"xderef_size on one", Bytes{0x31, 0x95, 0x01}, CRASH_EINVAL, "DW_OP_xderef_size on stack with < 2 elements"},
      {"bra out of range", Bytes{0x31, 0x28, 0x10, 0x00}, CRASH_EINVAL, "DW_OP_bra offset 16 falls outside"},
      {"skip out of range", Bytes{0x2f, 0xf0, 0xff}, CRASH_EINVAL, "DW_OP_skip offset -16 falls outside"},
      {"endless loop", endless, CRASH_EINVAL, "Expression exceeded 10000 operations"},
      {"cut constant", Bytes{0x0c, 0x01, 0x02}, CRASH_EINVAL, "Read of size 4 exceeds mapped range"},
      {"cut sleb", Bytes{0x11, 0x80}, CRASH_EINVAL, "Read of SLEB128 value failed"},
      {"deref of nothing", Bytes{0x38, 0x06}, CRASH_ENOTFOUND, "DW_OP_deref referenced an invalid target address 0x8"},
      {"deref_size 3", Bytes{0x77, 0x08, 0x94, 0x03}, CRASH_EINVAL, "specified an unsupported size of 3"},
      {"deref_size 16", Bytes{0x77, 0x08, 0x94, 0x10}, CRASH_EINVAL, "a size larger than the native machine word"},
      {"deref_size of nothing", Bytes{0x38, 0x94, 0x02}, CRASH_ENOTFOUND, "DW_OP_deref_size referenced an invalid"},
      {"register not held", Bytes{0x70, 0x00}, CRASH_ENOTFOUND, "Register value of rax unavailable in the current frame."},
      {"unknown register", Bytes{0x92, 0x63, 0x00}, CRASH_ENOTSUP, "Unsupported DWARF register value of 0x63"},
      {"DW_OP_addr", Bytes().u8(0x03).u64(0), CRASH_ENOTSUP, "Unsupported opcode 0x3"},
      {"DW_OP_reg0", Bytes{0x50}, CRASH_ENOTSUP, "Unsupported opcode 0x50"},
      {"DW_OP_piece", Bytes{0x93, 0x08}, CRASH_ENOTSUP, "Unsupported opcode 0x93"},
      {"DW_OP_call_frame_cfa", Bytes{0x9c}, CRASH_ENOTSUP, "Unsupported opcode 0x9c"},
  };
  for (const Case& c : cases) {
    test::StderrCapture capture;
    EXPECT_EQ(eval<std::uint64_t>(c.bytes, state_).status, c.status) << c.name;
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.name;
  }
}

}  // namespace
