// Capture of the running thread's registers. It has to see the caller's registers untouched, so
// it is written in assembly: it sets up an ordinary frame, stores the registers into an
// x86_mcontext64 on its stack and hands that to crash_async_thread_state_current_stub.
//
// The stored rbp, rsp and rip are the caller's as they will be after this call returns: the
// saved frame pointer, the address just above the return address (where the caller's stack
// pointer points again after the return), and the return address. A frameless caller can then be
// unwound from the captured stack pointer alone.
#include <cstddef>

#include "crash/engine/CrashAsyncThreadState.h"

namespace {

using kernel::x86_mcontext64;
using kernel::x86_thread_state64;

constexpr std::size_t kThreadState = offsetof(x86_mcontext64, ss);
static_assert(sizeof(x86_mcontext64) <= 192, "the frame below reserves 192 bytes");
static_assert(kThreadState == 16 && offsetof(x86_thread_state64, rax) == 0 &&
              offsetof(x86_thread_state64, rbp) == 48 && offsetof(x86_thread_state64, rsp) == 56 &&
              offsetof(x86_thread_state64, r8) == 64 && offsetof(x86_thread_state64, rip) == 128 &&
              offsetof(x86_thread_state64, gs) == 160,
              "the offsets written in the assembly below");

}  // namespace

asm(R"(
    .text
    .globl crash_async_thread_state_current
    .type crash_async_thread_state_current, @function
    .p2align 4
crash_async_thread_state_current:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq $192, %rsp

    movq %rax, 16(%rsp)
    movq %rbx, 24(%rsp)
    movq %rcx, 32(%rsp)
    movq %rdx, 40(%rsp)
    movq %rdi, 48(%rsp)
    movq %rsi, 56(%rsp)
    movq %r8, 80(%rsp)
    movq %r9, 88(%rsp)
    movq %r10, 96(%rsp)
    movq %r11, 104(%rsp)
    movq %r12, 112(%rsp)
    movq %r13, 120(%rsp)
    movq %r14, 128(%rsp)
    movq %r15, 136(%rsp)

    movq (%rbp), %rax       # the caller's frame pointer, saved above
    movq %rax, 64(%rsp)
    leaq 16(%rbp), %rax     # the caller's stack pointer once this call has returned
    movq %rax, 72(%rsp)
    movq 8(%rbp), %rax      # the return address into the caller
    movq %rax, 144(%rsp)
    pushfq
    popq %rax
    movq %rax, 152(%rsp)
    xorl %eax, %eax
    movw %cs, %ax
    movq %rax, 160(%rsp)
    movw %fs, %ax
    movq %rax, 168(%rsp)
    movw %gs, %ax
    movq %rax, 176(%rsp)

    # stub(callback, context, mcontext): the first two arguments are still in rdi and rsi.
    movq %rsp, %rdx
    call crash_async_thread_state_current_stub@PLT

    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size crash_async_thread_state_current, .-crash_async_thread_state_current
)");
