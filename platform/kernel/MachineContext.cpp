#include "platform/kernel/MachineContext.h"

#include <ucontext.h>

namespace kernel {

void machine_context_from_ucontext(const void* ucontext, x86_mcontext64* out) {
  const greg_t* g = static_cast<const ucontext_t*>(ucontext)->uc_mcontext.gregs;
  auto reg = [g](int index) { return static_cast<std::uint64_t>(g[index]); };

  x86_thread_state64& ss = out->ss;
  ss.rax = reg(REG_RAX);
  ss.rbx = reg(REG_RBX);
  ss.rcx = reg(REG_RCX);
  ss.rdx = reg(REG_RDX);
  ss.rdi = reg(REG_RDI);
  ss.rsi = reg(REG_RSI);
  ss.rbp = reg(REG_RBP);
  ss.rsp = reg(REG_RSP);
  ss.r8 = reg(REG_R8);
  ss.r9 = reg(REG_R9);
  ss.r10 = reg(REG_R10);
  ss.r11 = reg(REG_R11);
  ss.r12 = reg(REG_R12);
  ss.r13 = reg(REG_R13);
  ss.r14 = reg(REG_R14);
  ss.r15 = reg(REG_R15);
  ss.rip = reg(REG_RIP);
  ss.rflags = reg(REG_EFL);
  // One word holds the selectors: cs in bits 0-15, gs in 16-31, fs in 32-47.
  const std::uint64_t selectors = reg(REG_CSGSFS);
  ss.cs = selectors & 0xFFFF;
  ss.gs = (selectors >> 16) & 0xFFFF;
  ss.fs = (selectors >> 32) & 0xFFFF;

  out->es.trapno = static_cast<std::uint16_t>(reg(REG_TRAPNO));
  out->es.cpu = 0;
  out->es.err = static_cast<std::uint32_t>(reg(REG_ERR));
  out->es.faultvaddr = reg(REG_CR2);
}

}  // namespace kernel
