#include "telemetry/crashes/Internals/TLCrashesUncaughtCXXExceptionHandlerManager.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

namespace {

constexpr int kMaxFrames = 128;

// What the last throw on a thread left: the thrown object and the backtrace taken in the hook.
struct ThrowRecord {
  const void* thrownObject;
  std::uint64_t frames[kMaxFrames];
  std::uint32_t count;
};

// The thread key of the records; made before the installed flag is first set, and only read
// once it is.
pthread_key_t gRecordKey;
std::once_flag gRecordKeyOnce;

std::atomic<bool> gInstalled{false};
std::atomic_flag gLock = ATOMIC_FLAG_INIT;
std::terminate_handler gPreviousTerminateHandler = nullptr;
// Never freed: a thread may terminate while the process is running its exit handlers.
std::vector<TLCrashesUncaughtCXXExceptionHandler>& handlers() {
  static auto* list = new std::vector<TLCrashesUncaughtCXXExceptionHandler>();
  return *list;
}

void lock() {
  while (gLock.test_and_set(std::memory_order_acquire)) {
  }
}

void unlock() { gLock.clear(std::memory_order_release); }

// Up to kMaxFrames return addresses of the calling stack into `frames`; their number. The first
// frame is the function that asks, which the reports leave out; `caller` is the return address
// that function was entered with, and frames before it (an interceptor of `backtrace`, as under
// the address sanitizer) are dropped so that it is always second.
__attribute__((always_inline)) inline std::uint32_t takeBacktrace(std::uint64_t* frames, const void* caller) {
  void* addresses[kMaxFrames];
  const int count = backtrace(addresses, kMaxFrames);
  if (count <= 0) return 0;
  int first = 0;
  for (int i = 1; i < count; ++i) {
    if (addresses[i] == caller) {
      first = i - 1;
      break;
    }
  }
  static_assert(sizeof(void*) == sizeof(std::uint64_t));
  std::memcpy(frames, addresses + first, static_cast<std::size_t>(count - first) * sizeof(void*));
  return static_cast<std::uint32_t>(count - first);
}

__attribute__((always_inline)) inline void recordThrow(void* thrownObject, const void* caller) {
  auto* record = static_cast<ThrowRecord*>(pthread_getspecific(gRecordKey));
  if (record == nullptr) {
    record = static_cast<ThrowRecord*>(calloc(1, sizeof(ThrowRecord)));
    // Without a record the throw goes on unrecorded; the terminate handler then walks its own stack.
    if (record == nullptr || pthread_setspecific(gRecordKey, record) != 0) {
      free(record);
      return;
    }
  }
  record->thrownObject = thrownObject;
  record->count = takeBacktrace(record->frames, caller);
}

// The object `exception` refers to: the address the runtime's throw was given. The C++ library
// keeps exactly that pointer as the only member of an exception_ptr, also for one made by
// rethrow_exception, and that layout is part of its fixed ABI.
const void* thrownObjectOf(const std::exception_ptr& exception) {
  static_assert(sizeof(std::exception_ptr) == sizeof(void*));
  const void* object = nullptr;
  std::memcpy(&object, static_cast<const void*>(&exception), sizeof object);
  return object;
}

void callHandlers(const CXXExceptionCaptureInfo* info) {
  for (const auto handler : handlers()) handler(info);
}

[[noreturn]] void callPreviousOrAbort() {
  if (gPreviousTerminateHandler != nullptr) {
    gPreviousTerminateHandler();
  }
  abort();
}

void terminateHandler() {
  std::exception_ptr current = std::current_exception();
  lock();
  if (!current) {
    unlock();
    callPreviousOrAbort();
  }

  CXXExceptionCaptureInfo info;
  info.exceptionRef = &current;
  const std::type_info* type = abi::__cxa_current_exception_type();
  info.typeName = type != nullptr ? type->name() : "";

  // The backtrace of the throw, when this thread's last throw is the exception that ends the
  // process; else (rethrown from another thread, thrown before the hook was installed) the stack
  // of this handler. The first frame is the hook, or this handler, and is left out.
  std::uint64_t localFrames[kMaxFrames] = {};
  const auto* record = static_cast<const ThrowRecord*>(pthread_getspecific(gRecordKey));
  const std::uint64_t* frames = localFrames;
  std::uint32_t count = 0;
  if (record != nullptr && record->thrownObject == thrownObjectOf(current)) {
    frames = record->frames;
    count = record->count;
  } else {
    count = takeBacktrace(localFrames, __builtin_return_address(0));
  }
  info.frames = count > 0 ? frames + 1 : frames;
  info.frameCount = count > 0 ? count - 1 : 0;

  try {
    std::rethrow_exception(current);
  } catch (const std::exception& exception) {
    info.message = exception.what();
    callHandlers(&info);
  } catch (const std::exception* exception) {
    info.message = exception != nullptr ? exception->what() : nullptr;
    callHandlers(&info);
  } catch (const std::string& text) {
    info.message = text.c_str();
    callHandlers(&info);
  } catch (const std::string* text) {
    info.message = text != nullptr ? text->c_str() : nullptr;
    callHandlers(&info);
  } catch (const char* text) {
    info.message = text;
    callHandlers(&info);
  } catch (...) {
    callHandlers(&info);
  }
  unlock();
  callPreviousOrAbort();
}

using CxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

}  // namespace

// The throw hook. The executable exports it under the runtime's name, so the C++ library's own
// throws (std::vector::at, std::stoi, ...) come here as well as ours.
extern "C" __attribute__((visibility("default"), noreturn)) void __cxa_throw(void* thrownObject,
                                                                            std::type_info* type,
                                                                            void (*destructor)(void*)) {
  static const auto realThrow = reinterpret_cast<CxaThrow>(dlsym(RTLD_NEXT, "__cxa_throw"));
  if (gInstalled.load(std::memory_order_acquire)) recordThrow(thrownObject, __builtin_return_address(0));
  if (realThrow == nullptr) abort();
  realThrow(thrownObject, type, destructor);
  abort();  // the runtime's throw does not return
}

void TLCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(TLCrashesUncaughtCXXExceptionHandler handler) {
  std::call_once(gRecordKeyOnce, [] {
    pthread_key_create(&gRecordKey, free);
    // Loads the unwinder now: the first backtrace of a process loads a library, which must not
    // happen first on a thread that is throwing or terminating.
    std::uint64_t frames[kMaxFrames];
    takeBacktrace(frames, nullptr);
  });
  lock();
  if (!gInstalled.load(std::memory_order_relaxed)) {
    gPreviousTerminateHandler = std::set_terminate(terminateHandler);
    gInstalled.store(true, std::memory_order_release);
  }
  handlers().push_back(handler);
  unlock();
}

void TLCrashesUncaughtCXXExceptionHandlerManager::removeCXXExceptionHandler(
    TLCrashesUncaughtCXXExceptionHandler handler) {
  lock();
  auto& list = handlers();
  const auto found = std::find(list.begin(), list.end(), handler);
  if (found != list.end()) list.erase(found);
  if (list.empty() && gInstalled.load(std::memory_order_relaxed)) {
    const std::terminate_handler replaced = std::set_terminate(gPreviousTerminateHandler);
    if (replaced == terminateHandler) {
      gInstalled.store(false, std::memory_order_release);
      gPreviousTerminateHandler = nullptr;
    } else {
      std::set_terminate(replaced);
    }
  }
  unlock();
}

std::uint32_t TLCrashesUncaughtCXXExceptionHandlerManager::countCXXExceptionHandler() {
  lock();
  const auto count = static_cast<std::uint32_t>(handlers().size());
  unlock();
  return count;
}
