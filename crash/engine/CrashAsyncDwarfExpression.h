#pragma once
// The evaluator of DWARF expressions, the stack machine that call-frame rules and the canonical
// frame address may use: constants, stack operations, arithmetic, comparisons, branches, and
// reads of the current frame's registers and of the target's memory.
//
// Exists in a 32-bit and a 64-bit form (values of the target's width, arithmetic wrapping there).
// Crash-safe: the stack of 100 values lives in the evaluator's frame, memory is read only with
// faultless task reads, and a program may execute at most CRASH_ASYNC_DWARF_EXPRESSION_MAX_OPS
// operations, so a branch that loops ends with a code rather than hanging the crash path.
#include <cstddef>
#include <cstdint>

#include "crash/engine/CrashAsync.h"
#include "crash/engine/CrashAsyncMObject.h"
#include "crash/engine/CrashAsyncThreadState.h"

namespace crash::async {

inline constexpr std::size_t CRASH_ASYNC_DWARF_EXPRESSION_STACK_SIZE = 100;
inline constexpr std::size_t CRASH_ASYNC_DWARF_EXPRESSION_MAX_OPS = 10000;

// Evaluates the `length` expression bytes at `address` + `offset` in `mobj` against the
// registers of `state` and the memory of `task`, after pushing `initial_count` values of
// `initial_state` in order; `*result` gets the value on top when the bytes end. Returns 0; 5 for
// an operand past the end, a stack too shallow for an operation, a division by zero, a branch
// outside the bytes, an operation limit reached, or an empty stack at the end; 6 when the stack
// over- or underflows; 4 for an unsupported operation or DWARF register; 8 for a register the
// state does not hold; a task read's code for memory that cannot be read.
template <typename machine_ptr>
crash_error_t crash_async_dwarf_expression_eval(const crash_async_mobject* mobj, kernel::task_t task,
                                                const crash_async_thread_state* state,
                                                const crash_async_byteorder* byteorder, std::uint64_t address,
                                                std::uint64_t offset, std::uint64_t length,
                                                const machine_ptr initial_state[], std::size_t initial_count,
                                                machine_ptr* result);

extern template crash_error_t crash_async_dwarf_expression_eval<std::uint32_t>(
    const crash_async_mobject*, kernel::task_t, const crash_async_thread_state*, const crash_async_byteorder*,
    std::uint64_t, std::uint64_t, std::uint64_t, const std::uint32_t[], std::size_t, std::uint32_t*);
extern template crash_error_t crash_async_dwarf_expression_eval<std::uint64_t>(
    const crash_async_mobject*, kernel::task_t, const crash_async_thread_state*, const crash_async_byteorder*,
    std::uint64_t, std::uint64_t, std::uint64_t, const std::uint64_t[], std::size_t, std::uint64_t*);

}  // namespace crash::async
