#pragma once
// The engine's picture of one thread's registers at one stack frame, in the 32-bit x86 or the
// x86-64 layout. The stack walkers keep one per frame and the report writer records one for the
// crashed frame; it is filled from a signal's machine context, from a suspended thread, or from
// the running thread itself.
//
// Records are plain values (copy them whole), owned by their caller. Every routine is crash-safe:
// no allocation, no lock. Register ids: 0 is always the instruction pointer, 1 the frame pointer
// and 2 the stack pointer. Passing an id at or beyond the layout's register count is a
// programming error: it writes a diagnostic line and aborts.
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "platform/kernel/MachineContext.h"

// Register ids of the x86-64 layout.
enum {
  CRASH_X86_64_RIP = 0, CRASH_X86_64_RBP, CRASH_X86_64_RSP, CRASH_X86_64_RAX, CRASH_X86_64_RBX,
  CRASH_X86_64_RCX, CRASH_X86_64_RDX, CRASH_X86_64_RDI, CRASH_X86_64_RSI, CRASH_X86_64_R8,
  CRASH_X86_64_R9, CRASH_X86_64_R10, CRASH_X86_64_R11, CRASH_X86_64_R12, CRASH_X86_64_R13,
  CRASH_X86_64_R14, CRASH_X86_64_R15, CRASH_X86_64_RFLAGS, CRASH_X86_64_CS, CRASH_X86_64_FS,
  CRASH_X86_64_GS, CRASH_X86_64_REG_COUNT
};

// Register ids of the i386 layout.
enum {
  CRASH_X86_EIP = 0, CRASH_X86_EBP, CRASH_X86_ESP, CRASH_X86_EAX, CRASH_X86_EDX, CRASH_X86_ECX,
  CRASH_X86_EBX, CRASH_X86_ESI, CRASH_X86_EDI, CRASH_X86_EFLAGS, CRASH_X86_TRAPNO, CRASH_X86_CS,
  CRASH_X86_DS, CRASH_X86_ES, CRASH_X86_FS, CRASH_X86_GS, CRASH_X86_REG_COUNT
};

typedef int crash_regnum_t;

inline constexpr std::uint32_t CRASH_ASYNC_STACK_DIRECTION_UP = 1;
inline constexpr std::uint32_t CRASH_ASYNC_STACK_DIRECTION_DOWN = 2;

struct crash_async_thread_state {
  std::uint32_t stack_direction;   // every initialiser sets DOWN
  std::uint64_t greg_size;         // 4 for i386, 8 for x86-64
  std::uint64_t valid_regs;        // bit n: register id n holds a value
  kernel::x86_thread_state thread;        // its flavor tells the layout: 1 means i386
  kernel::x86_exception_state exception;
};

// Zeroes `state` and sets it up for `cpu_type`: kernel::CPU_TYPE_X86 or CPU_TYPE_X86_64, with no
// register valid. Returns 0, or 4 (left zeroed) for any other type.
crash_error_t crash_async_thread_state_init(crash_async_thread_state* state, std::int32_t cpu_type);

// Fills `state` from a signal's 64-bit machine context, every bit of the valid mask set.
void crash_async_thread_state_mcontext_init(crash_async_thread_state* state,
                                            const kernel::x86_mcontext64* mcontext);

// Fills `state` from the suspended thread `thread`. Returns 0, or 6 after a diagnostic line when
// the thread's registers cannot be read; the record must then not be used.
crash_error_t crash_async_thread_state_mach_thread_init(crash_async_thread_state* state,
                                                        kernel::thread_t thread);

// Captures the calling thread as its caller sees it at the return from this call (every register
// valid) and returns what `callback` returns for that state and `context`. The state lives on the
// stack during the callback only.
typedef crash_error_t (*crash_async_thread_state_current_callback)(crash_async_thread_state* state,
                                                                    void* context);
extern "C" crash_error_t crash_async_thread_state_current(crash_async_thread_state_current_callback callback,
                                                          void* context);

void crash_async_thread_state_copy(crash_async_thread_state* destination,
                                   const crash_async_thread_state* source);

// Whether register `id` holds a value.
bool crash_async_thread_state_has_reg(const crash_async_thread_state* state, crash_regnum_t id);
// The register's value widened to 64 bits, valid or not.
std::uint64_t crash_async_thread_state_get_reg(const crash_async_thread_state* state, crash_regnum_t id);
// Stores `value` (i386: its low 32 bits; trapno: its low 16) and marks the register valid.
void crash_async_thread_state_set_reg(crash_async_thread_state* state, crash_regnum_t id,
                                      std::uint64_t value);
// Marks the register invalid; the stored value stays readable.
void crash_async_thread_state_clear_reg(crash_async_thread_state* state, crash_regnum_t id);
void crash_async_thread_state_clear_all_regs(crash_async_thread_state* state);
// Marks invalid every register a callee may change: all but rbx, rsp, rbp, r12-r15 (x86-64) or
// ebx, ebp, esi, edi, esp (i386).
void crash_async_thread_state_clear_volatile_regs(crash_async_thread_state* state);

// The register's name ("rip", "ebp", ...), static storage.
const char* crash_async_thread_state_get_reg_name(const crash_async_thread_state* state, crash_regnum_t id);
// 16 for i386, 21 for x86-64.
std::size_t crash_async_thread_state_get_reg_count(const crash_async_thread_state* state);
std::uint32_t crash_async_thread_state_get_stack_direction(const crash_async_thread_state* state);
std::uint64_t crash_async_thread_state_get_greg_size(const crash_async_thread_state* state);

// The register id of DWARF register `dwarf_reg`; false when the layout has none for it.
bool crash_async_thread_state_map_dwarf_to_reg(const crash_async_thread_state* state,
                                               std::uint64_t dwarf_reg, crash_regnum_t* id);
// The DWARF register of register `id`; false when it has none.
bool crash_async_thread_state_map_reg_to_dwarf(const crash_async_thread_state* state,
                                               crash_regnum_t id, std::uint64_t* dwarf_reg);
