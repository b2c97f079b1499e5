#include "crash/engine/CrashAsyncThreadState.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/kernel/Sysctl.h"
#include "platform/kernel/ThreadControl.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/support/SpinningThread.h"

// A caller without a frame: it moves its stack pointer by 8 for the call's alignment and keeps
// rbp untouched. It records its stack pointer at the call and its own return address in
// out[0] and out[1].
asm(R"(
    .text
    .globl qm_test_capture_frameless
    .type qm_test_capture_frameless, @function
qm_test_capture_frameless:
    subq $8, %rsp
    movq %rsp, (%rdx)
    movq 8(%rsp), %rax
    movq %rax, 8(%rdx)
    call crash_async_thread_state_current@PLT
    .globl qm_test_capture_frameless_return
qm_test_capture_frameless_return:
    addq $8, %rsp
    ret
    .size qm_test_capture_frameless, .-qm_test_capture_frameless
)");

extern "C" crash_error_t qm_test_capture_frameless(crash_async_thread_state_current_callback callback,
                                                   void* context, std::uint64_t* out);
extern "C" char qm_test_capture_frameless_return[];

namespace {

crash_async_thread_state fullX86_64() {
  crash_async_thread_state state;
  crash_async_thread_state_init(&state, kernel::CPU_TYPE_X86_64);
  for (int id = 0; id < CRASH_X86_64_REG_COUNT; ++id) crash_async_thread_state_set_reg(&state, id, 0x100 + id);
  return state;
}

TEST(ThreadState, InitialisersSetTheLayout) {
  crash_async_thread_state state;
  ASSERT_EQ(crash_async_thread_state_init(&state, kernel::CPU_TYPE_X86), CRASH_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg_count(&state), 16u);
  EXPECT_EQ(crash_async_thread_state_get_greg_size(&state), 4u);
  EXPECT_EQ(crash_async_thread_state_get_stack_direction(&state), CRASH_ASYNC_STACK_DIRECTION_DOWN);
  EXPECT_EQ(state.thread.header.flavor, 1);
  EXPECT_EQ(state.exception.header.count, 3);

  ASSERT_EQ(crash_async_thread_state_init(&state, kernel::CPU_TYPE_X86_64), CRASH_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_reg_count(&state), 21u);
  EXPECT_EQ(crash_async_thread_state_get_greg_size(&state), 8u);
  for (int id = 0; id < 21; ++id) EXPECT_FALSE(crash_async_thread_state_has_reg(&state, id)) << id;

  EXPECT_EQ(crash_async_thread_state_init(&state, 12), CRASH_ENOTSUP);
  EXPECT_EQ(state.greg_size, 0u);
  EXPECT_EQ(state.stack_direction, 0u);
}

TEST(ThreadState, RegistersKeepTheirValuesAndValidity) {
  crash_async_thread_state state = fullX86_64();
  EXPECT_EQ(crash_async_thread_state_get_reg(&state, CRASH_X86_64_RSP), 0x102u);
  EXPECT_EQ(state.thread.state64.rsp, 0x102u);
  EXPECT_EQ(state.thread.state64.gs, 0x100u + CRASH_X86_64_GS);

  crash_async_thread_state_clear_reg(&state, CRASH_X86_64_RAX);
  EXPECT_FALSE(crash_async_thread_state_has_reg(&state, CRASH_X86_64_RAX));
  EXPECT_EQ(crash_async_thread_state_get_reg(&state, CRASH_X86_64_RAX), 0x103u);

  crash_async_thread_state copy;
  crash_async_thread_state_copy(&copy, &state);
  crash_async_thread_state_clear_all_regs(&state);
  EXPECT_EQ(state.valid_regs, 0u);
  EXPECT_TRUE(crash_async_thread_state_has_reg(&copy, CRASH_X86_64_RBX));

  // i386 keeps 32 bits, and trapno 16 bits of the exception state.
  crash_async_thread_state narrow;
  crash_async_thread_state_init(&narrow, kernel::CPU_TYPE_X86);
  crash_async_thread_state_set_reg(&narrow, CRASH_X86_EIP, 0x1122334455667788ull);
  crash_async_thread_state_set_reg(&narrow, CRASH_X86_TRAPNO, 0x12345);
  crash_async_thread_state_set_reg(&narrow, CRASH_X86_EDX, 7);
  EXPECT_EQ(crash_async_thread_state_get_reg(&narrow, CRASH_X86_EIP), 0x55667788u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&narrow, CRASH_X86_TRAPNO), 0x2345u);
  EXPECT_EQ(narrow.exception.state32.trapno, 0x2345);
  EXPECT_EQ(narrow.thread.state32.edx, 7u);
  EXPECT_EQ(narrow.valid_regs, (1u << CRASH_X86_EIP) | (1u << CRASH_X86_TRAPNO) | (1u << CRASH_X86_EDX));
}

TEST(ThreadState, ClearingVolatileRegistersKeepsTheCalleePreservedOnes) {
  crash_async_thread_state wide = fullX86_64();
  crash_async_thread_state_clear_volatile_regs(&wide);
  EXPECT_EQ(wide.valid_regs, (1u << CRASH_X86_64_RBX) | (1u << CRASH_X86_64_RSP) | (1u << CRASH_X86_64_RBP) |
                                 (1u << CRASH_X86_64_R12) | (1u << CRASH_X86_64_R13) |
                                 (1u << CRASH_X86_64_R14) | (1u << CRASH_X86_64_R15));

  crash_async_thread_state narrow;
  crash_async_thread_state_init(&narrow, kernel::CPU_TYPE_X86);
  for (int id = 0; id < CRASH_X86_REG_COUNT; ++id) crash_async_thread_state_set_reg(&narrow, id, id);
  crash_async_thread_state_clear_reg(&narrow, CRASH_X86_ESI);
  crash_async_thread_state_clear_volatile_regs(&narrow);
  EXPECT_EQ(narrow.valid_regs, (1u << CRASH_X86_EBX) | (1u << CRASH_X86_EBP) | (1u << CRASH_X86_EDI) |
                                   (1u << CRASH_X86_ESP));
}

TEST(ThreadState, NamesAndDwarfNumbers) {
  crash_async_thread_state wide, narrow;
  crash_async_thread_state_init(&wide, kernel::CPU_TYPE_X86_64);
  crash_async_thread_state_init(&narrow, kernel::CPU_TYPE_X86);
  struct Case {
    crash_async_thread_state* state;
    crash_regnum_t id;
    const char* name;
    int dwarf;  // -1: none
  };
  const Case cases[] = {
      {&wide, CRASH_X86_64_RIP, "rip", -1},      {&wide, CRASH_X86_64_RBP, "rbp", 6},
      {&wide, CRASH_X86_64_RSP, "rsp", 7},       {&wide, CRASH_X86_64_RDX, "rdx", 1},
      {&wide, CRASH_X86_64_RSI, "rsi", 4},       {&wide, CRASH_X86_64_R15, "r15", 15},
      {&wide, CRASH_X86_64_RFLAGS, "rflags", 49}, {&wide, CRASH_X86_64_GS, "gs", 55},
      {&narrow, CRASH_X86_EIP, "eip", 8},        {&narrow, CRASH_X86_EBP, "ebp", 4},
      {&narrow, CRASH_X86_EDX, "edx", 2},        {&narrow, CRASH_X86_EDI, "edi", 7},
      {&narrow, CRASH_X86_EFLAGS, "eflags", -1}, {&narrow, CRASH_X86_TRAPNO, "trapno", -1},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(crash_async_thread_state_get_reg_name(c.state, c.id), c.name);
    std::uint64_t dwarf = 999;
    EXPECT_EQ(crash_async_thread_state_map_reg_to_dwarf(c.state, c.id, &dwarf), c.dwarf >= 0) << c.name;
    if (c.dwarf < 0) continue;
    EXPECT_EQ(dwarf, static_cast<std::uint64_t>(c.dwarf)) << c.name;
    crash_regnum_t id = -1;
    EXPECT_TRUE(crash_async_thread_state_map_dwarf_to_reg(c.state, dwarf, &id)) << c.name;
    EXPECT_EQ(id, c.id) << c.name;
  }
  crash_regnum_t id = -1;
  EXPECT_FALSE(crash_async_thread_state_map_dwarf_to_reg(&wide, 16, &id));  // return-address column
  EXPECT_FALSE(crash_async_thread_state_map_dwarf_to_reg(&narrow, 9, &id));
}

TEST(ThreadStateDeathTest, UnknownRegisterIdAborts) {
  crash_async_thread_state state;
  crash_async_thread_state_init(&state, kernel::CPU_TYPE_X86);
  EXPECT_DEATH(crash_async_thread_state_get_reg_name(&state, 16), "Missing register name for register id: 16");
}

TEST(ThreadState, MachineContextFillsEveryRegisterAndTheWholeMask) {
  kernel::x86_mcontext64 context{};
  context.ss.rip = 0x401000;
  context.ss.r13 = 13;
  context.es.faultvaddr = 0xdead;
  context.es.trapno = 14;
  crash_async_thread_state state;
  crash_async_thread_state_mcontext_init(&state, &context);
  EXPECT_EQ(state.valid_regs, ~std::uint64_t{0});
  EXPECT_EQ(crash_async_thread_state_get_reg(&state, CRASH_X86_64_RIP), 0x401000u);
  EXPECT_EQ(crash_async_thread_state_get_reg(&state, CRASH_X86_64_R13), 13u);
  EXPECT_EQ(state.exception.state64.faultvaddr, 0xdeadu);
  EXPECT_EQ(state.exception.state64.trapno, 14);
  EXPECT_EQ(state.exception.header.flavor, kernel::x86_EXCEPTION_STATE64);
  EXPECT_EQ(crash_async_thread_state_get_greg_size(&state), 8u);
}

TEST(ThreadState, SuspendedThreadIsReadWithItsInstructionPointer) {
  test::SpinningThread spinner;
  crash_async_thread_state state;
  test::StderrCapture capture;
  EXPECT_EQ(crash_async_thread_state_mach_thread_init(&state, spinner.tid()), CRASH_EINTERNAL);
  EXPECT_NE(capture.text().find(": Fetch of x86 thread state failed with Mach error: 5\n"), std::string::npos);

  ASSERT_EQ(kernel::thread_suspend(spinner.tid()), kernel::KERN_SUCCESS);
  const crash_error_t result = crash_async_thread_state_mach_thread_init(&state, spinner.tid());
  kernel::thread_resume(spinner.tid());
  ASSERT_EQ(result, CRASH_ESUCCESS);
  EXPECT_EQ(crash_async_thread_state_get_greg_size(&state), 8u);
  EXPECT_EQ(state.valid_regs, ~std::uint64_t{0});
  const std::uint64_t rip = crash_async_thread_state_get_reg(&state, CRASH_X86_64_RIP);
  EXPECT_GE(rip, test::SpinningThread::codeStart());
  EXPECT_LT(rip, test::SpinningThread::codeEnd());
  EXPECT_EQ(crash_async_thread_state_get_reg(&state, CRASH_X86_64_RDI), spinner.argument());
}

struct Capture {
  crash_async_thread_state state;
  std::uint64_t callerReturnAddress = 0;  // unwound from the captured stack pointer
  int calls = 0;
};

// The frameless caller's frame is 8 bytes, so its return address lies just above them. Read
// while that frame is still live.
crash_error_t keep(crash_async_thread_state* state, void* context) {
  auto* capture = static_cast<Capture*>(context);
  crash_async_thread_state_copy(&capture->state, state);
  const std::uint64_t rsp = crash_async_thread_state_get_reg(state, CRASH_X86_64_RSP);
  crash_async_task_memcpy(kernel::task_self(), rsp, 8, &capture->callerReturnAddress, 8);
  ++capture->calls;
  return 42;
}

// Frame pointer of this function (its use forces one), compared with the captured rbp.
__attribute__((noinline)) std::uint64_t captureThroughFramelessCaller(Capture* capture, std::uint64_t* out,
                                                                       crash_error_t* result) {
  *result = qm_test_capture_frameless(keep, capture, out);
  return reinterpret_cast<std::uint64_t>(__builtin_frame_address(0));
}

TEST(ThreadState, CurrentThreadIsCapturedAsItsCallerSeesItAfterTheCall) {
  Capture capture;
  std::uint64_t caller[2] = {};
  crash_error_t result = 0;
  const std::uint64_t framePointer = captureThroughFramelessCaller(&capture, caller, &result);

  EXPECT_EQ(result, 42);
  EXPECT_EQ(capture.calls, 1);
  const crash_async_thread_state& s = capture.state;
  EXPECT_EQ(s.valid_regs, ~std::uint64_t{0});
  EXPECT_EQ(crash_async_thread_state_get_reg(&s, CRASH_X86_64_RIP),
            reinterpret_cast<std::uint64_t>(qm_test_capture_frameless_return));
  EXPECT_EQ(crash_async_thread_state_get_reg(&s, CRASH_X86_64_RBP), framePointer);
  // The arguments are captured as they were at entry.
  EXPECT_EQ(crash_async_thread_state_get_reg(&s, CRASH_X86_64_RDI), reinterpret_cast<std::uint64_t>(&keep));
  EXPECT_EQ(crash_async_thread_state_get_reg(&s, CRASH_X86_64_RSI), reinterpret_cast<std::uint64_t>(&capture));

  // The stack pointer is the caller's after the return, so the frameless caller unwinds from it.
  EXPECT_EQ(crash_async_thread_state_get_reg(&s, CRASH_X86_64_RSP), caller[0]);
  EXPECT_EQ(capture.callerReturnAddress, caller[1]);
  EXPECT_EQ(s.exception.state64.faultvaddr, 0u);
  EXPECT_NE(crash_async_thread_state_get_reg(&s, CRASH_X86_64_CS), 0u);
}

}  // namespace
