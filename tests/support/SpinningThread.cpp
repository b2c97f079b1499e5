#include "tests/support/SpinningThread.h"

#include <sys/syscall.h>
#include <unistd.h>

// The loop keeps its argument in rdi and touches memory only through it, so the registers of a
// thread stopped inside it are predictable.
asm(R"(
    .text
    .globl qm_test_spin_loop
    .type qm_test_spin_loop, @function
    .p2align 4
qm_test_spin_loop:
1:  lock incq 8(%rdi)
    pause
    movl (%rdi), %eax
    testl %eax, %eax
    jz 1b
    ret
    .globl qm_test_spin_loop_end
qm_test_spin_loop_end:
    .size qm_test_spin_loop, .-qm_test_spin_loop
)");

extern "C" void qm_test_spin_loop(void* block);
extern "C" char qm_test_spin_loop_end[];

namespace test {

SpinningThread::SpinningThread() {
  thread_ = std::thread([this] {
    tid_.store(static_cast<pid_t>(syscall(SYS_gettid)));
    qm_test_spin_loop(&block_);
  });
  while (tid_.load() == 0 || rounds() == 0) std::this_thread::yield();
}

SpinningThread::~SpinningThread() {
  __atomic_store_n(&block_.stop, 1, __ATOMIC_SEQ_CST);
  thread_.join();
}

std::uint64_t SpinningThread::rounds() const { return __atomic_load_n(&block_.rounds, __ATOMIC_SEQ_CST); }

std::uint64_t SpinningThread::codeStart() { return reinterpret_cast<std::uint64_t>(&qm_test_spin_loop); }

std::uint64_t SpinningThread::codeEnd() { return reinterpret_cast<std::uint64_t>(qm_test_spin_loop_end); }

std::uint64_t SpinningThread::argument() const { return reinterpret_cast<std::uint64_t>(&block_); }

}  // namespace test
