#include "crash/engine/CrashAsyncDwarfCFAState.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/crash/engine/StderrCapture.h"
#include "tests/crash/engine/UnwindSupport.h"

namespace {

using namespace crash::async;
using test::Bytes;
using test::MappedBytes;

using State = dwarf_cfa_state<std::uint64_t>;

crash_async_dwarf_cie_info<std::uint64_t> x86_64Cie() {
  crash_async_dwarf_cie_info<std::uint64_t> cie{};
  cie.code_alignment_factor = 1;
  cie.data_alignment_factor = -8;
  cie.return_address_register = 16;
  return cie;
}

// Runs `program` on `state` for target `pc` from location 0x1000.
crash_error_t run(State* state, const Bytes& program, std::uint64_t pc = 0,
                  const crash_async_dwarf_cie_info<std::uint64_t>& cie = x86_64Cie()) {
  MappedBytes mobj(program);
  const gnu_ehptr_reader<std::uint64_t> reader(&crash_async_byteorder_direct);
  return state->eval_program(mobj.get(), pc, 0x1000, &cie, &reader, &crash_async_byteorder_direct, mobj.address(), 0,
                             program.size());
}

struct Rule {
  crash_dwarf_cfa_reg_rule_t rule;
  std::uint64_t value;
  bool operator==(const Rule& other) const { return rule == other.rule && value == other.value; }
};

std::map<std::uint32_t, Rule> rules(const State& state) {
  std::map<std::uint32_t, Rule> result;
  dwarf_cfa_state_iterator<std::uint64_t> iterator(&state);
  std::uint32_t regnum = 0;
  crash_dwarf_cfa_reg_rule_t rule;
  std::uint64_t value = 0;
  while (iterator.next(&regnum, &rule, &value)) {
    EXPECT_EQ(result.count(regnum), 0u) << "visited twice: " << regnum;
    result[regnum] = {rule, value};
  }
  EXPECT_EQ(result.size(), state.get_register_count());
  return result;
}

TEST(DwarfCfaState, ThePoolHoldsOneHundredRegisters) {
  State state;
  for (std::uint32_t r = 0; r < 100; ++r) ASSERT_TRUE(state.set_register(r * 7, CRASH_DWARF_CFA_REG_RULE_OFFSET, r));
  EXPECT_FALSE(state.set_register(1000, CRASH_DWARF_CFA_REG_RULE_OFFSET, 0));
  EXPECT_TRUE(state.set_register(7, CRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0));  // replacing needs no entry
  EXPECT_EQ(rules(state).size(), 100u);
  EXPECT_EQ(rules(state).at(7), (Rule{CRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0}));
  state.remove_register(14);
  state.remove_register(15);  // has no rule: nothing happens
  EXPECT_EQ(state.get_register_count(), 99u);
  EXPECT_TRUE(state.set_register(1000, CRASH_DWARF_CFA_REG_RULE_OFFSET, 0));

  Bytes program;
  for (std::uint32_t r = 0; r < 101; ++r) program.u8(0x05).uleb(r).uleb(1);  // DW_CFA_offset_extended
  State fresh;
  test::StderrCapture capture;
  EXPECT_EQ(run(&fresh, program), CRASH_ENOMEM);
  EXPECT_NE(capture.text().find("Exhausted available register slots"), std::string::npos);
}

TEST(DwarfCfaState, RememberedRowsComeBackAndTheStackIsSixDeep) {
  State state;
  // def_cfa r7+8; r6 at cfa-16; remember; r6 same value, r3 at cfa-24, cfa offset 32; restore.
  ASSERT_EQ(run(&state, Bytes{0x0c, 0x07, 0x08, 0x86, 0x02, 0x0a}), CRASH_ESUCCESS);
  const auto remembered = rules(state);
  EXPECT_EQ(remembered.at(6), (Rule{CRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<std::uint64_t>(-16)}));
  ASSERT_EQ(run(&state, Bytes{0x08, 0x06, 0x83, 0x03, 0x0e, 0x20}), CRASH_ESUCCESS);
  EXPECT_EQ(rules(state).size(), 2u);
  EXPECT_EQ(state.get_cfa_rule().offset, 32u);
  ASSERT_EQ(run(&state, Bytes{0x0b}), CRASH_ESUCCESS);
  EXPECT_EQ(rules(state), remembered);
  EXPECT_EQ(state.get_cfa_rule().offset, 8u);

  State deep;
  test::StderrCapture capture;
  EXPECT_EQ(run(&deep, Bytes{0x0a, 0x0a, 0x0a, 0x0a, 0x0a}), CRASH_ESUCCESS);
  EXPECT_EQ(run(&deep, Bytes{0x0a}), CRASH_ENOMEM);
  State empty;
  EXPECT_EQ(run(&empty, Bytes{0x0b}), CRASH_EINVAL);
  const std::string log = capture.text();
  EXPECT_NE(log.find("DW_CFA_remember_state exeeded the allocated CFA stack size"), std::string::npos);
  EXPECT_NE(log.find("DW_CFA_restore_state was issued on an empty CFA stack"), std::string::npos);
}

TEST(DwarfCfaState, ManyRememberRestorePairsGiveTheirEntriesBack) {
  // Ten saved registers, then 40 remember/restore pairs around a changed rule, as compilers emit
  // for every early return of a large function: each remembered row holds ten entries, so the
  // pool would run dry after ten pairs if restoring did not return them.
  Bytes program{0x0c, 0x07, 0x10};
  for (std::uint8_t r = 0; r < 10; ++r) program.u8(0x80 | r).uleb(r + 2);
  for (int pair = 0; pair < 40; ++pair) program.u8(0x0a).u8(0x0e).uleb(64).u8(0x80 | 3).uleb(9).u8(0x0b);
  State state;
  ASSERT_EQ(run(&state, program), CRASH_ESUCCESS);
  EXPECT_EQ(state.get_register_count(), 10u);
  EXPECT_EQ(rules(state).at(3), (Rule{CRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<std::uint64_t>(-40)}));
  // And the pool is whole again: 90 more registers fit beside the ten.
  for (std::uint32_t r = 100; r < 190; ++r) ASSERT_TRUE(state.set_register(r, CRASH_DWARF_CFA_REG_RULE_OFFSET, 0));
}

TEST(DwarfCfaState, TheProgramStopsAtTheFirstAdvancePastTheTarget) {
  // def_cfa r7+8, advance 0x10, cfa offset 16, advance 1, cfa offset 24.
  const Bytes program{0x0c, 0x07, 0x08, 0x50, 0x0e, 0x10, 0x41, 0x0e, 0x18};
  struct Case {
    std::uint64_t pc;
    std::uint64_t offset;
  } cases[] = {{0x1000, 8}, {0x100f, 8}, {0x1010, 16}, {0x1011, 24}, {0, 24}};
  for (const Case& c : cases) {
    State state;
    ASSERT_EQ(run(&state, program, c.pc), CRASH_ESUCCESS);
    EXPECT_EQ(state.get_cfa_rule().regnum, 7u);
    EXPECT_EQ(state.get_cfa_rule().offset, c.offset) << std::hex << c.pc;
  }
}

TEST(DwarfCfaState, EveryInstructionSetsItsRule) {
  const std::uint64_t m8 = static_cast<std::uint64_t>(-8);
  struct Case {
    const char* name;
    Bytes program;
    std::uint32_t regnum;
    bool has_rule;
    Rule rule;
  } cases[] = {
      {"offset", Bytes{0x86, 0x02}, 6, true, {CRASH_DWARF_CFA_REG_RULE_OFFSET, 2 * m8}},
      {"offset_extended", Bytes{0x05, 0x10, 0x01}, 16, true, {CRASH_DWARF_CFA_REG_RULE_OFFSET, m8}},
      {"offset_extended_sf", Bytes{0x11, 0x03, 0x7d}, 3, true, {CRASH_DWARF_CFA_REG_RULE_OFFSET, 24}},
      {"val_offset", Bytes{0x14, 0x03, 0x02}, 3, true, {CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 2 * m8}},
      {"val_offset_sf", Bytes{0x15, 0x03, 0x7f}, 3, true, {CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 8}},
      {"register", Bytes{0x09, 0x03, 0x0c}, 3, true, {CRASH_DWARF_CFA_REG_RULE_REGISTER, 12}},
      {"same_value", Bytes{0x08, 0x03}, 3, true, {CRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0}},
      {"undefined", Bytes{0x83, 0x01, 0x07, 0x03}, 3, false, {}},
      {"restore to no rule", Bytes{0x83, 0x01, 0xc3}, 3, false, {}},
      {"restore_extended to no rule", Bytes{0x83, 0x01, 0x06, 0x03}, 3, false, {}},
      {"args_size is skipped", Bytes{0x2e, 0x80, 0x01, 0x83, 0x01}, 3, true, {CRASH_DWARF_CFA_REG_RULE_OFFSET, m8}},
      {"nop", Bytes{0x00, 0x00, 0x83, 0x01}, 3, true, {CRASH_DWARF_CFA_REG_RULE_OFFSET, m8}},
      // Advances past the target (0x1010) end the program before the rule.
      {"advance_loc1", Bytes{0x02, 0x11, 0x83, 0x01}, 3, false, {}},
      {"advance_loc2", Bytes{0x03, 0x11, 0x00, 0x83, 0x01}, 3, false, {}},
      {"advance_loc4", Bytes{0x04, 0x11, 0x00, 0x00, 0x00, 0x83, 0x01}, 3, false, {}},
      {"set_loc", Bytes{0x01, 0x00, 0x20, 0, 0, 0, 0, 0, 0, 0x83, 0x01}, 3, false, {}},
      {"set_loc within the range", Bytes{0x01, 0x10, 0x10, 0, 0, 0, 0, 0, 0, 0x83, 0x01}, 3, true,
       {CRASH_DWARF_CFA_REG_RULE_OFFSET, m8}},
  };
  for (const Case& c : cases) {
    State state;
    ASSERT_EQ(run(&state, c.program, 0x1010), CRASH_ESUCCESS) << c.name;
    const auto found = rules(state);
    ASSERT_EQ(found.count(c.regnum) == 1, c.has_rule) << c.name;
    if (c.has_rule) {
      EXPECT_EQ(found.at(c.regnum), c.rule) << c.name;
    }
  }

  // Expression rules keep the address of the length prefix and skip the expression.
  const Bytes program{0x10, 0x03, 0x02, 0x77, 0x08, 0x16, 0x06, 0x01, 0x96, 0x0f, 0x02, 0x77, 0x00, 0x83, 0x01};
  MappedBytes mobj(program);
  State state;
  const auto cie = x86_64Cie();
  ASSERT_EQ(state.eval_program(mobj.get(), 0, 0x1000, &cie, nullptr, &crash_async_byteorder_direct, mobj.address(), 0,
                               program.size()),
            CRASH_ESUCCESS);
  const auto found = rules(state);
  EXPECT_EQ(found.at(3), (Rule{CRASH_DWARF_CFA_REG_RULE_OFFSET, m8}));  // replaced by the last instruction
  EXPECT_EQ(found.at(6), (Rule{CRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION, mobj.address() + 7}));
  EXPECT_EQ(state.get_cfa_rule().type, DWARF_CFA_STATE_CFA_TYPE_EXPRESSION);
  EXPECT_EQ(state.get_cfa_rule().expression_address, mobj.address() + 11);
  EXPECT_EQ(state.get_cfa_rule().expression_length, 2u);
}

TEST(DwarfCfaState, CfaRules) {
  struct Case {
    const char* name;
    Bytes program;
    dwarf_cfa_rule_type type;
    std::uint32_t regnum;
    std::uint64_t offset;
  } cases[] = {
      {"def_cfa", Bytes{0x0c, 0x07, 0x08}, DWARF_CFA_STATE_CFA_TYPE_REGISTER, 7, 8},
      {"def_cfa_sf", Bytes{0x12, 0x07, 0x7e}, DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED, 7, 16},
      {"def_cfa_register keeps the offset", Bytes{0x12, 0x07, 0x7e, 0x0d, 0x06}, DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED,
       6, 16},
      {"def_cfa_offset makes it unsigned", Bytes{0x12, 0x07, 0x7e, 0x0e, 0x20}, DWARF_CFA_STATE_CFA_TYPE_REGISTER, 7, 32},
      {"def_cfa_offset_sf", Bytes{0x0c, 0x06, 0x08, 0x13, 0x01}, DWARF_CFA_STATE_CFA_TYPE_REGISTER_SIGNED, 6,
       static_cast<std::uint64_t>(-8)},
  };
  for (const Case& c : cases) {
    State state;
    ASSERT_EQ(run(&state, c.program), CRASH_ESUCCESS) << c.name;
    EXPECT_EQ(state.get_cfa_rule().type, c.type) << c.name;
    EXPECT_EQ(state.get_cfa_rule().regnum, c.regnum) << c.name;
    EXPECT_EQ(state.get_cfa_rule().offset, c.offset) << c.name;
  }
}

TEST(DwarfCfaState, MalformedProgramsStopWithACode) {
  auto segmented = x86_64Cie();
  segmented.segment_size = 4;
  struct Case {
    const char* name;
    Bytes program;
    crash_error_t status;
    const char* log;
    crash_async_dwarf_cie_info<std::uint64_t> cie = x86_64Cie();
  } cases[] = {
      {"opcode 0x17", Bytes{0x17}, CRASH_ENOTSUP, "Unsupported opcode 0x17"},
      {"window save", Bytes{0x2d}, CRASH_ENOTSUP, "Unsupported opcode 0x2d"},
      {"missing operand", Bytes{0x0c, 0x07}, CRASH_EINVAL, "Read of ULEB128 value failed"},
      {"missing signed operand", Bytes{0x11, 0x03}, CRASH_EINVAL, "Read of SLEB128 value failed"},
      {"cut advance", Bytes{0x03, 0x01}, CRASH_EINVAL, "Read of size 2 exceeds mapped range"},
      {"register past 32 bits", Bytes().u8(0x08).uleb(1ull << 32), CRASH_ENOTSUP,
       "exceeds DWARF_CFA_STATE_REGNUM_MAX"},
      {"def_cfa_offset without a CFA", Bytes{0x0e, 0x10}, CRASH_EINVAL, "non-register CFA rule state"},
      {"def_cfa_register without a CFA", Bytes{0x0d, 0x06}, CRASH_EINVAL,
       "DW_CFA_def_cfa_register emitted for a non-register CFA rule state"},
      {"def_cfa_register after an expression", Bytes{0x0f, 0x01, 0x96, 0x0d, 0x06}, CRASH_EINVAL, "non-register"},
      {"expression past the end", Bytes{0x10, 0x03, 0x05, 0x96}, CRASH_EINVAL, "runs past the end"},
      {"negative expression length", Bytes().u8(0x0f).uleb(~0ull), CRASH_ENOTSUP, "DWARF expression length exceeds"},
      {"set_loc with segments", Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0}, CRASH_ENOTSUP,
       "Segment support has not been implemented", segmented},
      {"cut set_loc", Bytes{0x01, 0x00}, CRASH_EINVAL, "DW_CFA_set_loc failed to read the target pointer value"},
  };
  for (const Case& c : cases) {
    State state;
    test::StderrCapture capture;
    EXPECT_EQ(run(&state, c.program, 0, c.cie), c.status) << c.name;
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.name;
  }
  // Ranges the object does not hold are refused before anything runs.
  const Bytes program{0x00};
  MappedBytes mobj(program);
  State state;
  const auto cie = x86_64Cie();
  test::StderrCapture capture;
  EXPECT_EQ(state.eval_program(mobj.get(), 0, 0, &cie, nullptr, &crash_async_byteorder_direct, mobj.address(), 0, 2),
            CRASH_EINVAL);
  EXPECT_EQ(state.eval_program(mobj.get(), 0, 0, &cie, nullptr, &crash_async_byteorder_direct, ~0ull, 2, 1),
            CRASH_EINVAL);
  const std::string log = capture.text();
  EXPECT_NE(log.find("range falls outside mapped pages"), std::string::npos);
  EXPECT_NE(log.find("Offset overflows base address"), std::string::npos);
}

TEST(DwarfCfaState, RestoreReturnsToTheRowTheCieLeft) {
  // The CIE saves r6; the FDE changes it and saves r3; DW_CFA_restore brings back the CIE's rule
  // for r6 and removes r3, which the CIE had no rule for.
  State state;
  ASSERT_EQ(run(&state, Bytes{0x0c, 0x07, 0x08, 0x86, 0x02}), CRASH_ESUCCESS);
  ASSERT_EQ(run(&state, Bytes{0x86, 0x05, 0x83, 0x04, 0xc6, 0x06, 0x03}), CRASH_ESUCCESS);
  const auto found = rules(state);
  EXPECT_EQ(found.size(), 1u);
  EXPECT_EQ(found.at(6), (Rule{CRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<std::uint64_t>(-16)}));
}

// Applying rows to a stack in memory.
class ApplyState : public ::testing::Test {
 protected:
  std::uint64_t at(std::size_t index) const { return reinterpret_cast<std::uint64_t>(&stack_[index]); }

  crash_error_t apply(const State& state, const crash_async_thread_state& current, crash_async_thread_state* next,
                      const crash_async_dwarf_cie_info<std::uint64_t>& cie = x86_64Cie()) {
    return state.apply_state(kernel::task_self(), &cie, &current, &crash_async_byteorder_direct, next);
  }

  std::vector<std::uint64_t> stack_ = std::vector<std::uint64_t>(64, 0);
};

TEST_F(ApplyState, RecoversTheCallerOfAFramePointerFrame) {
  // CFA = rbp + 16; rbp at CFA - 16, the return address at CFA - 8.
  stack_[10] = 0xf00d;
  stack_[11] = 0x401000;
  State state;
  state.set_cfa_register(6, 16);
  state.set_register(6, CRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<std::uint64_t>(-16));
  state.set_register(16, CRASH_DWARF_CFA_REG_RULE_OFFSET, static_cast<std::uint64_t>(-8));
  crash_async_thread_state current;
  crash_async_thread_state_mcontext_init(&current, &*std::make_unique<kernel::x86_mcontext64>());
  crash_async_thread_state_set_reg(&current, CRASH_X86_64_RBP, at(10));
  crash_async_thread_state_set_reg(&current, CRASH_X86_64_RBX, 0xb);
  crash_async_thread_state next;
  ASSERT_EQ(apply(state, current, &next), CRASH_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RSP), at(12));
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBP), 0xf00du);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0x401000u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBX), 0xbu);  // callee-saved, kept
  const std::uint64_t kept = (1ull << CRASH_X86_64_RIP) | (1ull << CRASH_X86_64_RBP) | (1ull << CRASH_X86_64_RSP) |
                             (1ull << CRASH_X86_64_RBX) | (1ull << CRASH_X86_64_R12) | (1ull << CRASH_X86_64_R13) |
                             (1ull << CRASH_X86_64_R14) | (1ull << CRASH_X86_64_R15);
  const std::uint64_t all = (1ull << CRASH_X86_64_REG_COUNT) - 1;
  EXPECT_EQ(next.valid_regs & all, kept);  // no volatile register survives
}

TEST_F(ApplyState, EveryRuleKind) {
  // Expressions live in memory: an expression rule points at its ULEB128 length.
  const Bytes cfa_expression{0x77, 0x20};              // DW_OP_breg7 32
  const Bytes plus_eight{0x01, 0x38, 0x02, 0x23, 0x08};  // (length 1: lit8), then (length 2: plus_uconst 8)
  stack_[4] = 0x1234;
  State state;
  state.set_cfa_expression(cfa_expression.address(), cfa_expression.size());
  state.set_register(3, CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 8);                        // rbx = CFA + 8
  state.set_register(12, CRASH_DWARF_CFA_REG_RULE_REGISTER, 13);                        // r12 = r13
  state.set_register(14, CRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0);                       // r14 = r14
  state.set_register(15, CRASH_DWARF_CFA_REG_RULE_VAL_EXPRESSION, plus_eight.address() + 2);  // CFA + 8
  state.set_register(6, CRASH_DWARF_CFA_REG_RULE_EXPRESSION, plus_eight.address());      // read at 8
  state.set_register(16, CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 0);                       // rip = CFA
  const auto current = test::x86_64State(
      {{CRASH_X86_64_RIP, 1}, {CRASH_X86_64_RSP, at(0)}, {CRASH_X86_64_R13, 0xd}, {CRASH_X86_64_R14, 0xe}});
  crash_async_thread_state next;
  // The expression for rbp pushes 8 over the CFA and leaves it on top: rbp is read at address 8,
  // which is unmapped.
  EXPECT_EQ(apply(state, current, &next), CRASH_ENOTFOUND);
  state.remove_register(6);
  ASSERT_EQ(apply(state, current, &next), CRASH_ESUCCESS);
  const std::uint64_t cfa = at(4);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RSP), cfa);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBX), cfa + 8);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_R12), 0xdu);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_R14), 0xeu);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_R15), cfa + 8);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), cfa);

  // An expression rule reads memory at what it computes: CFA + 8 - 8 + 0 holds 0x1234.
  const Bytes at_cfa{0x01, 0x96};  // length 1: DW_OP_nop, leaving the CFA
  state.set_register(6, CRASH_DWARF_CFA_REG_RULE_EXPRESSION, at_cfa.address());
  ASSERT_EQ(apply(state, current, &next), CRASH_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RBP), 0x1234u);
}

TEST_F(ApplyState, ReturnAddressColumnOfAThirtyTwoBitCie) {
  // On i386 the return-address column (8) is eip itself.
  dwarf_cfa_state<std::uint32_t> state;
  state.set_cfa_register(5, 4);  // esp + 4
  state.set_register(8, CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 0x100);
  crash_async_thread_state current;
  crash_async_thread_state_init(&current, kernel::CPU_TYPE_X86);
  crash_async_thread_state_set_reg(&current, CRASH_X86_ESP, 0x1000);
  crash_async_thread_state_set_reg(&current, CRASH_X86_EIP, 0x2000);
  crash_async_dwarf_cie_info<std::uint32_t> cie{};
  cie.return_address_register = 8;
  crash_async_thread_state next;
  ASSERT_EQ(state.apply_state(kernel::task_self(), &cie, &current, &crash_async_byteorder_direct, &next), CRASH_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_ESP), 0x1004u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_EIP), 0x1104u);

  // Without a rule, the return-address register's current value is the caller's eip.
  dwarf_cfa_state<std::uint32_t> bare;
  bare.set_cfa_register(5, 4);
  ASSERT_EQ(bare.apply_state(kernel::task_self(), &cie, &current, &crash_async_byteorder_direct, &next), CRASH_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_EIP), 0x2000u);
}

// A thread's entry point leaves the return-address column undefined (DW_CFA_undefined): the
// frame has no caller, said with an instruction pointer of 0 and no diagnostic.
TEST_F(ApplyState, AnUndefinedReturnAddressEndsTheStack) {
  State state;
  state.set_cfa_register(7, 8);
  const auto current = test::x86_64State({{CRASH_X86_64_RIP, 0x401000}, {CRASH_X86_64_RSP, at(0)}});
  crash_async_thread_state next;
  test::StderrCapture capture;
  ASSERT_EQ(apply(state, current, &next), CRASH_ESUCCESS);
  EXPECT_TRUE(crash_async_thread_state_has_reg(&next, CRASH_X86_64_RIP));
  EXPECT_EQ(crash_async_thread_state_get_reg(&next, CRASH_X86_64_RIP), 0u);
  EXPECT_EQ(capture.text(), "");
}

TEST_F(ApplyState, RowsThatCannotBeApplied) {
  const auto current = test::x86_64State({{CRASH_X86_64_RIP, 1}, {CRASH_X86_64_RSP, at(0)}});
  struct Case {
    const char* name;
    void (*build)(State*, std::uint64_t cfa);  // cfa: what rsp + 8 gives
    crash_error_t status;
    const char* log;
  } cases[] = {
      {"no CFA", [](State*, std::uint64_t) {}, CRASH_EINVAL, "No canonical frame address specified"},
      {"CFA in an unknown register", [](State* s, std::uint64_t) { s->set_cfa_register(99, 0); }, CRASH_ENOTSUP,
       "CFA rule references an unsupported DWARF register: 0x63"},
      {"CFA in a register the frame lacks", [](State* s, std::uint64_t) { s->set_cfa_register(6, 0); }, CRASH_ENOTFOUND,
       "not available from the current thread state: rbp"},
      {"rule for an unknown register",
       [](State* s, std::uint64_t) {
         s->set_cfa_register(7, 8);
         s->set_register(99, CRASH_DWARF_CFA_REG_RULE_VAL_OFFSET, 0);
       },
       CRASH_EINVAL, "Register rule references an unsupported DWARF register: 0x63"},
      {"register rule from a register the frame lacks",
       [](State* s, std::uint64_t) {
         s->set_cfa_register(7, 8);
         s->set_register(3, CRASH_DWARF_CFA_REG_RULE_REGISTER, 12);
       },
       CRASH_ENOTFOUND, "not available from the current thread state: r12"},
      {"same value the frame lacks",
       [](State* s, std::uint64_t) {
         s->set_cfa_register(7, 8);
         s->set_register(3, CRASH_DWARF_CFA_REG_RULE_SAME_VALUE, 0);
       },
       CRASH_ENOTFOUND, "Same-value rule references a register"},
      {"unreadable saved register",
       [](State* s, std::uint64_t cfa) {
         s->set_cfa_register(7, 8);
         s->set_register(3, CRASH_DWARF_CFA_REG_RULE_OFFSET, 16 - cfa);  // saved at address 16
       },
       CRASH_ENOTFOUND, "Failed to read offset(N) register value"},
      {"return address in a register the frame lacks",
       [](State* s, std::uint64_t) { s->set_cfa_register(7, 8); }, CRASH_EINVAL,
       "CIE return_address_register references a register that is not available from the current thread state: r12"},
  };
  // The last case's CIE keeps the return address in r12, which the frame does not hold.
  auto cie = x86_64Cie();
  cie.return_address_register = 12;
  for (const Case& c : cases) {
    State state;
    c.build(&state, at(0) + 8);
    crash_async_thread_state next;
    test::StderrCapture capture;
    EXPECT_EQ(apply(state, current, &next, cie), c.status) << c.name;
    EXPECT_NE(capture.text().find(c.log), std::string::npos) << c.name;
  }
}

}  // namespace
