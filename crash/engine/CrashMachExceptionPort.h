#pragma once
// Exception-port registrations as objects: CrashMachExceptionPort is one registration (port,
// mask, behavior, flavor) that can be installed on the process or a thread, and
// CrashMachExceptionPortSet holds the registrations such an installation replaced, both as
// objects and as the plain record the crash path forwards to.
//
// Each port object owns one send-right reference on its port while it lives (none for
// MACH_PORT_NULL and MACH_PORT_DEAD). Objects are not copyable; share them by pointer. Not for the
// crash path; safe on any thread, one call at a time per object.
#include <memory>
#include <vector>

#include "crash/engine/CrashAsyncMachException.h"
#include "platform/foundation/Error.h"

class CrashMachExceptionPortSet;

class CrashMachExceptionPort {
 public:
  // Keeps the four values and, for a valid port, takes a send-right reference of its own (a
  // failure is logged "Unexpected error incrementing mach port reference: %d").
  CrashMachExceptionPort(kernel::mach_port_t port, kernel::exception_mask_t mask,
                         kernel::exception_behavior_t behavior, kernel::thread_state_flavor_t flavor);
  // Gives the reference back (a failure is logged "Unexpected error decrementing mach port
  // reference: %d").
  ~CrashMachExceptionPort();
  CrashMachExceptionPort(const CrashMachExceptionPort&) = delete;
  CrashMachExceptionPort& operator=(const CrashMachExceptionPort&) = delete;

  kernel::mach_port_t server_port() const { return port_; }
  kernel::exception_mask_t mask() const { return mask_; }
  kernel::exception_behavior_t behavior() const { return behavior_; }
  kernel::thread_state_flavor_t flavor() const { return flavor_; }

  // Installs this registration for `task` (its process's own exception ports). Returns true and,
  // when `previous` is given, the registrations it replaced; false with a Mach-domain error
  // (code: the kernel's result) described "Failed to swap mach exception ports".
  bool registerForTask(kernel::task_t task, std::shared_ptr<CrashMachExceptionPortSet>* previous,
                       foundation::Error* error) const;
  // The same for one thread.
  bool registerForThread(kernel::thread_t thread, std::shared_ptr<CrashMachExceptionPortSet>* previous,
                         foundation::Error* error) const;

  // The current registrations of `task` (of `thread`) for the types in `mask`; null with a
  // Mach-domain error described "Failed to fetch mach exception ports".
  static std::shared_ptr<CrashMachExceptionPortSet> exceptionPortsForTask(kernel::task_t task,
                                                                          kernel::exception_mask_t mask,
                                                                          foundation::Error* error);
  static std::shared_ptr<CrashMachExceptionPortSet> exceptionPortsForThread(kernel::thread_t thread,
                                                                            kernel::exception_mask_t mask,
                                                                            foundation::Error* error);

 private:
  kernel::exception_mask_t mask_;
  kernel::mach_port_t port_;
  kernel::exception_behavior_t behavior_;
  kernel::thread_state_flavor_t flavor_;
};

class CrashMachExceptionPortSet {
 public:
  using Ports = std::vector<std::shared_ptr<CrashMachExceptionPort>>;

  // Holds `set` (each distinct port object once, in the given order) and its record. Adds no
  // references: the members hold them. More than EXC_TYPES_COUNT members is a programming error:
  // std::invalid_argument "Set size of %lu exceeds EXC_TYPES_COUNT (%lu)".
  explicit CrashMachExceptionPortSet(Ports set);
  // Makes one port object per entry of `record` and keeps a copy of the record. Each valid port
  // in the record comes with a send-right reference (as the kernel hands them out); it passes to
  // the port object. A count above EXC_TYPES_COUNT: std::invalid_argument "Count of %lu exceeds
  // EXC_TYPES_COUNT (%lu)".
  explicit CrashMachExceptionPortSet(const crash_mach_exception_port_set& record);

  const Ports& set() const { return set_; }
  // A copy of the plain record, for the crash path.
  crash_mach_exception_port_set asyncSafeRepresentation() const { return record_; }
  Ports::const_iterator begin() const { return set_.begin(); }
  Ports::const_iterator end() const { return set_.end(); }

 private:
  Ports set_;
  crash_mach_exception_port_set record_{};
};
