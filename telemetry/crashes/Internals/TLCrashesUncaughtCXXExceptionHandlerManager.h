#pragma once
// TLCrashesUncaughtCXXExceptionHandlerManager hands a C++ exception that nobody caught, with the
// frames of the place it was thrown, to the functions registered with it, just before the process
// ends. Without it the crash engine would only see the abort of the terminate path.
//
// Two hooks make that work. This library defines the exception runtime's throw entry point
// `__cxa_throw` itself; the executable exports it (see the link options of the target), so every
// throw in the process, those inside the C++ library included, passes through it. Once a handler
// is registered it keeps, per thread, the thrown object and a backtrace of up to 128 frames, then
// forwards to the runtime's own entry point. The first registration also installs a terminate
// handler, which finds the exception's type and message and calls every handler.
//
// The handler list, the installed flag and the previous terminate handler sit behind one spin
// lock; the throw hook takes no lock. Handlers run on the terminating thread with that lock held,
// so a handler must not add or remove handlers.
#include <cstdint>

// What a handler is told of the exception that ends the process. Valid only during the call;
// nothing in it is owned by the handler.
struct CXXExceptionCaptureInfo {
  const void* exceptionRef = nullptr;     // the terminate handler's std::exception_ptr to the exception
  const char* typeName = nullptr;         // the mangled name of the exception's type
  const char* message = nullptr;          // the exception's text; null when it has none
  std::uint32_t frameCount = 0;           // entries of `frames`
  const std::uint64_t* frames = nullptr;  // return addresses, innermost first
};

// A function to call with an uncaught exception. It may end the process.
using TLCrashesUncaughtCXXExceptionHandler = void (*)(const CXXExceptionCaptureInfo* info);

class TLCrashesUncaughtCXXExceptionHandlerManager {
 public:
  TLCrashesUncaughtCXXExceptionHandlerManager() = delete;

  // Appends `handler` to the list (a handler added twice is called twice). The first call makes
  // throws record their backtraces from then on and installs the terminate handler, remembering
  // the one it replaces. It also takes one backtrace at once, so that the unwinder is loaded now
  // and not first on the terminate path. Thread-safe.
  static void addCXXExceptionHandler(TLCrashesUncaughtCXXExceptionHandler handler);
  // Removes the first entry equal to `handler`; nothing when there is none. When the list is then
  // empty, the previous terminate handler is put back, unless another one was installed after
  // ours, which then stays (and so does ours, under it). Thread-safe.
  static void removeCXXExceptionHandler(TLCrashesUncaughtCXXExceptionHandler handler);
  // The number of handlers in the list. Thread-safe.
  static std::uint32_t countCXXExceptionHandler();
};
