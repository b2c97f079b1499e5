#pragma once
// Small functions that fault at a known instruction, for tests that crash a child process and
// check where the crash was seen. Each takes one pointer argument.
#include <cstdint>

namespace test::faults {

using Function = void (*)(void* argument);

// Reads 8 bytes at `argument`.
Function read();
// Writes 8 bytes at `argument`.
Function write();
// Runs an undefined instruction (ud2).
Function illegalInstruction();
// Divides 1 by 0 (idiv).
Function divideByZero();
// Runs a breakpoint trap (int3), then returns: it comes back when the trap is handled.
Function breakpoint();

// The address of the instruction of `function` that faults.
std::uint64_t faultingInstruction(Function function);
// The first byte of `function` and the byte after its last.
std::uint64_t start(Function function);
std::uint64_t end(Function function);

}  // namespace test::faults
