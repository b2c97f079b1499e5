#include "platform/kernel/ExceptionPorts.h"

#include <errno.h>
#include <signal.h>

#include <atomic>
#include <mutex>

#include "platform/kernel/ThreadControl.h"

namespace kernel {
namespace {

constexpr std::size_t kThreadTableSize = 64;
constexpr std::size_t kDeliveryTableSize = 64;

// One registration in a word that a signal handler reads whole: the port in bits 0-31, the
// behavior in 32-39 (its base, with bit 39 for the codes flag), the flavor in 40-55.
struct Registration {
  mach_port_t port;
  exception_behavior_t behavior;
  thread_state_flavor_t flavor;

  bool operator==(const Registration&) const = default;
};

std::uint64_t pack(const Registration& r) {
  const std::uint64_t behavior = static_cast<std::uint64_t>(r.behavior & 0x7F) | ((r.behavior & MACH_EXCEPTION_CODES) != 0 ? 0x80 : 0);
  return r.port | behavior << 32 | static_cast<std::uint64_t>(static_cast<std::uint16_t>(r.flavor)) << 40;
}

Registration unpack(std::uint64_t word) {
  const auto behaviorByte = static_cast<std::uint32_t>(word >> 32 & 0xFF);
  exception_behavior_t behavior = static_cast<exception_behavior_t>(behaviorByte & 0x7F);
  if ((behaviorByte & 0x80) != 0) behavior |= MACH_EXCEPTION_CODES;
  return {static_cast<mach_port_t>(word), behavior, static_cast<std::int16_t>(word >> 40 & 0xFFFF)};
}

using PortTable = std::atomic<std::uint64_t>[EXC_TYPES_COUNT];

struct ThreadPorts {
  std::atomic<thread_t> thread{0};
  PortTable ports{};
};

PortTable gTaskPorts{};
ThreadPorts gThreadPorts[kThreadTableSize];
std::mutex gRegistrationLock;

// A thread waiting for the answer to its exception, with its registers at the fault. `owner`
// claims the slot; `thread` publishes it once the registers are written.
struct Delivery {
  std::atomic<thread_t> owner{0};
  std::atomic<thread_t> thread{0};
  x86_mcontext64 context{};
};
Delivery gDeliveries[kDeliveryTableSize];

// The actions the bridge replaced, by signal number; written before the bridge is installed.
struct sigaction gPreviousActions[NSIG];

struct BridgedSignal {
  int signo;
  exception_type_t type;
};
constexpr BridgedSignal kBridgedSignals[] = {
    {SIGSEGV, EXC_BAD_ACCESS}, {SIGBUS, EXC_BAD_ACCESS}, {SIGILL, EXC_BAD_INSTRUCTION},
    {SIGFPE, EXC_ARITHMETIC},  {SIGTRAP, EXC_BREAKPOINT},
};

bool validBehavior(exception_behavior_t behavior) {
  const exception_behavior_t base = behavior & ~MACH_EXCEPTION_CODES;
  return base >= EXCEPTION_DEFAULT && base <= EXCEPTION_STATE_IDENTITY;
}

bool validFlavor(thread_state_flavor_t flavor) {
  return flavor == x86_THREAD_STATE || flavor == x86_THREAD_STATE64 || flavor == x86_EXCEPTION_STATE ||
         flavor == x86_EXCEPTION_STATE64 || flavor == THREAD_STATE_NONE;
}

// --- the bridge -------------------------------------------------------------------------------

// The exception a fault signal stands for: its type and codes[0].
bool exceptionOf(int signo, int code, exception_type_t* type, mach_exception_data_type_t* first) {
  switch (signo) {
    case SIGSEGV:
      *type = EXC_BAD_ACCESS;
      *first = code == SEGV_MAPERR ? KERN_INVALID_ADDRESS : code == SI_KERNEL ? EXC_I386_GPFLT : KERN_PROTECTION_FAILURE;
      return true;
    case SIGBUS:
      *type = EXC_BAD_ACCESS;
      *first = KERN_MEMORY_ERROR;
      return true;
    case SIGILL:
      *type = EXC_BAD_INSTRUCTION;
      *first = EXC_I386_INVOP;
      return true;
    case SIGFPE:
      *type = EXC_ARITHMETIC;
      *first = code == FPE_INTDIV ? EXC_I386_DIV : code == FPE_INTOVF ? EXC_I386_INTO : EXC_I386_SSEEXTERR;
      return true;
    case SIGTRAP:
      *type = EXC_BREAKPOINT;
      *first = code == TRAP_TRACE ? EXC_I386_SGL : EXC_I386_BPT;
      return true;
    default:
      return false;
  }
}

Delivery* beginDelivery(thread_t self, const void* ucontext) {
  for (Delivery& delivery : gDeliveries) {
    thread_t expected = 0;
    if (!delivery.owner.compare_exchange_strong(expected, self)) continue;
    machine_context_from_ucontext(ucontext, &delivery.context);
    delivery.thread.store(self);
    return &delivery;
  }
  return nullptr;  // thread_get_state then cannot see the fault's registers; the exception still goes out
}

void endDelivery(Delivery* delivery) {
  if (delivery == nullptr) return;
  delivery->thread.store(0);
  delivery->owner.store(0);
}

// Sends the exception to the thread's port and then the process's; true once one answers
// KERN_SUCCESS.
bool raiseFault(exception_type_t type, const mach_exception_data_type_t* codes, const void* ucontext) {
  const thread_t self = thread_self();
  Delivery* delivery = beginDelivery(self, ucontext);
  std::uint64_t words[2] = {0, gTaskPorts[type].load()};
  for (ThreadPorts& own : gThreadPorts) {
    if (own.thread.load() == self) words[0] = own.ports[type].load();
  }
  bool handled = false;
  for (std::uint64_t word : words) {
    const Registration registration = unpack(word);
    if (!MACH_PORT_VALID(registration.port) || !mach_port_has_other_receiver(registration.port)) continue;
    natural_t state[THREAD_STATE_MAX];
    std::uint32_t stateCount = 0;
    if ((registration.behavior & ~MACH_EXCEPTION_CODES) != EXCEPTION_DEFAULT) {
      stateCount = THREAD_STATE_MAX;
      if (thread_get_state(self, registration.flavor, state, &stateCount) != KERN_SUCCESS) continue;
    }
    const kern_return_t answer =
        exception_raise_with_behavior(registration.port, registration.behavior, registration.flavor, self,
                                      task_self(), type, codes, 2, state, stateCount, true);
    if (answer == KERN_SUCCESS) {
      handled = true;
      break;
    }
  }
  endDelivery(delivery);
  return handled;
}

// The signal after the exception: the earlier action, or the default one raised again.
void passOn(int signo, siginfo_t* info, void* ucontext) {
  const struct sigaction& previous = gPreviousActions[signo];
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    if ((previous.sa_flags & SA_SIGINFO) != 0) {
      previous.sa_sigaction(signo, info, ucontext);
    } else {
      previous.sa_handler(signo);
    }
    return;
  }
  // A signal someone sent and the process ignored stays ignored; a fault cannot be ignored.
  const bool fault = info != nullptr && info->si_code > 0;
  if (previous.sa_handler == SIG_IGN && !fault) return;
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  sigaction(signo, &fallback, nullptr);
  raise(signo);  // pending until the handler returns: then the default action ends the process
}

void bridgeHandler(int signo, siginfo_t* info, void* ucontext) {
  const int savedErrno = errno;
  exception_type_t type = 0;
  mach_exception_data_type_t codes[2] = {};
  const bool fault = info != nullptr && info->si_code > 0 && exceptionOf(signo, info->si_code, &type, &codes[0]);
  if (fault) codes[1] = static_cast<mach_exception_data_type_t>(reinterpret_cast<std::uintptr_t>(info->si_addr));
  if (!fault || !raiseFault(type, codes, ucontext)) passOn(signo, info, ucontext);
  errno = savedErrno;
}

// Installs the bridge for the signals of the types in `mask` where it is not the current action
// (never yet, or replaced since). Under the registration lock.
void installBridge(exception_mask_t mask) {
  for (const BridgedSignal& bridged : kBridgedSignals) {
    if ((mask & exception_mask_of(bridged.type)) == 0) continue;
    struct sigaction current {};
    if (sigaction(bridged.signo, nullptr, &current) != 0) continue;
    if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == bridgeHandler) continue;
    gPreviousActions[bridged.signo] = current;
    struct sigaction action {};
    action.sa_sigaction = bridgeHandler;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaction(bridged.signo, &action, nullptr);
  }
}

// --- registrations ----------------------------------------------------------------------------

// Groups the registrations of `table` for `mask` into the caller's arrays, each port with a send
// reference of its own. Under the registration lock.
void collect(const PortTable& table, exception_mask_t mask, exception_mask_t* masks, mach_msg_type_number_t* count,
             mach_port_t* ports, exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
  Registration groups[EXC_TYPES_COUNT];
  mach_msg_type_number_t found = 0;
  for (exception_type_t type = 1; type < static_cast<exception_type_t>(EXC_TYPES_COUNT); ++type) {
    if ((mask & exception_mask_of(type)) == 0) continue;
    const Registration registration = unpack(table[type].load());
    mach_msg_type_number_t i = 0;
    while (i < found && !(groups[i] == registration)) ++i;
    if (i == found) {
      if (found == *count) continue;
      groups[found] = registration;
      masks[found++] = 0;
    }
    masks[i] |= exception_mask_of(type);
  }
  for (mach_msg_type_number_t i = 0; i < found; ++i) {
    ports[i] = mach_port_kernel_copyout_send(groups[i].port);
    behaviors[i] = groups[i].behavior;
    flavors[i] = groups[i].flavor;
  }
  *count = found;
}

kern_return_t swapPorts(PortTable& table, exception_mask_t mask, mach_port_t port, exception_behavior_t behavior,
                        thread_state_flavor_t flavor, exception_mask_t* masks, mach_msg_type_number_t* count,
                        mach_port_t* ports, exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
  if ((mask & ~EXC_MASK_VALID) != 0 || !validBehavior(behavior) || !validFlavor(flavor)) return KERN_INVALID_ARGUMENT;
  if (port != MACH_PORT_NULL) {
    mach_port_mscount_t refs = 0;
    if (mach_port_get_refs(task_self(), port, MACH_PORT_RIGHT_SEND, &refs) != KERN_SUCCESS || refs == 0) {
      return KERN_INVALID_RIGHT;
    }
  }
  collect(table, mask, masks, count, ports, behaviors, flavors);
  const std::uint64_t word = pack({port, behavior, flavor});
  for (exception_type_t type = 1; type < static_cast<exception_type_t>(EXC_TYPES_COUNT); ++type) {
    if ((mask & exception_mask_of(type)) == 0) continue;
    if (port != MACH_PORT_NULL) mach_port_kernel_retain_send(port);
    const Registration replaced = unpack(table[type].exchange(word));
    if (MACH_PORT_VALID(replaced.port)) mach_port_kernel_release_send(replaced.port);
  }
  if (port != MACH_PORT_NULL) installBridge(mask);
  return KERN_SUCCESS;
}

// The thread's table, claimed when `claim` is set and it has none. Under the registration lock.
ThreadPorts* threadPorts(thread_t thread, bool claim) {
  for (ThreadPorts& entry : gThreadPorts) {
    if (entry.thread.load() == thread) return &entry;
  }
  if (!claim) return nullptr;
  for (ThreadPorts& entry : gThreadPorts) {
    if (entry.thread.load() != 0) continue;
    for (auto& word : entry.ports) word.store(0);
    entry.thread.store(thread);
    return &entry;
  }
  return nullptr;
}

}  // namespace

kern_return_t task_swap_exception_ports(task_t task, exception_mask_t mask, mach_port_t port,
                                        exception_behavior_t behavior, thread_state_flavor_t flavor,
                                        exception_mask_t* masks, mach_msg_type_number_t* count,
                                        mach_port_t* ports, exception_behavior_t* behaviors,
                                        thread_state_flavor_t* flavors) {
  if (task != task_self()) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(gRegistrationLock);
  return swapPorts(gTaskPorts, mask, port, behavior, flavor, masks, count, ports, behaviors, flavors);
}

kern_return_t thread_swap_exception_ports(thread_t thread, exception_mask_t mask, mach_port_t port,
                                          exception_behavior_t behavior, thread_state_flavor_t flavor,
                                          exception_mask_t* masks, mach_msg_type_number_t* count,
                                          mach_port_t* ports, exception_behavior_t* behaviors,
                                          thread_state_flavor_t* flavors) {
  if (!thread_alive(thread)) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(gRegistrationLock);
  ThreadPorts* own = threadPorts(thread, true);
  if (own == nullptr) return KERN_RESOURCE_SHORTAGE;
  return swapPorts(own->ports, mask, port, behavior, flavor, masks, count, ports, behaviors, flavors);
}

kern_return_t task_get_exception_ports(task_t task, exception_mask_t mask, exception_mask_t* masks,
                                       mach_msg_type_number_t* count, mach_port_t* ports,
                                       exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
  if (task != task_self() || (mask & ~EXC_MASK_VALID) != 0) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(gRegistrationLock);
  collect(gTaskPorts, mask, masks, count, ports, behaviors, flavors);
  return KERN_SUCCESS;
}

kern_return_t thread_get_exception_ports(thread_t thread, exception_mask_t mask, exception_mask_t* masks,
                                         mach_msg_type_number_t* count, mach_port_t* ports,
                                         exception_behavior_t* behaviors, thread_state_flavor_t* flavors) {
  if (!thread_alive(thread) || (mask & ~EXC_MASK_VALID) != 0) return KERN_INVALID_ARGUMENT;
  std::lock_guard lock(gRegistrationLock);
  static const PortTable kNone{};
  const ThreadPorts* own = threadPorts(thread, false);
  collect(own != nullptr ? own->ports : kNone, mask, masks, count, ports, behaviors, flavors);
  return KERN_SUCCESS;
}

bool thread_exception_state(thread_t thread, x86_mcontext64* out) {
  if (thread <= 0) return false;
  for (const Delivery& delivery : gDeliveries) {
    if (delivery.thread.load() != thread) continue;
    *out = delivery.context;
    return true;
  }
  return false;
}

}  // namespace kernel
