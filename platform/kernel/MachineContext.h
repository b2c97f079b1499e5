#pragma once
// The x86 register records the crash engine works with, and their filling from the machine
// context the kernel hands to a signal handler.
//
// The records are those of the engine's thread state: a thread-state block (the general
// registers, 32- or 64-bit) and an exception-state block (trap number, processor, error code,
// fault address), each behind a small header naming its flavor and its size in 32-bit words.
// The kernel's own context keeps the registers in another order and packs the segment selectors
// into one word; machine_context_from_ucontext reorders them. Floating-point state is left out.
#include <cstddef>
#include <cstdint>

namespace kernel {

// Flavors, and each flavor's size in 32-bit words.
inline constexpr int x86_THREAD_STATE32 = 1;
inline constexpr int x86_EXCEPTION_STATE32 = 3;
inline constexpr int x86_THREAD_STATE64 = 4;
inline constexpr int x86_EXCEPTION_STATE64 = 6;
inline constexpr int x86_THREAD_STATE = 7;     // header + the block of the thread's width
inline constexpr int x86_EXCEPTION_STATE = 9;  // header + the block of the thread's width

inline constexpr std::uint32_t x86_THREAD_STATE32_COUNT = 16;
inline constexpr std::uint32_t x86_EXCEPTION_STATE32_COUNT = 3;
inline constexpr std::uint32_t x86_THREAD_STATE64_COUNT = 42;
inline constexpr std::uint32_t x86_EXCEPTION_STATE64_COUNT = 4;
inline constexpr std::uint32_t x86_THREAD_STATE_COUNT = 44;
inline constexpr std::uint32_t x86_EXCEPTION_STATE_COUNT = 6;

struct x86_thread_state32 {
  std::uint32_t eax, ebx, ecx, edx, edi, esi, ebp, esp, ss, eflags, eip, cs, ds, es, fs, gs;
};

struct x86_thread_state64 {
  std::uint64_t rax, rbx, rcx, rdx, rdi, rsi, rbp, rsp;
  std::uint64_t r8, r9, r10, r11, r12, r13, r14, r15;
  std::uint64_t rip, rflags, cs, fs, gs;
};

struct x86_exception_state32 {
  std::uint16_t trapno;
  std::uint16_t cpu;
  std::uint32_t err;
  std::uint32_t faultvaddr;
};

struct x86_exception_state64 {
  std::uint16_t trapno;
  std::uint16_t cpu;
  std::uint32_t err;
  std::uint64_t faultvaddr;
};

struct x86_state_header {
  std::int32_t flavor;
  std::int32_t count;
};

// A thread-state block behind its header: flavor 1 (32-bit) or 4 (64-bit).
struct x86_thread_state {
  x86_state_header header;
  union {
    x86_thread_state32 state32;
    x86_thread_state64 state64;
  };
};

// An exception-state block behind its header: flavor 3 (32-bit) or 6 (64-bit).
struct x86_exception_state {
  x86_state_header header;
  union {
    x86_exception_state32 state32;
    x86_exception_state64 state64;
  };
};

// The 64-bit machine context of a signal: exception state first, then the thread state.
struct x86_mcontext64 {
  x86_exception_state64 es;
  x86_thread_state64 ss;
};

static_assert(sizeof(x86_thread_state64) == 168);
static_assert(sizeof(x86_exception_state64) == 16);
static_assert(sizeof(x86_thread_state) == x86_THREAD_STATE_COUNT * 4);
static_assert(sizeof(x86_exception_state) == x86_EXCEPTION_STATE_COUNT * 4);
static_assert(offsetof(x86_mcontext64, ss) == 16);

// Fills `out` from the `ucontext_t` a SA_SIGINFO handler received: the general registers, rip,
// the flags and the cs, fs and gs selectors; the trap number, error code and fault address (CR2)
// as the exception state; processor 0. Async-signal-safe.
void machine_context_from_ucontext(const void* ucontext, x86_mcontext64* out);

}  // namespace kernel
