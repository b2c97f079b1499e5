#pragma once
// CrashMachExceptionServer receives the exceptions sent to its port on a thread of its own,
// hands each to a callback, and answers with what the callback returns: KERN_SUCCESS lets the
// faulting thread go on, anything else passes the exception on (in the end to the signal). The
// crash reporter registers the server's port for the process and writes its report from the
// callback, while the faulting thread waits for the answer.
//
// The server owns a receive port for exceptions, a notify port (for no-senders notifications
// and its stop message) and a port set holding both, all served by one detached thread.
// Destroying the server stops the thread and releases the ports. Not copyable; share it by
// pointer. Its methods may be called from any thread; the callback runs on the server's thread
// without any lock held.
#include <pthread.h>

#include <atomic>
#include <memory>

#include "crash/engine/CrashMachExceptionPort.h"
#include "platform/foundation/Error.h"

// Receives each exception: the faulting thread's task and thread, the type, its codes and their
// count (codes past the end of the message are never passed), and the server's context. The
// result is the answer. Runs on the server thread, where it may suspend every other thread.
typedef kernel::kern_return_t (*CrashMachExceptionServerCallback)(kernel::task_t task, kernel::thread_t thread,
                                                                  kernel::exception_type_t exception_type,
                                                                  const kernel::mach_exception_data_type_t* codes,
                                                                  kernel::mach_msg_type_number_t code_count,
                                                                  void* context);

// What the server and its thread share; allocated zero-filled by the server, which owns it.
struct crash_exception_server_context {
  kernel::thread_t server_thread;  // the serving thread, 0 until it runs
  kernel::mach_port_t server_port;
  kernel::mach_port_t notify_port;
  kernel::mach_port_t port_set;
  CrashMachExceptionServerCallback callback;
  void* callback_context;
  pthread_mutex_t lock;
  pthread_cond_t server_cond;
  std::atomic<std::uint32_t> server_should_stop;  // 0 to 1, once
  bool server_stopped;                            // set by the thread as it ends
};

class CrashMachExceptionServer {
 public:
  // Sets up the ports and starts the serving thread. Returns the server, or null with `*error`
  // set (when given): POSIX domain "Mutex initialization failed", "Condition initialization
  // failed", "Failed to initialize pthread_attr", "Failed to create exception server thread";
  // Mach domain "Failed to allocate exception server's port", "Failed to add send right to
  // exception server's port", "Failed to request MACH_NOTIFY_NO_SENDERS on the exception
  // server's port", "Failed to allocate exception server's port set", "Failed to add exception
  // server port to port set", "Failed to add exception server notify port to port set". Whatever
  // was set up before a failure is released.
  static std::shared_ptr<CrashMachExceptionServer> initWithCallBack(CrashMachExceptionServerCallback callback,
                                                                    void* context, foundation::Error* error);
  // Stops the thread (waiting for it, unless it is gone, as in a forked child) and releases the
  // ports. When the stop message cannot be sent, logs "Unexpected error sending termination
  // message to background thread: %d" and leaves the thread and its ports as they are.
  ~CrashMachExceptionServer();
  CrashMachExceptionServer(const CrashMachExceptionServer&) = delete;
  CrashMachExceptionServer& operator=(const CrashMachExceptionServer&) = delete;

  // A registration of the server's port for the types in `mask`, with the default behavior and
  // 64-bit codes (EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES) and flavor x86_THREAD_STATE; null
  // when no send right could be made (`*error` set).
  std::shared_ptr<CrashMachExceptionPort> exceptionPortWithMask(kernel::exception_mask_t mask,
                                                                foundation::Error* error);

  // Makes a send right on the server's port for the caller, who owns the reference. Returns the
  // port's name; MACH_PORT_NULL with a Mach-domain error "Failed to insert Mach send right".
  kernel::mach_port_t copySendRightForServerAndReturningError(foundation::Error* error);

  // The serving thread.
  kernel::thread_t serverThread();

  // The ports and state the thread serves, for diagnostics and tests; owned by the server.
  const crash_exception_server_context* serverContext() const { return _serverContext; }

 private:
  CrashMachExceptionServer() = default;

  crash_exception_server_context* _serverContext = nullptr;
};
