#include "crash/engine/CrashSignalHandler.h"

#include <errno.h>
#include <stdlib.h>

#include <mutex>

#include "crash/engine/CrashAsyncLinkedList.h"

namespace {

using CallbackList = CrashAsyncLinkedList<crash_signal_callback_entry>;
using ActionList = CrashAsyncLinkedList<crash_signal_previous_action>;

constexpr std::size_t kAlternateStackSize = 65536;

// Created on first registration and never destroyed: a thread that crashes while the process
// exits must still find the lists intact.
struct SharedContext {
  CallbackList callbacks;
  ActionList previousActions;
};

SharedContext& shared() {
  static SharedContext* const context = new SharedContext;
  return *context;
}

std::mutex gRegistrationMutex;

// The alternate stack this thread got from us; released when the thread ends.
struct ThreadAlternateStack {
  void* memory = nullptr;
  ~ThreadAlternateStack() {
    if (memory == nullptr) return;
    stack_t current{};
    if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == memory) {
      stack_t off{};
      off.ss_flags = SS_DISABLE;
      sigaltstack(&off, nullptr);
    }
    free(memory);
  }
};
thread_local ThreadAlternateStack tAlternateStack;

// Makes sure the calling thread has an alternate stack. One it already has (from an earlier
// registration or from someone else) is kept. Returns false with errno set.
bool ensureAlternateStack() {
  stack_t current{};
  if (sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return true;
  void* memory = malloc(kAlternateStackSize);
  if (memory == nullptr) {
    errno = ENOMEM;
    return false;
  }
  stack_t stack{};
  stack.ss_sp = memory;
  stack.ss_size = kAlternateStackSize;
  if (sigaltstack(&stack, nullptr) != 0) {
    const int saved = errno;
    free(memory);
    errno = saved;
    return false;
  }
  tAlternateStack.memory = memory;
  return true;
}

bool iterateChain(int signo, siginfo_t* info, ucontext_t* uap, void* current) {
  CallbackList& list = shared().callbacks;
  list.set_reading(true);
  CallbackList::node* entry = list.next(static_cast<CallbackList::node*>(current));
  if (entry == nullptr) {
    list.set_reading(false);
    return false;
  }
  crash_signal_next_handler rest{iterateChain, entry};
  const bool more = list.next(entry) != nullptr;
  const bool handled = entry->value.callback(signo, info, uap, entry->value.context, more ? &rest : nullptr);
  list.set_reading(false);
  return handled;
}

// The last step of the chain: the rest of the chain first, then the action that was installed
// before ours. SIG_DFL and SIG_IGN are tested before SA_SIGINFO: an action may carry that flag
// with SIG_IGN or SIG_DFL, and those are not functions to call.
bool passThrough(int signo, siginfo_t* info, ucontext_t* uap, void*, crash_signal_next_handler* next) {
  if (next != nullptr && CrashSignalHandlerForward(next, signo, info, uap)) return true;

  ActionList& list = shared().previousActions;
  list.set_reading(true);
  bool handled = false;
  for (ActionList::node* entry = list.next(nullptr); entry != nullptr; entry = list.next(entry)) {
    if (entry->value.signo != signo) continue;
    const struct sigaction& action = entry->value.action;
    if (action.sa_handler == SIG_IGN) {
      handled = true;
    } else if (action.sa_handler == SIG_DFL) {
      handled = false;
    } else if ((action.sa_flags & SA_SIGINFO) != 0) {
      action.sa_sigaction(signo, info, uap);
      handled = true;
    } else {
      action.sa_handler(signo);
      handled = true;
    }
    break;
  }
  list.set_reading(false);
  return handled;
}

foundation::Error posixError(int number, const char* description) {
  return foundation::Error::withDescription(foundation::kPOSIXErrorDomain, number, description);
}

template <typename List>
void removeAll(List& list) {
  list.set_reading(true);
  for (auto* entry = list.next(nullptr); entry != nullptr; entry = list.next(entry)) {
    list.nasync_remove_node(entry);
  }
  list.set_reading(false);
}

}  // namespace

bool CrashSignalHandlerForward(crash_signal_next_handler* next, int signo, siginfo_t* info,
                               ucontext_t* uap) {
  if (next == nullptr) return false;
  return next->function(signo, info, uap, next->context);
}

void crash_signal_handler(int signo, siginfo_t* info, void* uap) {
  const int savedErrno = errno;
  if (!iterateChain(signo, info, static_cast<ucontext_t*>(uap), nullptr)) {
    // Nobody handled it: let the default action end the process. Raised under our own handler,
    // the signal would come straight back here, for ever.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signo, &fallback, nullptr);
    raise(signo);
  }
  errno = savedErrno;
}

CrashSignalHandler& CrashSignalHandler::sharedHandler() {
  static CrashSignalHandler* const handler = new CrashSignalHandler;
  return *handler;
}

bool CrashSignalHandler::registerHandlerWithSignal(int signo, foundation::Error* error) {
  std::lock_guard lock(gRegistrationMutex);
  SharedContext& context = shared();

  if (!ensureAlternateStackForCurrentThread(error)) return false;

  context.callbacks.nasync_append({passThrough, nullptr});

  bool hooked = false;
  context.previousActions.set_reading(true);
  for (auto* entry = context.previousActions.next(nullptr); entry != nullptr && !hooked;
       entry = context.previousActions.next(entry)) {
    hooked = entry->value.signo == signo;
  }
  context.previousActions.set_reading(false);
  if (hooked) return true;

  struct sigaction action {};
  action.sa_sigaction = crash_signal_handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  crash_signal_previous_action previous{};
  previous.signo = signo;
  if (sigaction(signo, &action, &previous.action) != 0) {
    if (error != nullptr) *error = posixError(errno, "Failed to register signal handler");
    return false;
  }
  // After resetHandlers our own handler may be what we replace; passing the signal on to it
  // would recurse without end, so it counts as the default action.
  if ((previous.action.sa_flags & SA_SIGINFO) != 0 && previous.action.sa_sigaction == crash_signal_handler) {
    previous.action = {};
    previous.action.sa_handler = SIG_DFL;
  }
  context.previousActions.nasync_append(previous);
  return true;
}

bool CrashSignalHandler::registerHandlerForSignal(int signo, crash_signal_callback callback,
                                                  void* context, foundation::Error* error) {
  if (!registerHandlerWithSignal(signo, error)) return false;
  shared().callbacks.nasync_prepend({callback, context});
  return true;
}

bool CrashSignalHandler::ensureAlternateStackForCurrentThread(foundation::Error* error) {
  if (ensureAlternateStack()) return true;
  if (error != nullptr) *error = posixError(errno, "Could not initialize alternative signal stack");
  return false;
}

void CrashSignalHandler::resetHandlers() {
  std::lock_guard lock(gRegistrationMutex);
  removeAll(shared().previousActions);
  removeAll(shared().callbacks);
}
