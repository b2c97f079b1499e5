#include "crash/engine/CrashMachExceptionPort.h"

#include <stdexcept>

#include "platform/foundation/Log.h"
#include "platform/foundation/String.h"
#include "platform/kernel/ExceptionPorts.h"

namespace {

using namespace kernel;

foundation::Error machError(kern_return_t kr, const char* description) {
  return foundation::Error::withDescription(foundation::kMachErrorDomain, kr, description);
}

void dropReference(mach_port_t port) {
  const kern_return_t kr = mach_port_mod_refs(task_self(), port, MACH_PORT_RIGHT_SEND, -1);
  if (kr != KERN_SUCCESS) foundation::NSLog("Unexpected error decrementing mach port reference: %d", kr);
}

// The arrays a swap or get call fills, as the set's record.
struct Registrations {
  crash_mach_exception_port_set record{};
  mach_msg_type_number_t count = EXC_TYPES_COUNT;  // capacity in, entries out
  crash_mach_exception_port_set& done() {
    record.count = count;
    return record;
  }
};

using SwapCall = kern_return_t (*)(std::int32_t, exception_mask_t, mach_port_t, exception_behavior_t,
                                   thread_state_flavor_t, exception_mask_t*, mach_msg_type_number_t*, mach_port_t*,
                                   exception_behavior_t*, thread_state_flavor_t*);
using GetCall = kern_return_t (*)(std::int32_t, exception_mask_t, exception_mask_t*, mach_msg_type_number_t*,
                                  mach_port_t*, exception_behavior_t*, thread_state_flavor_t*);

bool swap(SwapCall call, std::int32_t target, const CrashMachExceptionPort& port,
          std::shared_ptr<CrashMachExceptionPortSet>* previous, foundation::Error* error) {
  Registrations replaced;
  const kern_return_t kr = call(target, port.mask(), port.server_port(), port.behavior(), port.flavor(),
                                replaced.record.masks, &replaced.count, replaced.record.ports,
                                replaced.record.behaviors, replaced.record.flavors);
  if (kr != KERN_SUCCESS) {
    if (error != nullptr) *error = machError(kr, "Failed to swap mach exception ports");
    return false;
  }
  // Built even when the caller does not want it: it takes over the references the call handed out.
  auto set = std::make_shared<CrashMachExceptionPortSet>(replaced.done());
  if (previous != nullptr) *previous = std::move(set);
  return true;
}

std::shared_ptr<CrashMachExceptionPortSet> current(GetCall call, std::int32_t target, exception_mask_t mask,
                                                   foundation::Error* error) {
  Registrations found;
  const kern_return_t kr = call(target, mask, found.record.masks, &found.count, found.record.ports,
                                found.record.behaviors, found.record.flavors);
  if (kr != KERN_SUCCESS) {
    if (error != nullptr) *error = machError(kr, "Failed to fetch mach exception ports");
    return nullptr;
  }
  return std::make_shared<CrashMachExceptionPortSet>(found.done());
}

}  // namespace

CrashMachExceptionPort::CrashMachExceptionPort(mach_port_t port, exception_mask_t mask, exception_behavior_t behavior,
                                               thread_state_flavor_t flavor)
    : mask_(mask), port_(port), behavior_(behavior), flavor_(flavor) {
  if (!MACH_PORT_VALID(port_)) return;
  const kern_return_t kr = mach_port_mod_refs(task_self(), port_, MACH_PORT_RIGHT_SEND, 1);
  if (kr != KERN_SUCCESS) foundation::NSLog("Unexpected error incrementing mach port reference: %d", kr);
}

CrashMachExceptionPort::~CrashMachExceptionPort() {
  if (MACH_PORT_VALID(port_)) dropReference(port_);
}

bool CrashMachExceptionPort::registerForTask(task_t task, std::shared_ptr<CrashMachExceptionPortSet>* previous,
                                             foundation::Error* error) const {
  return swap(task_swap_exception_ports, task, *this, previous, error);
}

bool CrashMachExceptionPort::registerForThread(thread_t thread, std::shared_ptr<CrashMachExceptionPortSet>* previous,
                                               foundation::Error* error) const {
  return swap(thread_swap_exception_ports, thread, *this, previous, error);
}

std::shared_ptr<CrashMachExceptionPortSet> CrashMachExceptionPort::exceptionPortsForTask(task_t task,
                                                                                         exception_mask_t mask,
                                                                                         foundation::Error* error) {
  return current(task_get_exception_ports, task, mask, error);
}

std::shared_ptr<CrashMachExceptionPortSet> CrashMachExceptionPort::exceptionPortsForThread(thread_t thread,
                                                                                           exception_mask_t mask,
                                                                                           foundation::Error* error) {
  return current(thread_get_exception_ports, thread, mask, error);
}

CrashMachExceptionPortSet::CrashMachExceptionPortSet(Ports set) {
  for (auto& port : set) {
    bool seen = false;
    for (const auto& kept : set_) seen = seen || kept == port;
    if (!seen) set_.push_back(std::move(port));
  }
  if (set_.size() > EXC_TYPES_COUNT) {
    throw std::invalid_argument(foundation::stringWithFormat("Set size of %lu exceeds EXC_TYPES_COUNT (%lu)",
                                                             static_cast<unsigned long>(set_.size()),
                                                             static_cast<unsigned long>(EXC_TYPES_COUNT)));
  }
  record_.count = static_cast<std::uint32_t>(set_.size());
  for (std::size_t i = 0; i < set_.size(); ++i) {
    record_.ports[i] = set_[i]->server_port();
    record_.masks[i] = set_[i]->mask();
    record_.behaviors[i] = set_[i]->behavior();
    record_.flavors[i] = set_[i]->flavor();
  }
}

CrashMachExceptionPortSet::CrashMachExceptionPortSet(const crash_mach_exception_port_set& record) : record_(record) {
  if (record.count > EXC_TYPES_COUNT) {
    throw std::invalid_argument(foundation::stringWithFormat("Count of %lu exceeds EXC_TYPES_COUNT (%lu)",
                                                             static_cast<unsigned long>(record.count),
                                                             static_cast<unsigned long>(EXC_TYPES_COUNT)));
  }
  set_.reserve(record.count);
  for (std::uint32_t i = 0; i < record.count; ++i) {
    set_.push_back(std::make_shared<CrashMachExceptionPort>(record.ports[i], record.masks[i], record.behaviors[i],
                                                            record.flavors[i]));
    // The port object took its own reference; the one the kernel handed out is done with. Null
    // and dead names came without one.
    if (MACH_PORT_VALID(record.ports[i])) dropReference(record.ports[i]);
  }
}
