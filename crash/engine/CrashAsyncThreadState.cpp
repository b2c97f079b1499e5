#include "crash/engine/CrashAsyncThreadState.h"

#include <stdlib.h>

#include <iterator>

#include "platform/kernel/Sysctl.h"
#include "platform/kernel/ThreadControl.h"

namespace {

struct DwarfRow {
  crash_regnum_t id;
  std::uint64_t dwarf;
};

// rip has no DWARF number; the return-address column (16) is not a register.
constexpr DwarfRow kDwarf64[] = {
    {CRASH_X86_64_RBP, 6},     {CRASH_X86_64_RSP, 7},   {CRASH_X86_64_RAX, 0},
    {CRASH_X86_64_RBX, 3},     {CRASH_X86_64_RCX, 2},   {CRASH_X86_64_RDX, 1},
    {CRASH_X86_64_RDI, 5},     {CRASH_X86_64_RSI, 4},   {CRASH_X86_64_R8, 8},
    {CRASH_X86_64_R9, 9},      {CRASH_X86_64_R10, 10},  {CRASH_X86_64_R11, 11},
    {CRASH_X86_64_R12, 12},    {CRASH_X86_64_R13, 13},  {CRASH_X86_64_R14, 14},
    {CRASH_X86_64_R15, 15},    {CRASH_X86_64_RFLAGS, 49}, {CRASH_X86_64_CS, 51},
    {CRASH_X86_64_FS, 54},     {CRASH_X86_64_GS, 55},
};

constexpr DwarfRow kDwarf32[] = {
    {CRASH_X86_EIP, 8}, {CRASH_X86_EBP, 4}, {CRASH_X86_ESP, 5},
    {CRASH_X86_EAX, 0}, {CRASH_X86_EDX, 2}, {CRASH_X86_ECX, 1},
    {CRASH_X86_EBX, 3}, {CRASH_X86_ESI, 6}, {CRASH_X86_EDI, 7},
};

constexpr crash_regnum_t kPreserved64[] = {CRASH_X86_64_RBX, CRASH_X86_64_RSP, CRASH_X86_64_RBP,
                                           CRASH_X86_64_R12, CRASH_X86_64_R13, CRASH_X86_64_R14,
                                           CRASH_X86_64_R15};
constexpr crash_regnum_t kPreserved32[] = {CRASH_X86_EBX, CRASH_X86_EBP, CRASH_X86_ESI,
                                           CRASH_X86_EDI, CRASH_X86_ESP};

constexpr const char* kNames64[] = {"rip", "rbp", "rsp", "rax", "rbx", "rcx", "rdx",
                                    "rdi", "rsi", "r8",  "r9",  "r10", "r11", "r12",
                                    "r13", "r14", "r15", "rflags", "cs", "fs", "gs"};
constexpr const char* kNames32[] = {"eip", "ebp", "esp", "eax", "edx", "ecx", "ebx", "esi",
                                    "edi", "eflags", "trapno", "cs", "ds", "es", "fs", "gs"};
static_assert(sizeof kNames64 / sizeof kNames64[0] == CRASH_X86_64_REG_COUNT);
static_assert(sizeof kNames32 / sizeof kNames32[0] == CRASH_X86_REG_COUNT);

kernel::x86_state_header stateHeader(int flavor, std::uint32_t count) {
  return {flavor, static_cast<std::int32_t>(count)};
}

bool is32(const crash_async_thread_state* state) {
  return state->thread.header.flavor == kernel::x86_THREAD_STATE32;
}

const DwarfRow* dwarfRows(const crash_async_thread_state* state, std::size_t* count) {
  *count = is32(state) ? std::size(kDwarf32) : std::size(kDwarf64);
  return is32(state) ? kDwarf32 : kDwarf64;
}

[[noreturn]] void badRegister(const char* function, int line, crash_regnum_t id) {
  crash_async_fatal(function, line, "Missing register name for register id: %d", id);
}

// The storage of register `id`, as a pointer to its 64-bit (x86-64) or 32-bit (i386) field.
std::uint64_t* reg64(crash_async_thread_state* state, crash_regnum_t id) {
  kernel::x86_thread_state64& s = state->thread.state64;
  switch (id) {
    case CRASH_X86_64_RIP: return &s.rip;
    case CRASH_X86_64_RBP: return &s.rbp;
    case CRASH_X86_64_RSP: return &s.rsp;
    case CRASH_X86_64_RAX: return &s.rax;
    case CRASH_X86_64_RBX: return &s.rbx;
    case CRASH_X86_64_RCX: return &s.rcx;
    case CRASH_X86_64_RDX: return &s.rdx;
    case CRASH_X86_64_RDI: return &s.rdi;
    case CRASH_X86_64_RSI: return &s.rsi;
    case CRASH_X86_64_R8: return &s.r8;
    case CRASH_X86_64_R9: return &s.r9;
    case CRASH_X86_64_R10: return &s.r10;
    case CRASH_X86_64_R11: return &s.r11;
    case CRASH_X86_64_R12: return &s.r12;
    case CRASH_X86_64_R13: return &s.r13;
    case CRASH_X86_64_R14: return &s.r14;
    case CRASH_X86_64_R15: return &s.r15;
    case CRASH_X86_64_RFLAGS: return &s.rflags;
    case CRASH_X86_64_CS: return &s.cs;
    case CRASH_X86_64_FS: return &s.fs;
    case CRASH_X86_64_GS: return &s.gs;
    default: badRegister(__func__, __LINE__, id);
  }
}

std::uint32_t* reg32(crash_async_thread_state* state, crash_regnum_t id) {
  kernel::x86_thread_state32& s = state->thread.state32;
  switch (id) {
    case CRASH_X86_EIP: return &s.eip;
    case CRASH_X86_EBP: return &s.ebp;
    case CRASH_X86_ESP: return &s.esp;
    case CRASH_X86_EAX: return &s.eax;
    case CRASH_X86_EDX: return &s.edx;
    case CRASH_X86_ECX: return &s.ecx;
    case CRASH_X86_EBX: return &s.ebx;
    case CRASH_X86_ESI: return &s.esi;
    case CRASH_X86_EDI: return &s.edi;
    case CRASH_X86_EFLAGS: return &s.eflags;
    case CRASH_X86_CS: return &s.cs;
    case CRASH_X86_DS: return &s.ds;
    case CRASH_X86_ES: return &s.es;
    case CRASH_X86_FS: return &s.fs;
    case CRASH_X86_GS: return &s.gs;
    default: badRegister(__func__, __LINE__, id);  // trapno is handled by the callers
  }
}

void checkId(const crash_async_thread_state* state, crash_regnum_t id, const char* function, int line) {
  if (id < 0 || static_cast<std::size_t>(id) >= crash_async_thread_state_get_reg_count(state)) {
    badRegister(function, line, id);
  }
}

}  // namespace

crash_error_t crash_async_thread_state_init(crash_async_thread_state* state, std::int32_t cpu_type) {
  crash_async_memset(state, 0, sizeof *state);
  if (cpu_type == kernel::CPU_TYPE_X86) {
    state->thread.header = stateHeader(kernel::x86_THREAD_STATE32, kernel::x86_THREAD_STATE32_COUNT);
    state->exception.header = stateHeader(kernel::x86_EXCEPTION_STATE32, kernel::x86_EXCEPTION_STATE32_COUNT);
    state->greg_size = 4;
  } else if (cpu_type == kernel::CPU_TYPE_X86_64) {
    state->thread.header = stateHeader(kernel::x86_THREAD_STATE64, kernel::x86_THREAD_STATE64_COUNT);
    state->exception.header = stateHeader(kernel::x86_EXCEPTION_STATE64, kernel::x86_EXCEPTION_STATE64_COUNT);
    state->greg_size = 8;
  } else {
    return CRASH_ENOTSUP;
  }
  state->stack_direction = CRASH_ASYNC_STACK_DIRECTION_DOWN;
  return CRASH_ESUCCESS;
}

void crash_async_thread_state_mcontext_init(crash_async_thread_state* state,
                                            const kernel::x86_mcontext64* mcontext) {
  crash_async_memset(state, 0, sizeof *state);
  state->thread.header = stateHeader(kernel::x86_THREAD_STATE64, kernel::x86_THREAD_STATE64_COUNT);
  state->exception.header = stateHeader(kernel::x86_EXCEPTION_STATE64, kernel::x86_EXCEPTION_STATE64_COUNT);
  state->stack_direction = CRASH_ASYNC_STACK_DIRECTION_DOWN;
  state->greg_size = 8;
  crash_async_memcpy(&state->exception.state64, &mcontext->es, sizeof mcontext->es);
  crash_async_memcpy(&state->thread.state64, &mcontext->ss, sizeof mcontext->ss);
  state->valid_regs = ~std::uint64_t{0};
}

crash_error_t crash_async_thread_state_mach_thread_init(crash_async_thread_state* state,
                                                        kernel::thread_t thread) {
  std::uint32_t count = kernel::x86_THREAD_STATE_COUNT;
  kernel::kern_return_t result =
      kernel::thread_get_state(thread, kernel::x86_THREAD_STATE, &state->thread, &count);
  if (result != kernel::KERN_SUCCESS) {
    CRASH_ASYNC_LOG("Fetch of x86 thread state failed with Mach error: %d", result);
    return CRASH_EINTERNAL;
  }
  count = kernel::x86_EXCEPTION_STATE_COUNT;
  result = kernel::thread_get_state(thread, kernel::x86_EXCEPTION_STATE, &state->exception, &count);
  if (result != kernel::KERN_SUCCESS) {
    CRASH_ASYNC_LOG("Fetch of x86 exception state failed with Mach error: %d", result);
    return CRASH_EINTERNAL;
  }
  state->stack_direction = CRASH_ASYNC_STACK_DIRECTION_DOWN;
  state->greg_size = state->thread.header.flavor == kernel::x86_THREAD_STATE64 ? 8 : 4;
  state->valid_regs = ~std::uint64_t{0};
  return CRASH_ESUCCESS;
}

// Called by crash_async_thread_state_current with the registers it stored at entry.
extern "C" crash_error_t crash_async_thread_state_current_stub(
    crash_async_thread_state_current_callback callback, void* context, kernel::x86_mcontext64* mcontext) {
  crash_async_memset(&mcontext->es, 0, sizeof mcontext->es);
  crash_async_thread_state state;
  crash_async_thread_state_mcontext_init(&state, mcontext);
  return callback(&state, context);
}

void crash_async_thread_state_copy(crash_async_thread_state* destination,
                                   const crash_async_thread_state* source) {
  crash_async_memcpy(destination, source, sizeof *destination);
}

bool crash_async_thread_state_has_reg(const crash_async_thread_state* state, crash_regnum_t id) {
  checkId(state, id, __func__, __LINE__);
  return (state->valid_regs >> id) & 1;
}

std::uint64_t crash_async_thread_state_get_reg(const crash_async_thread_state* state, crash_regnum_t id) {
  checkId(state, id, __func__, __LINE__);
  auto* mutableState = const_cast<crash_async_thread_state*>(state);
  if (!is32(state)) return *reg64(mutableState, id);
  if (id == CRASH_X86_TRAPNO) return state->exception.state32.trapno;
  return *reg32(mutableState, id);
}

void crash_async_thread_state_set_reg(crash_async_thread_state* state, crash_regnum_t id,
                                      std::uint64_t value) {
  checkId(state, id, __func__, __LINE__);
  if (!is32(state)) {
    *reg64(state, id) = value;
  } else if (id == CRASH_X86_TRAPNO) {
    state->exception.state32.trapno = static_cast<std::uint16_t>(value);
  } else {
    *reg32(state, id) = static_cast<std::uint32_t>(value);
  }
  state->valid_regs |= std::uint64_t{1} << id;
}

void crash_async_thread_state_clear_reg(crash_async_thread_state* state, crash_regnum_t id) {
  checkId(state, id, __func__, __LINE__);
  state->valid_regs &= ~(std::uint64_t{1} << id);
}

void crash_async_thread_state_clear_all_regs(crash_async_thread_state* state) {
  state->valid_regs = 0;
}

void crash_async_thread_state_clear_volatile_regs(crash_async_thread_state* state) {
  const bool narrow = is32(state);
  const crash_regnum_t* preserved = narrow ? kPreserved32 : kPreserved64;
  const std::size_t preservedCount = narrow ? std::size(kPreserved32) : std::size(kPreserved64);
  const auto count = static_cast<crash_regnum_t>(crash_async_thread_state_get_reg_count(state));
  for (crash_regnum_t id = 0; id < count; ++id) {
    if (!((state->valid_regs >> id) & 1)) continue;
    bool keep = false;
    for (std::size_t i = 0; i < preservedCount && !keep; ++i) keep = preserved[i] == id;
    if (!keep) state->valid_regs &= ~(std::uint64_t{1} << id);
  }
}

const char* crash_async_thread_state_get_reg_name(const crash_async_thread_state* state, crash_regnum_t id) {
  checkId(state, id, __func__, __LINE__);
  return is32(state) ? kNames32[id] : kNames64[id];
}

std::size_t crash_async_thread_state_get_reg_count(const crash_async_thread_state* state) {
  return is32(state) ? std::size_t{CRASH_X86_REG_COUNT} : std::size_t{CRASH_X86_64_REG_COUNT};
}

std::uint32_t crash_async_thread_state_get_stack_direction(const crash_async_thread_state* state) {
  return state->stack_direction;
}

std::uint64_t crash_async_thread_state_get_greg_size(const crash_async_thread_state* state) {
  return state->greg_size;
}

bool crash_async_thread_state_map_dwarf_to_reg(const crash_async_thread_state* state,
                                               std::uint64_t dwarf_reg, crash_regnum_t* id) {
  std::size_t count = 0;
  const DwarfRow* rows = dwarfRows(state, &count);
  for (std::size_t i = 0; i < count; ++i) {
    if (rows[i].dwarf == dwarf_reg) {
      *id = rows[i].id;
      return true;
    }
  }
  return false;
}

bool crash_async_thread_state_map_reg_to_dwarf(const crash_async_thread_state* state,
                                               crash_regnum_t id, std::uint64_t* dwarf_reg) {
  std::size_t count = 0;
  const DwarfRow* rows = dwarfRows(state, &count);
  for (std::size_t i = 0; i < count; ++i) {
    if (rows[i].id == id) {
      *dwarf_reg = rows[i].dwarf;
      return true;
    }
  }
  return false;
}
