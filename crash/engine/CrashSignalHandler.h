#pragma once
// The engine's one process-wide handler of fatal POSIX signals. It runs a chain of callbacks,
// newest first; at the end of the chain a pass-through step hands the signal to whatever action
// was installed for it before the engine. A signal nobody handles is raised again under its
// default action, which ends the process.
//
// Each thread that registers gets its own alternate signal stack, so a stack overflow on any of
// them can still be reported. Threads that never registered run the handler on their own stack,
// unless they ask for an alternate one (ensureAlternateStackForCurrentThread).
#include <signal.h>
#include <ucontext.h>

#include "platform/foundation/Error.h"

// The rest of the chain, as handed to a callback.
struct crash_signal_next_handler {
  bool (*function)(int signo, siginfo_t* info, ucontext_t* uap, void* handler_context);
  void* context;
};

// A chain callback: returns true when it handled the signal. `next` is null when it is the last
// one; it lets the rest of the chain run only through CrashSignalHandlerForward.
typedef bool (*crash_signal_callback)(int signo, siginfo_t* info, ucontext_t* uap, void* context,
                                      crash_signal_next_handler* next);

struct crash_signal_callback_entry {
  crash_signal_callback callback;
  void* context;
};

// An action that was installed before the engine's.
struct crash_signal_previous_action {
  int signo;
  struct sigaction action;
};

// Runs the rest of the chain and returns its result; false when `next` is null.
// Async-signal-safe.
bool CrashSignalHandlerForward(crash_signal_next_handler* next, int signo, siginfo_t* info,
                               ucontext_t* uap);

// The handler installed with sigaction (SA_SIGINFO | SA_ONSTACK, empty mask).
void crash_signal_handler(int signo, siginfo_t* info, void* uap);

class CrashSignalHandler final {
 public:
  // The shared instance; it lives until the process ends.
  static CrashSignalHandler& sharedHandler();

  // Gives the calling thread an alternate signal stack (64 KiB) unless it has one, appends the
  // pass-through step to the chain and, the first time for `signo`, installs the handler and keeps
  // the action it replaces. Returns true; false with a POSIX-domain error (code errno) described
  // "Could not initialize alternative signal stack" or "Failed to register signal handler".
  // Thread-safe: registrations are serialised.
  bool registerHandlerWithSignal(int signo, foundation::Error* error);

  // registerHandlerWithSignal, then puts `callback` with `context` at the head of the chain, so
  // the newest callback runs first. Returns false, adding nothing, when the registration fails.
  bool registerHandlerForSignal(int signo, crash_signal_callback callback, void* context,
                                foundation::Error* error);

  // Gives the calling thread an alternate signal stack (64 KiB, released when the thread ends)
  // unless it has one. A thread needs one for a stack overflow on it to reach any handler.
  // Returns true; false with a POSIX-domain error (code errno) described "Could not initialize
  // alternative signal stack". Affects the calling thread only.
  static bool ensureAlternateStackForCurrentThread(foundation::Error* error);

  // Empties both lists (earlier actions, then callbacks). Installed handlers and alternate stacks
  // stay. A signal the handler then receives finds no callback and ends the process.
  static void resetHandlers();

 private:
  CrashSignalHandler() = default;
  CrashSignalHandler(const CrashSignalHandler&) = delete;
  CrashSignalHandler& operator=(const CrashSignalHandler&) = delete;
};
