#include "crash/engine/CrashSignalHandler.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <string>

#include "tests/support/ChildProcess.h"

// Every test runs in a forked child: the handler and its lists are process-wide. Callbacks and
// earlier handlers write a letter to the child's trace when they run.
namespace {

CrashSignalHandler& handler() { return CrashSignalHandler::sharedHandler(); }

bool forwardA(int signo, siginfo_t* info, ucontext_t* uap, void*, crash_signal_next_handler* next) {
  test::trace("A");
  return CrashSignalHandlerForward(next, signo, info, uap);
}

bool forwardB(int signo, siginfo_t* info, ucontext_t* uap, void*, crash_signal_next_handler* next) {
  test::trace("B");
  return CrashSignalHandlerForward(next, signo, info, uap);
}

bool declineC(int, siginfo_t*, ucontext_t*, void*, crash_signal_next_handler*) {
  test::trace("C");
  return false;
}

void earlierPlainHandler(int) { test::trace("p"); }

siginfo_t* gSeenInfo = nullptr;
ucontext_t* gSeenContext = nullptr;

bool recordPointers(int signo, siginfo_t* info, ucontext_t* uap, void*, crash_signal_next_handler* next) {
  gSeenInfo = info;
  gSeenContext = uap;
  test::trace("A");
  return CrashSignalHandlerForward(next, signo, info, uap);
}

void earlierSiginfoHandler(int, siginfo_t* info, void* uap) {
  test::trace(info == gSeenInfo && uap == gSeenContext && info->si_value.sival_int == 77 ? "P" : "X");
}

void install(int signo, void (*plain)(int), void (*withInfo)(int, siginfo_t*, void*), int flags) {
  struct sigaction action {};
  if (withInfo != nullptr) {
    action.sa_sigaction = withInfo;
  } else {
    action.sa_handler = plain;
  }
  action.sa_flags = flags;
  sigemptyset(&action.sa_mask);
  sigaction(signo, &action, nullptr);
}

int raiseAndTraceEnd(int signo) {
  raise(signo);
  test::trace("E");
  return 0;
}

// A real fault. Sanitizer builds would report the null read as undefined behaviour before it
// happens, so that check is off here.
__attribute__((no_sanitize("undefined"))) int readNull() { return *static_cast<volatile int*>(nullptr); }

TEST(SignalHandlerChain, EarlierActionsDecideWhenTheChainPassesTheSignalOn) {
  struct Case {
    const char* name;
    int (*body)();
    const char* trace;
    int killedBy;  // 0: exits 0
  };
  const Case cases[] = {
      {"earlier SIG_IGN swallows it",
       [] {
         install(SIGUSR1, SIG_IGN, nullptr, 0);
         handler().registerHandlerForSignal(SIGUSR1, forwardA, nullptr, nullptr);
         return raiseAndTraceEnd(SIGUSR1);
       },
       "AE", 0},
      {"SIG_IGN with SA_SIGINFO is still ignored, not called",
       [] {
         install(SIGUSR1, SIG_IGN, nullptr, SA_SIGINFO);
         handler().registerHandlerForSignal(SIGUSR1, forwardA, nullptr, nullptr);
         return raiseAndTraceEnd(SIGUSR1);
       },
       "AE", 0},
      {"a callback declining without forwarding overrides SIG_IGN",
       [] {
         install(SIGUSR1, SIG_IGN, nullptr, 0);
         handler().registerHandlerForSignal(SIGUSR1, declineC, nullptr, nullptr);
         return raiseAndTraceEnd(SIGUSR1);
       },
       "C", SIGUSR1},
      {"earlier one-argument handler is called",
       [] {
         install(SIGUSR2, earlierPlainHandler, nullptr, 0);
         handler().registerHandlerForSignal(SIGUSR2, forwardA, nullptr, nullptr);
         return raiseAndTraceEnd(SIGUSR2);
       },
       "ApE", 0},
      {"earlier SA_SIGINFO handler gets the same info and context",
       [] {
         install(SIGUSR2, nullptr, earlierSiginfoHandler, SA_SIGINFO);
         handler().registerHandlerForSignal(SIGUSR2, recordPointers, nullptr, nullptr);
         sigqueue(getpid(), SIGUSR2, sigval{77});
         test::trace("E");
         return 0;
       },
       "APE", 0},
      {"default action ends the process after the chain",
       [] {
         handler().registerHandlerForSignal(SIGSEGV, forwardA, nullptr, nullptr);
         return readNull();
       },
       "A", SIGSEGV},
      {"installed handler without callbacks raises again",
       [] {
         handler().registerHandlerWithSignal(SIGUSR1, nullptr);
         return raiseAndTraceEnd(SIGUSR1);
       },
       "", SIGUSR1},
  };
  for (const Case& c : cases) {
    const test::ChildResult result = test::runInChild(c.body);
    if (c.killedBy == 0) {
      EXPECT_TRUE(result.exitedWith(0)) << c.name << ": " << result.describe();
    } else {
      EXPECT_TRUE(result.killedBy(c.killedBy)) << c.name << ": " << result.describe();
    }
    EXPECT_EQ(result.trace, c.trace) << c.name;
  }
}

// The second registration adds a callback but does not hook the signal again: were our own
// handler kept as the earlier action, the earlier handler would never be reached.
TEST(SignalHandlerChain, SecondRegistrationRunsNewestFirstAndHooksOnce) {
  const test::ChildResult result = test::runInChild([] {
    install(SIGUSR2, earlierPlainHandler, nullptr, 0);
    handler().registerHandlerForSignal(SIGUSR2, forwardA, nullptr, nullptr);
    handler().registerHandlerForSignal(SIGUSR2, forwardB, nullptr, nullptr);
    struct sigaction current {};
    sigaction(SIGUSR2, nullptr, &current);
    if (current.sa_sigaction != crash_signal_handler || (current.sa_flags & SA_ONSTACK) == 0) test::trace("!");
    return raiseAndTraceEnd(SIGUSR2);
  });
  EXPECT_TRUE(result.exitedWith(0)) << result.describe();
  EXPECT_EQ(result.trace, "BApE");
}

TEST(SignalHandlerChain, ResetEmptiesTheChain) {
  const test::ChildResult result = test::runInChild([] {
    install(SIGUSR1, SIG_IGN, nullptr, 0);
    handler().registerHandlerForSignal(SIGUSR1, forwardA, nullptr, nullptr);
    handler().registerHandlerForSignal(SIGUSR1, forwardB, nullptr, nullptr);
    CrashSignalHandler::resetHandlers();
    handler().registerHandlerForSignal(SIGUSR1, forwardA, nullptr, nullptr);
    return raiseAndTraceEnd(SIGUSR1);
  });
  // Only the callback registered after the reset runs; the earlier SIG_IGN was forgotten with
  // the list, so the signal takes its default action.
  EXPECT_TRUE(result.killedBy(SIGUSR1)) << result.describe();
  EXPECT_EQ(result.trace, "A");
}

TEST(SignalHandlerChain, RegistrationFailureIsAPosixError) {
  const test::ChildResult result = test::runInChild([] {
    foundation::Error error;
    const bool registered = handler().registerHandlerForSignal(SIGKILL, forwardA, nullptr, &error);
    const bool right = !registered && error.domain() == foundation::kPOSIXErrorDomain && error.code() == EINVAL &&
                       error.localizedDescription() == "Failed to register signal handler";
    test::trace(right ? "ok" : error.description().c_str());
    // The failed registration added no callback: SIGUSR1 then finds only pass-through steps,
    // which end at its earlier SIG_IGN.
    install(SIGUSR1, SIG_IGN, nullptr, 0);
    handler().registerHandlerWithSignal(SIGUSR1, nullptr);
    return raiseAndTraceEnd(SIGUSR1);
  });
  EXPECT_TRUE(result.exitedWith(0)) << result.describe();
  EXPECT_EQ(result.trace, "okE");
}

// Each registering thread gets its own alternate stack, so an overflow on a second thread is
// still handled there. Left out of address checking: its frames must pile up on the real stack.
__attribute__((no_sanitize("address"))) int overflow(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return depth < (1 << 30) ? overflow(depth + 1) + frame[0] : 0;
}

TEST(SignalHandlerChain, StackOverflowOnAnotherRegisteringThreadReachesTheChain) {
  const test::ChildResult result = test::runInChild([] {
    handler().registerHandlerForSignal(SIGSEGV, forwardA, nullptr, nullptr);
    stack_t mainStack{};
    sigaltstack(nullptr, &mainStack);
    pthread_t thread;
    pthread_create(&thread, nullptr, [](void* mainStackPointer) -> void* {
      handler().registerHandlerWithSignal(SIGSEGV, nullptr);
      stack_t own{};
      sigaltstack(nullptr, &own);
      const bool distinct = (own.ss_flags & SS_DISABLE) == 0 && own.ss_sp != mainStackPointer && own.ss_size >= 65536;
      test::trace(distinct ? "D" : "-");
      return reinterpret_cast<void*>(static_cast<long>(overflow(0)));
    }, mainStack.ss_sp);
    pthread_join(thread, nullptr);
    return 0;
  });
  EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.describe();
  EXPECT_EQ(result.trace, "DA");
}

}  // namespace
