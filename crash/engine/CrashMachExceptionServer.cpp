#include "crash/engine/CrashMachExceptionServer.h"

#include <errno.h>
#include <time.h>

#include <cstring>

#include "crash/engine/CrashAsync.h"
#include "platform/foundation/Log.h"
#include "platform/kernel/MachineContext.h"
#include "platform/kernel/VirtualMemory.h"

namespace {

using namespace kernel;

constexpr mach_msg_id_t kStopMessageId = static_cast<mach_msg_id_t>(0xDEADBEEF);
// Offsets of the default request with 64-bit codes, as the kernel lays it out.
constexpr std::size_t kThreadOffset = offsetof(mach_exception_raise_request_t, thread);
constexpr std::size_t kTaskOffset = offsetof(mach_exception_raise_request_t, task);
constexpr std::size_t kExceptionOffset = offsetof(mach_exception_raise_request_t, exception);
constexpr std::size_t kCodeCountOffset = offsetof(mach_exception_raise_request_t, codeCnt);
constexpr std::size_t kCodesOffset = offsetof(mach_exception_raise_request_t, code);
// Anything shorter cannot hold a request with both codes.
constexpr mach_msg_size_t kSmallestRequest = sizeof(mach_exception_raise_request_t) - 1;

foundation::Error posixError(int code, const char* description) {
  return foundation::Error::withDescription(foundation::kPOSIXErrorDomain, code, description);
}

foundation::Error machError(kern_return_t kr, const char* description) {
  return foundation::Error::withDescription(foundation::kMachErrorDomain, kr, description);
}

mach_msg_size_t roundToPages(std::uint64_t size) {
  const std::uint64_t page = vm_page_size();
  return static_cast<mach_msg_size_t>((size + page - 1) / page * page);
}

template <typename T>
T field(const unsigned char* message, std::size_t offset) {
  T value;
  std::memcpy(&value, message + offset, sizeof value);
  return value;
}

void markStopped(crash_exception_server_context* context) {
  pthread_mutex_lock(&context->lock);
  context->server_stopped = true;
  pthread_cond_broadcast(&context->server_cond);
  pthread_mutex_unlock(&context->lock);
}

// Calls the callback for a request and returns its answer.
kern_return_t dispatch(crash_exception_server_context* context, const unsigned char* message, mach_msg_size_t size) {
  // The codes are copied out: in the message they are not 8-byte aligned, and a count larger
  // than the message holds must not make the callback read past it.
  mach_exception_data_type_t codes[(MACH_MSG_SIZE_MAX - kCodesOffset) / sizeof(mach_exception_data_type_t)];
  const std::size_t fit = (size - kCodesOffset) / sizeof(mach_exception_data_type_t);
  mach_msg_type_number_t count = field<mach_msg_type_number_t>(message, kCodeCountOffset);
  if (count > fit) count = static_cast<mach_msg_type_number_t>(fit);
  std::memcpy(codes, message + kCodesOffset, count * sizeof(mach_exception_data_type_t));
  return context->callback(static_cast<task_t>(field<mach_port_t>(message, kTaskOffset)),
                           static_cast<thread_t>(field<mach_port_t>(message, kThreadOffset)),
                           field<exception_type_t>(message, kExceptionOffset), codes, count,
                           context->callback_context);
}

// Makes the thread's id known to the server, which waits for it before it is handed out.
void announce(crash_exception_server_context* context) {
  pthread_mutex_lock(&context->lock);
  context->server_thread = thread_self();
  pthread_cond_broadcast(&context->server_cond);
  pthread_mutex_unlock(&context->lock);
}

void* exception_server_thread(void* argument) {
  auto* context = static_cast<crash_exception_server_context*>(argument);
  mach_msg_size_t bufferSize = roundToPages(sizeof(mach_exception_raise_request_t));
  std::uint64_t buffer = 0;
  kern_return_t kr = vm_allocate(bufferSize, &buffer);
  if (kr != KERN_SUCCESS) {
    CRASH_ASYNC_LOG("Unexpected error in vm_allocate(): %x", kr);
    announce(context);
    markStopped(context);
    return nullptr;
  }
  // The first receive only polls: it makes this thread the set's receiver before the server is
  // announced, so that an exception raised right after set-up finds someone to answer it.
  bool announced = false;
  for (;;) {
    auto* request = reinterpret_cast<mach_msg_header_t*>(buffer);
    request->msgh_local_port = context->port_set;
    request->msgh_size = bufferSize;
    kr = mach_msg(request, MACH_RCV_MSG | MACH_RCV_LARGE | (announced ? 0 : MACH_RCV_TIMEOUT), 0, bufferSize,
                  context->port_set, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (!announced) {
      announce(context);
      announced = true;
      if (kr == MACH_RCV_TIMED_OUT) continue;
    }
    if (kr == MACH_RCV_TOO_LARGE) {
      const mach_msg_size_t needed = roundToPages(request->msgh_size);
      vm_deallocate(buffer, bufferSize);
      bufferSize = needed;
      kr = vm_allocate(bufferSize, &buffer);
      if (kr != KERN_SUCCESS) {
        CRASH_ASYNC_LOG("Unexpected error in vm_allocate(): 0x%x", kr);
        markStopped(context);
        return nullptr;
      }
      continue;
    }
    if (kr == MACH_RCV_INVALID_NAME || kr == MACH_RCV_PORT_DIED) {
      // The set is gone: nothing can arrive any more, and retrying would only spin.
      CRASH_ASYNC_LOG("Unexpected error in mach_msg(): 0x%x", kr);
      break;
    }
    if (kr != MACH_MSG_SUCCESS) {
      CRASH_ASYNC_LOG("Unexpected error in mach_msg(): 0x%x", kr);
      continue;
    }

    if (request->msgh_local_port == context->notify_port) {
      if (request->msgh_id == MACH_NOTIFY_NO_SENDERS) continue;
      if (request->msgh_id == kStopMessageId && context->server_should_stop.load() != 0) break;
    }

    mach_exception_raise_reply_t reply{};
    if (request->msgh_size > kSmallestRequest) {
      reply.RetCode = dispatch(context, reinterpret_cast<const unsigned char*>(buffer), request->msgh_size);
    } else {
      CRASH_ASYNC_LOG("Unexpected message size of %llu", static_cast<unsigned long long>(request->msgh_size));
      reply.RetCode = KERN_FAILURE;
    }
    reply.Head.msgh_bits = MACH_MSGH_BITS(MACH_MSGH_BITS_REMOTE(request->msgh_bits), 0);
    reply.Head.msgh_size = sizeof reply;
    reply.Head.msgh_remote_port = request->msgh_remote_port;
    reply.Head.msgh_local_port = MACH_PORT_NULL;
    reply.Head.msgh_id = request->msgh_id + 100;
    reply.NDR = NDR_record;
    kr = mach_msg(&reply.Head, MACH_SEND_MSG, sizeof reply, 0, MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE, MACH_PORT_NULL);
    if (kr != MACH_MSG_SUCCESS) CRASH_ASYNC_LOG("Unexpected failure replying to Mach exception message: 0x%x", kr);
  }
  markStopped(context);
  vm_deallocate(buffer, bufferSize);
  return nullptr;
}

}  // namespace

std::shared_ptr<CrashMachExceptionServer> CrashMachExceptionServer::initWithCallBack(
    CrashMachExceptionServerCallback callback, void* context, foundation::Error* error) {
  auto fail = [error](foundation::Error reason) {
    if (error != nullptr) *error = std::move(reason);
    return nullptr;
  };
  auto* shared = new crash_exception_server_context{};
  shared->callback = callback;
  shared->callback_context = context;
  if (int code = pthread_mutex_init(&shared->lock, nullptr); code != 0) {
    delete shared;
    return fail(posixError(code, "Mutex initialization failed"));
  }
  if (int code = pthread_cond_init(&shared->server_cond, nullptr); code != 0) {
    pthread_mutex_destroy(&shared->lock);
    delete shared;
    return fail(posixError(code, "Condition initialization failed"));
  }
  // From here on the server's destructor releases whatever was set up.
  std::shared_ptr<CrashMachExceptionServer> server(new CrashMachExceptionServer);
  server->_serverContext = shared;

  const task_t task = task_self();
  kern_return_t kr = mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &shared->server_port);
  if (kr != KERN_SUCCESS) return fail(machError(kr, "Failed to allocate exception server's port"));
  kr = mach_port_allocate(task, MACH_PORT_RIGHT_RECEIVE, &shared->notify_port);
  if (kr != KERN_SUCCESS) return fail(machError(kr, "Failed to allocate exception server's port"));
  kr = mach_port_insert_right(task, shared->notify_port, shared->notify_port, MACH_MSG_TYPE_MAKE_SEND);
  if (kr != KERN_SUCCESS) return fail(machError(kr, "Failed to add send right to exception server's port"));
  mach_port_t previous = MACH_PORT_NULL;
  kr = mach_port_request_notification(task, shared->server_port, MACH_NOTIFY_NO_SENDERS, 1, shared->notify_port,
                                      MACH_MSG_TYPE_MAKE_SEND_ONCE, &previous);
  if (kr != KERN_SUCCESS) {
    return fail(machError(kr, "Failed to request MACH_NOTIFY_NO_SENDERS on the exception server's port"));
  }
  kr = mach_port_allocate(task, MACH_PORT_RIGHT_PORT_SET, &shared->port_set);
  if (kr != KERN_SUCCESS) return fail(machError(kr, "Failed to allocate exception server's port set"));
  kr = mach_port_move_member(task, shared->server_port, shared->port_set);
  if (kr != KERN_SUCCESS) return fail(machError(kr, "Failed to add exception server port to port set"));
  kr = mach_port_move_member(task, shared->notify_port, shared->port_set);
  if (kr != KERN_SUCCESS) return fail(machError(kr, "Failed to add exception server notify port to port set"));

  pthread_attr_t attributes;
  if (int code = pthread_attr_init(&attributes); code != 0) {
    return fail(posixError(code, "Failed to initialize pthread_attr"));
  }
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int created = pthread_create(&thread, &attributes, exception_server_thread, shared);
  pthread_attr_destroy(&attributes);
  if (created != 0) return fail(posixError(created, "Failed to create exception server thread"));

  // The thread names itself as it starts.
  pthread_mutex_lock(&shared->lock);
  while (shared->server_thread == 0) pthread_cond_wait(&shared->server_cond, &shared->lock);
  pthread_mutex_unlock(&shared->lock);
  return server;
}

CrashMachExceptionServer::~CrashMachExceptionServer() {
  crash_exception_server_context* context = _serverContext;
  if (context == nullptr) return;
  // A server whose set-up failed before the thread started has nothing to stop.
  if (context->server_thread != 0) {
    std::uint32_t expected = 0;
    context->server_should_stop.compare_exchange_strong(expected, 1);
    mach_msg_header_t stop{};
    stop.msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
    stop.msgh_size = sizeof stop;
    stop.msgh_remote_port = context->notify_port;
    stop.msgh_local_port = MACH_PORT_NULL;
    stop.msgh_id = kStopMessageId;
    const kern_return_t kr = mach_msg(&stop, MACH_SEND_MSG, sizeof stop, 0, MACH_PORT_NULL, MACH_MSG_TIMEOUT_NONE,
                                      MACH_PORT_NULL);
    if (kr != MACH_MSG_SUCCESS) {
      foundation::NSLog("Unexpected error sending termination message to background thread: %d", kr);
      return;
    }
    pthread_mutex_lock(&context->lock);
    while (!context->server_stopped && thread_alive(context->server_thread)) {
      timespec limit{};
      clock_gettime(CLOCK_REALTIME, &limit);
      limit.tv_nsec += 100'000'000;
      if (limit.tv_nsec >= 1'000'000'000) {
        limit.tv_sec += 1;
        limit.tv_nsec -= 1'000'000'000;
      }
      pthread_cond_timedwait(&context->server_cond, &context->lock, &limit);
    }
    pthread_mutex_unlock(&context->lock);
  }
  const task_t task = task_self();
  if (context->server_port != MACH_PORT_NULL) mach_port_destroy(task, context->server_port);
  if (context->notify_port != MACH_PORT_NULL) mach_port_destroy(task, context->notify_port);
  if (context->port_set != MACH_PORT_NULL) mach_port_destroy(task, context->port_set);
  pthread_cond_destroy(&context->server_cond);
  pthread_mutex_destroy(&context->lock);
  delete context;
}

std::shared_ptr<CrashMachExceptionPort> CrashMachExceptionServer::exceptionPortWithMask(exception_mask_t mask,
                                                                                        foundation::Error* error) {
  const mach_port_t port = copySendRightForServerAndReturningError(error);
  if (!MACH_PORT_VALID(port)) return nullptr;
  auto registration =
      std::make_shared<CrashMachExceptionPort>(port, mask, EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, x86_THREAD_STATE);
  mach_port_mod_refs(task_self(), port, MACH_PORT_RIGHT_SEND, -1);
  return registration;
}

mach_port_t CrashMachExceptionServer::copySendRightForServerAndReturningError(foundation::Error* error) {
  pthread_mutex_lock(&_serverContext->lock);
  const mach_port_t port = _serverContext->server_port;
  const kern_return_t kr = mach_port_insert_right(task_self(), port, port, MACH_MSG_TYPE_MAKE_SEND);
  pthread_mutex_unlock(&_serverContext->lock);
  if (kr != KERN_SUCCESS) {
    if (error != nullptr) *error = machError(kr, "Failed to insert Mach send right");
    return MACH_PORT_NULL;
  }
  return port;
}

thread_t CrashMachExceptionServer::serverThread() {
  pthread_mutex_lock(&_serverContext->lock);
  const thread_t thread = _serverContext->server_thread;
  pthread_mutex_unlock(&_serverContext->lock);
  return thread;
}
