#include "tests/support/FaultingCode.h"

// Each function: a start label, a label on the faulting instruction, and an end label.
asm(R"(
    .text
    .p2align 4
    .globl qm_fault_read, qm_fault_read_at, qm_fault_read_end
    .type qm_fault_read, @function
qm_fault_read:
qm_fault_read_at:
    movq (%rdi), %rax
    ret
qm_fault_read_end:
    .size qm_fault_read, qm_fault_read_end - qm_fault_read

    .globl qm_fault_write, qm_fault_write_at, qm_fault_write_end
    .type qm_fault_write, @function
qm_fault_write:
qm_fault_write_at:
    movq $1, (%rdi)
    ret
qm_fault_write_end:
    .size qm_fault_write, qm_fault_write_end - qm_fault_write

    .globl qm_fault_ud2, qm_fault_ud2_at, qm_fault_ud2_end
    .type qm_fault_ud2, @function
qm_fault_ud2:
qm_fault_ud2_at:
    ud2
    ret
qm_fault_ud2_end:
    .size qm_fault_ud2, qm_fault_ud2_end - qm_fault_ud2

    .globl qm_fault_divide, qm_fault_divide_at, qm_fault_divide_end
    .type qm_fault_divide, @function
qm_fault_divide:
    xorl %ecx, %ecx
    movl $1, %eax
    cltd
qm_fault_divide_at:
    idivl %ecx
    ret
qm_fault_divide_end:
    .size qm_fault_divide, qm_fault_divide_end - qm_fault_divide

    .globl qm_fault_int3, qm_fault_int3_at, qm_fault_int3_end
    .type qm_fault_int3, @function
qm_fault_int3:
qm_fault_int3_at:
    int3
    ret
qm_fault_int3_end:
    .size qm_fault_int3, qm_fault_int3_end - qm_fault_int3
)");

extern "C" {
void qm_fault_read(void*);
void qm_fault_write(void*);
void qm_fault_ud2(void*);
void qm_fault_divide(void*);
void qm_fault_int3(void*);
extern char qm_fault_read_at[], qm_fault_read_end[];
extern char qm_fault_write_at[], qm_fault_write_end[];
extern char qm_fault_ud2_at[], qm_fault_ud2_end[];
extern char qm_fault_divide_at[], qm_fault_divide_end[];
extern char qm_fault_int3_at[], qm_fault_int3_end[];
}

namespace test::faults {
namespace {

struct Entry {
  Function function;
  const char* at;
  const char* end;
};

const Entry kEntries[] = {
    {qm_fault_read, qm_fault_read_at, qm_fault_read_end},
    {qm_fault_write, qm_fault_write_at, qm_fault_write_end},
    {qm_fault_ud2, qm_fault_ud2_at, qm_fault_ud2_end},
    {qm_fault_divide, qm_fault_divide_at, qm_fault_divide_end},
    {qm_fault_int3, qm_fault_int3_at, qm_fault_int3_end},
};

const Entry& entryOf(Function function) {
  for (const Entry& entry : kEntries) {
    if (entry.function == function) return entry;
  }
  return kEntries[0];
}

}  // namespace

Function read() { return qm_fault_read; }
Function write() { return qm_fault_write; }
Function illegalInstruction() { return qm_fault_ud2; }
Function divideByZero() { return qm_fault_divide; }
Function breakpoint() { return qm_fault_int3; }

std::uint64_t faultingInstruction(Function function) {
  return reinterpret_cast<std::uint64_t>(entryOf(function).at);
}

std::uint64_t start(Function function) { return reinterpret_cast<std::uint64_t>(function); }

std::uint64_t end(Function function) { return reinterpret_cast<std::uint64_t>(entryOf(function).end); }

}  // namespace test::faults
