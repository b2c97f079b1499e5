#pragma once
// Small helpers for tests that hand ports around.
#include "platform/kernel/MachPort.h"

namespace test {

// A new port of the calling process with one send right on it.
inline kernel::mach_port_t portWithSendRight() {
  kernel::mach_port_t port = kernel::MACH_PORT_NULL;
  kernel::mach_port_allocate(kernel::task_self(), kernel::MACH_PORT_RIGHT_RECEIVE, &port);
  kernel::mach_port_insert_right(kernel::task_self(), port, port, kernel::MACH_MSG_TYPE_MAKE_SEND);
  return port;
}

// The send references the name space holds on `port` (0 for a name that is not a live port).
inline kernel::mach_port_mscount_t sendRefs(kernel::mach_port_t port) {
  kernel::mach_port_mscount_t refs = 0;
  kernel::mach_port_get_refs(kernel::task_self(), port, kernel::MACH_PORT_RIGHT_SEND, &refs);
  return refs;
}

}  // namespace test
