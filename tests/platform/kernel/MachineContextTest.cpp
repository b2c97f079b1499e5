#include "platform/kernel/MachineContext.h"

#include <gtest/gtest.h>
#include <ucontext.h>

namespace {

// Every kernel register slot gets its own value, so a register read from the wrong slot shows.
TEST(MachineContext, ReordersTheKernelRegistersIntoTheEngineLayout) {
  ucontext_t context{};
  for (int i = 0; i < NGREG; ++i) context.uc_mcontext.gregs[i] = 0x1000 + i;
  context.uc_mcontext.gregs[REG_CSGSFS] = 0x0000'002b'0000'0033;  // fs 0x2b, gs 0, cs 0x33

  kernel::x86_mcontext64 out{};
  kernel::machine_context_from_ucontext(&context, &out);
  const struct {
    std::uint64_t actual;
    int slot;
  } registers[] = {
      {out.ss.rax, REG_RAX}, {out.ss.rbx, REG_RBX}, {out.ss.rcx, REG_RCX}, {out.ss.rdx, REG_RDX},
      {out.ss.rdi, REG_RDI}, {out.ss.rsi, REG_RSI}, {out.ss.rbp, REG_RBP}, {out.ss.rsp, REG_RSP},
      {out.ss.r8, REG_R8},   {out.ss.r9, REG_R9},   {out.ss.r10, REG_R10}, {out.ss.r11, REG_R11},
      {out.ss.r12, REG_R12}, {out.ss.r13, REG_R13}, {out.ss.r14, REG_R14}, {out.ss.r15, REG_R15},
      {out.ss.rip, REG_RIP}, {out.ss.rflags, REG_EFL}, {out.es.faultvaddr, REG_CR2},
  };
  for (const auto& r : registers) EXPECT_EQ(r.actual, 0x1000u + r.slot) << "slot " << r.slot;
  EXPECT_EQ(out.ss.cs, 0x33u);
  EXPECT_EQ(out.ss.gs, 0u);
  EXPECT_EQ(out.ss.fs, 0x2bu);
  EXPECT_EQ(out.es.trapno, 0x1000 + REG_TRAPNO);
  EXPECT_EQ(out.es.err, 0x1000u + REG_ERR);
  EXPECT_EQ(out.es.cpu, 0);
}

}  // namespace
