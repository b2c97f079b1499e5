#include "platform/kernel/ExceptionPorts.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "platform/kernel/ThreadControl.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ExceptionCatcher.h"
#include "tests/support/MachPorts.h"
#include "tests/support/FaultingCode.h"

namespace {

using namespace kernel;
namespace faults = test::faults;



constexpr exception_mask_t kFaultMask = EXC_MASK_BAD_ACCESS | EXC_MASK_BAD_INSTRUCTION | EXC_MASK_ARITHMETIC |
                                        EXC_MASK_BREAKPOINT;
constexpr exception_behavior_t kDefault64 = EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES;

struct Previous {
  exception_mask_t masks[EXC_TYPES_COUNT] = {};
  mach_port_t ports[EXC_TYPES_COUNT] = {};
  exception_behavior_t behaviors[EXC_TYPES_COUNT] = {};
  thread_state_flavor_t flavors[EXC_TYPES_COUNT] = {};
  mach_msg_type_number_t count = EXC_TYPES_COUNT;
};

kern_return_t swapTask(exception_mask_t mask, mach_port_t port, exception_behavior_t behavior = kDefault64,
                       thread_state_flavor_t flavor = x86_THREAD_STATE, Previous* previous = nullptr) {
  Previous ignored;
  Previous* out = previous != nullptr ? previous : &ignored;
  return task_swap_exception_ports(task_self(), mask, port, behavior, flavor, out->masks, &out->count, out->ports,
                                   out->behaviors, out->flavors);
}

kern_return_t swapThread(thread_t thread, exception_mask_t mask, mach_port_t port) {
  Previous ignored;
  return thread_swap_exception_ports(thread, mask, port, kDefault64, x86_THREAD_STATE, ignored.masks, &ignored.count,
                                     ignored.ports, ignored.behaviors, ignored.flavors);
}

TEST(ExceptionPorts, SwapsReturnWhatTheyReplacedGroupedAndWithASendRightEach) {
  const mach_port_t a = test::portWithSendRight();
  const mach_port_t b = test::portWithSendRight();
  ASSERT_EQ(swapTask(EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC, a), KERN_SUCCESS);

  Previous previous;
  ASSERT_EQ(swapTask(EXC_MASK_BAD_ACCESS | EXC_MASK_GUARD, b, EXCEPTION_STATE_IDENTITY, x86_THREAD_STATE64, &previous),
            KERN_SUCCESS);
  ASSERT_EQ(previous.count, 2u);
  EXPECT_EQ(previous.masks[0], EXC_MASK_BAD_ACCESS);
  EXPECT_EQ(previous.ports[0], a);
  EXPECT_EQ(previous.behaviors[0], kDefault64);
  EXPECT_EQ(previous.flavors[0], x86_THREAD_STATE);
  EXPECT_EQ(previous.masks[1], EXC_MASK_GUARD);
  EXPECT_EQ(previous.ports[1], MACH_PORT_NULL);
  EXPECT_EQ(test::sendRefs(a), 2u) << "the caller's own right and the one the swap handed back";

  Previous current;
  ASSERT_EQ(task_get_exception_ports(task_self(), EXC_MASK_BAD_ACCESS | EXC_MASK_ARITHMETIC | EXC_MASK_GUARD, current.masks,
                                     &current.count, current.ports, current.behaviors, current.flavors),
            KERN_SUCCESS);
  ASSERT_EQ(current.count, 2u);
  EXPECT_EQ(current.masks[0], EXC_MASK_BAD_ACCESS | EXC_MASK_GUARD);
  EXPECT_EQ(current.ports[0], b);
  EXPECT_EQ(current.behaviors[0], EXCEPTION_STATE_IDENTITY);
  EXPECT_EQ(current.flavors[0], x86_THREAD_STATE64);
  EXPECT_EQ(current.masks[1], EXC_MASK_ARITHMETIC);
  EXPECT_EQ(current.ports[1], a);

  // A port that died comes back as a dead name, without a reference.
  ASSERT_EQ(mach_port_destroy(task_self(), a), KERN_SUCCESS);
  Previous afterDeath;
  ASSERT_EQ(task_get_exception_ports(task_self(), EXC_MASK_ARITHMETIC, afterDeath.masks, &afterDeath.count,
                                     afterDeath.ports, afterDeath.behaviors, afterDeath.flavors),
            KERN_SUCCESS);
  EXPECT_EQ(afterDeath.ports[0], MACH_PORT_DEAD);
}

TEST(ExceptionPorts, RefusedRegistrations) {
  const mach_port_t port = test::portWithSendRight();
  mach_port_t receiveOnly = MACH_PORT_NULL;
  mach_port_allocate(task_self(), MACH_PORT_RIGHT_RECEIVE, &receiveOnly);
  struct Case {
    const char* name;
    exception_mask_t mask;
    mach_port_t port;
    exception_behavior_t behavior;
    thread_state_flavor_t flavor;
    kern_return_t expected;
  };
  const Case cases[] = {
      {"type 0", 1, port, kDefault64, x86_THREAD_STATE, KERN_INVALID_ARGUMENT},
      {"type 14", 1u << 14, port, kDefault64, x86_THREAD_STATE, KERN_INVALID_ARGUMENT},
      {"behavior 4", EXC_MASK_CRASH, port, 4, x86_THREAD_STATE, KERN_INVALID_ARGUMENT},
      {"flavor 99", EXC_MASK_CRASH, port, kDefault64, 99, KERN_INVALID_ARGUMENT},
      {"no send right", EXC_MASK_CRASH, receiveOnly, kDefault64, x86_THREAD_STATE, KERN_INVALID_RIGHT},
  };
  for (const Case& c : cases) EXPECT_EQ(swapTask(c.mask, c.port, c.behavior, c.flavor), c.expected) << c.name;
  Previous ignored;
  EXPECT_EQ(task_swap_exception_ports(task_self() + 1, EXC_MASK_CRASH, port, kDefault64, x86_THREAD_STATE, ignored.masks,
                                      &ignored.count, ignored.ports, ignored.behaviors, ignored.flavors),
            KERN_INVALID_ARGUMENT);
  EXPECT_EQ(swapThread(0x7FFFFFF0, EXC_MASK_CRASH, port), KERN_INVALID_ARGUMENT) << "not a thread of ours";
}

// The six raise routines against a catcher that answers with the state it got, plus one.
TEST(ExceptionPorts, RaiseRoutinesCarryCodesAndStateBothWays) {
  test::ExceptionCatcher catcher(KERN_SUCCESS);
  const mach_exception_data_type_t codes64[2] = {0x1'0000'0002LL, -3};
  const exception_data_type_t codes32[2] = {2, -3};
  const natural_t oldState[3] = {10, 20, 30};
  struct Case {
    const char* name;
    kern_return_t (*raise)(mach_port_t, const mach_exception_data_type_t*, const exception_data_type_t*,
                           const natural_t*, natural_t*, mach_msg_type_number_t*);
    mach_msg_id_t id;
    bool identity;
    bool state;
    mach_exception_data_type_t firstCode;
  };
  const Case cases[] = {
      {"64-bit default",
       [](mach_port_t p, const mach_exception_data_type_t* c, const exception_data_type_t*, const natural_t*,
          natural_t*, mach_msg_type_number_t*) { return mach_exception_raise(p, 77, 88, EXC_CRASH, c, 2); },
       MACH_EXCEPTION_RAISE_ID, true, false, 0x1'0000'0002LL},
      {"64-bit state",
       [](mach_port_t p, const mach_exception_data_type_t* c, const exception_data_type_t*, const natural_t* s,
          natural_t* n, mach_msg_type_number_t* nc) {
         thread_state_flavor_t flavor = x86_THREAD_STATE;
         return mach_exception_raise_state(p, EXC_CRASH, c, 2, &flavor, s, 3, n, nc);
       },
       MACH_EXCEPTION_RAISE_STATE_ID, false, true, 0x1'0000'0002LL},
      {"64-bit state identity",
       [](mach_port_t p, const mach_exception_data_type_t* c, const exception_data_type_t*, const natural_t* s,
          natural_t* n, mach_msg_type_number_t* nc) {
         thread_state_flavor_t flavor = x86_THREAD_STATE;
         return mach_exception_raise_state_identity(p, 77, 88, EXC_CRASH, c, 2, &flavor, s, 3, n, nc);
       },
       MACH_EXCEPTION_RAISE_STATE_IDENTITY_ID, true, true, 0x1'0000'0002LL},
      {"32-bit default",
       [](mach_port_t p, const mach_exception_data_type_t*, const exception_data_type_t* c, const natural_t*,
          natural_t*, mach_msg_type_number_t*) { return exception_raise(p, 77, 88, EXC_CRASH, c, 2); },
       EXCEPTION_RAISE_ID, true, false, 2},
      {"32-bit state",
       [](mach_port_t p, const mach_exception_data_type_t*, const exception_data_type_t* c, const natural_t* s,
          natural_t* n, mach_msg_type_number_t* nc) {
         thread_state_flavor_t flavor = x86_THREAD_STATE;
         return exception_raise_state(p, EXC_CRASH, c, 2, &flavor, s, 3, n, nc);
       },
       EXCEPTION_RAISE_STATE_ID, false, true, 2},
      {"32-bit state identity",
       [](mach_port_t p, const mach_exception_data_type_t*, const exception_data_type_t* c, const natural_t* s,
          natural_t* n, mach_msg_type_number_t* nc) {
         thread_state_flavor_t flavor = x86_THREAD_STATE;
         return exception_raise_state_identity(p, 77, 88, EXC_CRASH, c, 2, &flavor, s, 3, n, nc);
       },
       EXCEPTION_RAISE_STATE_IDENTITY_ID, true, true, 2},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    natural_t newState[THREAD_STATE_MAX] = {};
    mach_msg_type_number_t newCount = THREAD_STATE_MAX;
    EXPECT_EQ(c.raise(catcher.port(), codes64, codes32, oldState, newState, &newCount), KERN_SUCCESS) << c.name;
    const auto requests = catcher.waitFor(++seen);
    ASSERT_EQ(requests.size(), seen) << c.name;
    const exception_request& request = requests.back();
    EXPECT_EQ(request.id, c.id) << c.name;
    EXPECT_EQ(request.exception, EXC_CRASH) << c.name;
    EXPECT_EQ(request.codeCnt, 2u) << c.name;
    EXPECT_EQ(request.codes[0], c.firstCode) << c.name;
    EXPECT_EQ(request.codes[1], -3) << c.name;
    EXPECT_EQ(request.thread, c.identity ? 77 : 0) << c.name;
    EXPECT_EQ(request.task, c.identity ? 88 : 0) << c.name;
    if (c.state) {
      EXPECT_EQ(request.stateCnt, 3u) << c.name;
      EXPECT_EQ(request.state[2], 30u) << c.name;
      EXPECT_EQ(newCount, 3u) << c.name;
      EXPECT_EQ(newState[2], 31u) << c.name;
    }
  }

  // A request thrown away unanswered wakes its sender.
  const mach_port_t nobody = test::portWithSendRight();
  std::thread destroyer([nobody] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    mach_port_destroy(task_self(), nobody);
  });
  EXPECT_EQ(mach_exception_raise(nobody, 1, 2, EXC_CRASH, codes64, 2), MIG_SERVER_DIED);
  destroyer.join();
  EXPECT_EQ(mach_exception_raise(nobody, 1, 2, EXC_CRASH, codes64, 3), MIG_ARRAY_TOO_LARGE);
}

// --- the bridge, in crashing children -------------------------------------------------------

void traceRequest(const exception_request& request) {
  char line[96];
  snprintf(line, sizeof line, "%d %lld %llx|", request.exception, static_cast<long long>(request.codes[0]),
           static_cast<unsigned long long>(request.codes[1]));
  test::trace(line);
}

std::string expectedTrace(exception_type_t type, long long code, std::uint64_t address) {
  char line[96];
  snprintf(line, sizeof line, "%d %lld %llx|", type, code, static_cast<unsigned long long>(address));
  return line;
}

void* readOnlyPage() {
  return mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

// Catches every fault type for the process with a catcher that answers `answer`, then faults.
template <kern_return_t answer>
int faultWith(faults::Function fault, void* argument) {
  static test::ExceptionCatcher catcher(answer);
  catcher.setObserver(traceRequest);
  if (swapTask(kFaultMask, catcher.port()) != KERN_SUCCESS) return 10;
  fault(argument);
  test::trace("resumed");
  return 0;
}

TEST(ExceptionBridge, FaultsBecomeExceptionsAndEndAsTheirSignalWhenRefused) {
  struct Case {
    const char* name;
    int (*body)();
    int signo;
    std::string trace;
  };
  void* const page = readOnlyPage();  // inherited by each child at the same address
  static void* gPage;
  gPage = page;
  const Case cases[] = {
      {"unmapped read", [] { return faultWith<KERN_FAILURE>(faults::read(), reinterpret_cast<void*>(16)); }, SIGSEGV,
       expectedTrace(EXC_BAD_ACCESS, KERN_INVALID_ADDRESS, 16)},
      {"write to a read-only page", [] { return faultWith<KERN_FAILURE>(faults::write(), gPage); }, SIGSEGV,
       expectedTrace(EXC_BAD_ACCESS, KERN_PROTECTION_FAILURE, reinterpret_cast<std::uint64_t>(gPage))},
      {"non-canonical address", [] { return faultWith<KERN_FAILURE>(faults::read(), reinterpret_cast<void*>(1ULL << 63)); },
       SIGSEGV, expectedTrace(EXC_BAD_ACCESS, EXC_I386_GPFLT, 0)},
      {"undefined instruction", [] { return faultWith<KERN_FAILURE>(faults::illegalInstruction(), nullptr); }, SIGILL,
       expectedTrace(EXC_BAD_INSTRUCTION, EXC_I386_INVOP, faults::faultingInstruction(faults::illegalInstruction()))},
      {"divide by zero", [] { return faultWith<KERN_FAILURE>(faults::divideByZero(), nullptr); }, SIGFPE,
       expectedTrace(EXC_ARITHMETIC, EXC_I386_DIV, faults::faultingInstruction(faults::divideByZero()))},
      {"breakpoint", [] { return faultWith<KERN_FAILURE>(faults::breakpoint(), nullptr); }, SIGTRAP,
       expectedTrace(EXC_BREAKPOINT, EXC_I386_BPT, 0)},
      {"breakpoint answered KERN_SUCCESS resumes", [] { return faultWith<KERN_SUCCESS>(faults::breakpoint(), nullptr); },
       0, expectedTrace(EXC_BREAKPOINT, EXC_I386_BPT, 0) + "resumed"},
  };
  for (const Case& c : cases) {
    const test::ChildResult result = test::runInChild(c.body);
    EXPECT_TRUE(result.endedAs(c.signo)) << c.name << ": " << result.describe();
    EXPECT_EQ(result.trace, c.trace) << c.name;
  }
}

void earlierHandler(int signo, siginfo_t*, void*) {
  test::trace(signo == SIGSEGV ? "earlier|" : "?|");
  _exit(3);
}

void traceThreadPort(const exception_request&) { test::trace("thread|"); }
void traceTaskPort(const exception_request&) { test::trace("task|"); }

TEST(ExceptionBridge, WhoSeesAFaultAndInWhatOrder) {
  struct Case {
    const char* name;
    int (*body)();
    std::string trace;
    int signo;  // 0: exits with 3
  };
  const Case cases[] = {
      {"thread port first, then the task port, then the earlier action",
       [] {
         struct sigaction action {};
         action.sa_sigaction = earlierHandler;
         action.sa_flags = SA_SIGINFO;
         sigaction(SIGSEGV, &action, nullptr);
         static test::ExceptionCatcher task(KERN_FAILURE);
         static test::ExceptionCatcher thread(KERN_FAILURE);
         task.setObserver(traceTaskPort);
         thread.setObserver(traceThreadPort);
         swapTask(EXC_MASK_BAD_ACCESS, task.port());
         swapThread(thread_self(), EXC_MASK_BAD_ACCESS, thread.port());
         faults::read()(nullptr);
         return 0;
       },
       "thread|task|earlier|", 0},
      {"a signal sent by a process is no exception",
       [] {
         static test::ExceptionCatcher task(KERN_FAILURE);
         task.setObserver(traceTaskPort);
         swapTask(EXC_MASK_BAD_ACCESS, task.port());
         kill(getpid(), SIGSEGV);
         return 0;
       },
       "", SIGSEGV},
      {"a fault on the receiving thread itself does not wait for itself",
       [] {
         static test::ExceptionCatcher task(KERN_FAILURE);
         task.setObserver([](const exception_request&) { faults::read()(nullptr); });
         swapTask(EXC_MASK_BAD_ACCESS | EXC_MASK_BREAKPOINT, task.port());
         faults::breakpoint()(nullptr);
         return 0;
       },
       "", SIGSEGV},
  };
  for (const Case& c : cases) {
    const test::ChildResult result = test::runInChild(c.body);
    EXPECT_TRUE(result.endedAs(c.signo, 3)) << c.name << ": " << result.describe();
    EXPECT_EQ(result.trace, c.trace) << c.name;
  }
}

// A child forked after the registration has the registration but not the receiving thread.
TEST(ExceptionBridge, AChildWithoutTheReceivingThreadEndsByTheSignal) {
  test::ExceptionCatcher catcher(KERN_FAILURE);
  ASSERT_EQ(swapTask(EXC_MASK_BAD_ACCESS, catcher.port()), KERN_SUCCESS);
  const test::ChildResult result = test::runInChild([] {
    faults::read()(nullptr);
    return 0;
  });
  EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.describe();
  EXPECT_TRUE(catcher.waitFor(0).empty());
  ASSERT_EQ(swapTask(EXC_MASK_BAD_ACCESS, MACH_PORT_NULL), KERN_SUCCESS);
}

__attribute__((noinline)) int recurse(int depth) {
  volatile char frame[256];
  frame[0] = static_cast<char>(depth);
  if (depth < 0) return 0;
  return recurse(depth + 1) + frame[0];
}

// The handler needs stack of its own: a thread with an alternate signal stack can report running
// out of its stack.
TEST(ExceptionBridge, StackOverflowOnAThreadWithAnAlternateStack) {
  const test::ChildResult result = test::runInChild([] {
    static test::ExceptionCatcher catcher(KERN_FAILURE);
    catcher.setObserver([](const exception_request& request) {
      char line[64];
      snprintf(line, sizeof line, "%d %lld|", request.exception, static_cast<long long>(request.codes[0]));
      test::trace(line);
    });
    swapTask(EXC_MASK_BAD_ACCESS, catcher.port());
    std::thread([] {
      static char alternate[65536];
      stack_t stack{};
      stack.ss_sp = alternate;
      stack.ss_size = sizeof alternate;
      sigaltstack(&stack, nullptr);
      recurse(0);
    }).join();
    return 0;
  });
  EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.describe();
  EXPECT_EQ(result.trace, "1 2|") << "EXC_BAD_ACCESS, KERN_PROTECTION_FAILURE: the guard page below the stack";
}

// The state forms carry the registers at the fault, and so does thread_get_state while the
// faulting thread waits, even when it is suspended meanwhile.
TEST(ExceptionBridge, StateAtTheFault) {
#if defined(__SANITIZE_THREAD__)
  // Its handler wrapper blocks every signal, so the thread waiting in the bridge cannot be parked.
  GTEST_SKIP() << "ThreadSanitizer runs signal handlers with every signal blocked";
#endif
  const test::ChildResult result = test::runInChild([] {
    static test::ExceptionCatcher catcher(KERN_FAILURE);
    catcher.setObserver([](const exception_request& request) {
      x86_thread_state sent{};
      std::memcpy(&sent, request.state, sizeof sent);
      x86_thread_state read{};
      std::uint32_t count = x86_THREAD_STATE_COUNT;
      const bool suspended = thread_suspend(request.thread) == KERN_SUCCESS;
      const bool gotState = thread_get_state(request.thread, x86_THREAD_STATE, &read, &count) == KERN_SUCCESS;
      x86_exception_state exception{};
      count = x86_EXCEPTION_STATE_COUNT;
      const bool gotException =
          thread_get_state(request.thread, x86_EXCEPTION_STATE, &exception, &count) == KERN_SUCCESS;
      if (suspended) thread_resume(request.thread);
      const std::uint64_t at = faults::faultingInstruction(faults::read());
      test::trace(request.stateCnt == x86_THREAD_STATE_COUNT ? "count|" : "?|");
      test::trace(sent.state64.rip == at && sent.state64.rdi == 16 ? "sent|" : "?|");
      test::trace(suspended && gotState && read.state64.rip == at ? "read|" : "?|");
      test::trace(gotException && exception.state64.faultvaddr == 16 && exception.state64.trapno == 14 ? "cr2|" : "?|");
    });
    swapTask(EXC_MASK_BAD_ACCESS, catcher.port(), EXCEPTION_STATE_IDENTITY | MACH_EXCEPTION_CODES, x86_THREAD_STATE);
    faults::read()(reinterpret_cast<void*>(16));
    return 0;
  });
  EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.describe();
  EXPECT_EQ(result.trace, "count|sent|read|cr2|");
}

}  // namespace
