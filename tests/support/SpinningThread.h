#pragma once
// A thread that spins in a small function of known extent until told to stop, for tests that
// suspend a live thread and read its registers.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <thread>

namespace test {

class SpinningThread {
 public:
  // Starts the thread and returns once it spins.
  SpinningThread();
  // Stops and joins the thread (it must not be suspended then).
  ~SpinningThread();
  SpinningThread(const SpinningThread&) = delete;
  SpinningThread& operator=(const SpinningThread&) = delete;

  pid_t tid() const { return tid_.load(); }
  // Rounds of the loop so far.
  std::uint64_t rounds() const;
  // The loop function's first byte and the byte after its last.
  static std::uint64_t codeStart();
  static std::uint64_t codeEnd();
  // The argument the loop function runs with (held in rdi throughout).
  std::uint64_t argument() const;

 private:
  struct Block {
    std::uint32_t stop;
    std::uint32_t padding;
    std::uint64_t rounds;
  };
  Block block_{};
  std::atomic<pid_t> tid_{0};
  std::thread thread_;
};

}  // namespace test
