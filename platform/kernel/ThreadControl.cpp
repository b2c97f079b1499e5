#include "platform/kernel/ThreadControl.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "platform/kernel/ExceptionPorts.h"
#include "platform/kernel/MachineContext.h"

namespace kernel {
namespace {

constexpr std::size_t kSlotCount = 1024;
constexpr std::int64_t kParkAcknowledgeNanos = 500'000'000;  // suspender's wait for the park
constexpr std::int64_t kParkLimitNanos = 10'000'000'000;     // a parked thread's longest wait

// A slot's futex word holds a generation (bits 3 and up) and a phase. Every request takes a new
// generation, so a late signal or a waiter of an old request never acts on a newer one.
enum Phase : std::uint32_t {
  kIdle = 0,
  kRequested = 1,  // the signal is on its way
  kParking = 2,    // the handler is recording the registers
  kParked = 3,
  kReleased = 4,
};
constexpr std::uint32_t kPhaseMask = 7;

std::uint32_t phaseOf(std::uint32_t word) { return word & kPhaseMask; }
std::uint32_t withPhase(std::uint32_t word, Phase phase) { return (word & ~kPhaseMask) | phase; }

struct ParkSlot {
  std::atomic<thread_t> thread{0};  // 0: free
  std::atomic<std::uint32_t> word{0};
  std::int32_t suspendCount = 0;  // changed under the table lock only
  x86_mcontext64 context{};       // written by the parked thread while the phase is kParking
};

ParkSlot gSlots[kSlotCount];
std::atomic<bool> gTableLock{false};
std::atomic<int> gInstalled{0};  // 0 not yet, 1 installing, 2 installed
int gParkSignal = 0;

long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr, 0);
}

void futexWakeAll(std::atomic<std::uint32_t>* word) {
  futex(word, FUTEX_WAKE_PRIVATE, INT32_MAX, nullptr);
}

std::int64_t monotonicNanos() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Waits while `*word` equals `value`, until `deadline`. Returns the word's last value.
std::uint32_t waitWhileEqual(std::atomic<std::uint32_t>* word, std::uint32_t value,
                             std::int64_t deadline) {
  std::uint32_t current = word->load();
  while (current == value) {
    const std::int64_t left = deadline - monotonicNanos();
    if (left <= 0) break;
    timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    futex(word, FUTEX_WAIT_PRIVATE, value, &timeout);
    current = word->load();
  }
  return current;
}

// The table lock guards slot ownership and suspend counts. It is held for a few instructions
// only, with PARK_SIGNAL blocked, so its holder is never parked while other suspenders spin.
class TableLock {
 public:
  TableLock() {
    sigset_t park;
    sigemptyset(&park);
    sigaddset(&park, gParkSignal);
    pthread_sigmask(SIG_BLOCK, &park, &saved_);
    while (gTableLock.exchange(true, std::memory_order_acquire)) __builtin_ia32_pause();
  }
  ~TableLock() {
    gTableLock.store(false, std::memory_order_release);
    pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
  }
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  sigset_t saved_{};
};

ParkSlot* findSlot(thread_t thread) {
  for (auto& slot : gSlots) {
    if (slot.thread.load() == thread) return &slot;
  }
  return nullptr;
}

ParkSlot* claimSlot(thread_t thread) {
  for (auto& slot : gSlots) {
    thread_t expected = 0;
    if (slot.thread.compare_exchange_strong(expected, thread)) return &slot;
  }
  return nullptr;
}

void releaseSlot(ParkSlot* slot) {
  slot->suspendCount = 0;
  slot->thread.store(0);
}

void parkHandler(int, siginfo_t*, void* ucontext) {
  const int savedErrno = errno;
  const thread_t self = thread_self();
  for (auto& slot : gSlots) {
    if (slot.thread.load() != self) continue;
    std::uint32_t word = slot.word.load();
    if (phaseOf(word) != kRequested) continue;
    if (!slot.word.compare_exchange_strong(word, withPhase(word, kParking))) continue;

    machine_context_from_ucontext(ucontext, &slot.context);
    const std::uint32_t parked = withPhase(word, kParked);
    slot.word.store(parked);
    futexWakeAll(&slot.word);
    const std::uint32_t last = waitWhileEqual(&slot.word, parked, monotonicNanos() + kParkLimitNanos);
    if (last == parked) {
      // Nobody resumed us in time: run on, and say so to thread_get_state.
      std::uint32_t expected = parked;
      slot.word.compare_exchange_strong(expected, withPhase(parked, kReleased));
    }
    break;
  }
  errno = savedErrno;
}

bool installParkHandler() {
  int state = gInstalled.load();
  if (state == 2) return true;
  state = 0;
  if (gInstalled.compare_exchange_strong(state, 1)) {
    gParkSignal = SIGRTMAX - 3;
    struct sigaction action {};
    action.sa_sigaction = parkHandler;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_ONSTACK;
    sigfillset(&action.sa_mask);
    if (sigaction(gParkSignal, &action, nullptr) != 0) {
      gInstalled.store(0);
      return false;
    }
    gInstalled.store(2);
    return true;
  }
  while (gInstalled.load() == 1) __builtin_ia32_pause();
  return gInstalled.load() == 2;
}

// Writes `value` in decimal at `text` + `length`; returns the new length. No terminator.
std::size_t appendDecimal(char* text, std::size_t length, std::uint32_t value) {
  char digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) text[length++] = digits[--count];
  return length;
}

// Whether `thread` has PARK_SIGNAL blocked, from the SigBlk line of its status file. A signal
// sent to such a thread would stay pending, and the suspender would wait in vain.
bool blocksParkSignal(thread_t thread) {
  char path[64] = "/proc/self/task/";
  std::size_t length = appendDecimal(path, std::strlen(path), static_cast<std::uint32_t>(thread));
  std::memcpy(path + length, "/status", sizeof "/status");

  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[4096];
  std::size_t filled = 0;
  for (ssize_t n; filled < sizeof text - 1 && (n = read(fd, text + filled, sizeof text - 1 - filled)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    filled += static_cast<std::size_t>(n);
  }
  close(fd);
  text[filled] = '\0';

  const char* line = std::strstr(text, "\nSigBlk:");
  if (line == nullptr) return false;
  const char* hex = line + sizeof "\nSigBlk:" - 1;
  while (*hex == ' ' || *hex == '\t') ++hex;
  std::uint64_t mask = 0;
  for (; (*hex >= '0' && *hex <= '9') || (*hex >= 'a' && *hex <= 'f'); ++hex) {
    mask = mask << 4 | static_cast<std::uint64_t>(*hex <= '9' ? *hex - '0' : *hex - 'a' + 10);
  }
  return (mask >> (gParkSignal - 1)) & 1;
}

// Waits, for at most the acknowledgement time, until the request `word` stands for has left the
// requested and parking phases. Returns the slot's word as last seen.
std::uint32_t awaitPark(ParkSlot* slot, std::uint32_t word) {
  const std::int64_t deadline = monotonicNanos() + kParkAcknowledgeNanos;
  while (phaseOf(word) == kRequested || phaseOf(word) == kParking) {
    const std::uint32_t next = waitWhileEqual(&slot->word, word, deadline);
    if (next == word) break;  // timed out
    word = next;
  }
  return word;
}

// After a request that went unanswered: withdraw it unless the handler took it meanwhile.
// Returns true when the thread parked after all.
bool withdrawRequest(ParkSlot* slot, std::uint32_t requested) {
  std::uint32_t expected = requested;
  if (slot->word.compare_exchange_strong(expected, withPhase(requested, kIdle))) {
    futexWakeAll(&slot->word);  // fellow suspenders waiting on the same request
    return false;
  }
  if (phaseOf(expected) == kParking) {
    expected = waitWhileEqual(&slot->word, expected, monotonicNanos() + kParkAcknowledgeNanos);
  }
  return phaseOf(expected) == kParked && (expected & ~kPhaseMask) == (requested & ~kPhaseMask);
}

}  // namespace

int park_signal() { return SIGRTMAX - 3; }

kern_return_t task_threads(task_t task, thread_t* threads, std::size_t capacity,
                           std::size_t* count) {
  *count = 0;
  char path[48] = "/proc/self/task";
  if (task != task_self()) {
    const std::size_t length = appendDecimal(path, sizeof "/proc/" - 1, static_cast<std::uint32_t>(task));
    std::memcpy(path + length, "/task", sizeof "/task");
  }
  const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return KERN_INVALID_ARGUMENT;

  alignas(8) char buffer[4096];
  for (;;) {
    const long filled = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (filled < 0 && errno == EINTR) continue;
    if (filled <= 0) break;
    for (long offset = 0; offset < filled;) {
      // linux_dirent64: inode (8), offset (8), record length (2), type (1), name.
      std::uint16_t recordLength;
      std::memcpy(&recordLength, buffer + offset + 16, sizeof recordLength);
      const char* name = buffer + offset + 19;
      offset += recordLength;
      if (*name < '0' || *name > '9') continue;
      thread_t id = 0;
      for (; *name >= '0' && *name <= '9'; ++name) id = id * 10 + (*name - '0');
      if (*count < capacity) threads[*count] = id;
      ++*count;
    }
  }
  close(fd);
  return KERN_SUCCESS;
}

kern_return_t thread_suspend(thread_t thread) {
  if (thread <= 0 || thread == thread_self()) return KERN_INVALID_ARGUMENT;
  if (!installParkHandler()) return KERN_FAILURE;

  ParkSlot* slot = nullptr;
  std::uint32_t requested = 0;
  bool first = false;
  {
    TableLock lock;
    slot = findSlot(thread);
    if (slot == nullptr) slot = claimSlot(thread);
    if (slot == nullptr) return KERN_RESOURCE_SHORTAGE;
    first = ++slot->suspendCount == 1;
    if (first) {
      requested = ((slot->word.load() & ~kPhaseMask) + (kPhaseMask + 1)) | kRequested;
      slot->word.store(requested);
    } else {
      requested = slot->word.load();
    }
  }

  if (!first) {
    // Another suspension is under way or done: wait for its outcome.
    if (phaseOf(awaitPark(slot, requested)) == kParked) return KERN_SUCCESS;
    TableLock lock;
    if (slot->thread.load() == thread && slot->suspendCount > 0 && --slot->suspendCount == 0) releaseSlot(slot);
    return KERN_FAILURE;
  }

  kern_return_t failure = KERN_SUCCESS;
  if (blocksParkSignal(thread)) {
    failure = KERN_FAILURE;
  } else if (syscall(SYS_tgkill, task_self(), thread, gParkSignal) != 0) {
    failure = errno == ESRCH ? KERN_INVALID_ARGUMENT : KERN_FAILURE;
  } else {
    if (awaitPark(slot, requested) == withPhase(requested, kParked)) return KERN_SUCCESS;
    failure = KERN_OPERATION_TIMED_OUT;
  }

  if (withdrawRequest(slot, requested)) return KERN_SUCCESS;
  TableLock lock;
  releaseSlot(slot);
  return failure;
}

kern_return_t thread_resume(thread_t thread) {
  if (thread <= 0 || gInstalled.load() != 2) return KERN_FAILURE;
  TableLock lock;
  ParkSlot* slot = findSlot(thread);
  if (slot == nullptr || slot->suspendCount <= 0) return KERN_FAILURE;
  if (--slot->suspendCount > 0) return KERN_SUCCESS;
  slot->word.store(withPhase(slot->word.load(), kReleased));
  futexWakeAll(&slot->word);
  releaseSlot(slot);
  return KERN_SUCCESS;
}

kern_return_t thread_get_state(thread_t thread, int flavor, void* state, std::uint32_t* count) {
  std::uint32_t needed = 0;
  switch (flavor) {
    case x86_THREAD_STATE: needed = x86_THREAD_STATE_COUNT; break;
    case x86_THREAD_STATE64: needed = x86_THREAD_STATE64_COUNT; break;
    case x86_EXCEPTION_STATE: needed = x86_EXCEPTION_STATE_COUNT; break;
    case x86_EXCEPTION_STATE64: needed = x86_EXCEPTION_STATE64_COUNT; break;
    default: return KERN_INVALID_ARGUMENT;
  }
  if (state == nullptr || count == nullptr || *count < needed) return KERN_INVALID_ARGUMENT;

  // A thread waiting for the answer to its exception is seen as it was at the fault, not as the
  // handler that waits (where a suspension would have parked it).
  x86_mcontext64 atException;
  const x86_mcontext64* source = &atException;
  if (!thread_exception_state(thread, &atException)) {
    ParkSlot* slot = thread > 0 ? findSlot(thread) : nullptr;
    if (slot == nullptr || phaseOf(slot->word.load()) != kParked) return KERN_FAILURE;
    source = &slot->context;
  }
  const x86_mcontext64& context = *source;
  switch (flavor) {
    case x86_THREAD_STATE: {
      auto* out = static_cast<x86_thread_state*>(state);
      out->header = {x86_THREAD_STATE64, static_cast<std::int32_t>(x86_THREAD_STATE64_COUNT)};
      out->state64 = context.ss;
      break;
    }
    case x86_THREAD_STATE64: *static_cast<x86_thread_state64*>(state) = context.ss; break;
    case x86_EXCEPTION_STATE: {
      auto* out = static_cast<x86_exception_state*>(state);
      out->header = {x86_EXCEPTION_STATE64, static_cast<std::int32_t>(x86_EXCEPTION_STATE64_COUNT)};
      out->state64 = context.es;
      break;
    }
    case x86_EXCEPTION_STATE64: *static_cast<x86_exception_state64*>(state) = context.es; break;
  }
  *count = needed;
  return KERN_SUCCESS;
}

}  // namespace kernel
