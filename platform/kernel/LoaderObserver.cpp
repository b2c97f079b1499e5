#include "platform/kernel/LoaderObserver.h"

#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

namespace kernel {
namespace {

constexpr int kObserverSlots = 8;

struct Observer {
  loader_observer function;
  void* context;
};

// Registration writes under this lock and a notification reads under it. Neither is ever
// destroyed: libraries are still closed while the process exits.
pthread_rwlock_t gObserversLock = PTHREAD_RWLOCK_INITIALIZER;
Observer gObservers[kObserverSlots];

// Loader calls under way on this thread, a notification's included. Only the outermost notifies.
thread_local int tDepth = 0;

class Nesting {
 public:
  Nesting() { ++tDepth; }
  ~Nesting() { --tDepth; }
  Nesting(const Nesting&) = delete;
  Nesting& operator=(const Nesting&) = delete;
  bool outermost() const { return tDepth == 1; }
};

void notifyObservers() {
  const int savedErrno = errno;
  pthread_rwlock_rdlock(&gObserversLock);
  for (const Observer& observer : gObservers) {
    if (observer.function != nullptr) observer.function(observer.context);
  }
  pthread_rwlock_unlock(&gObserversLock);
  errno = savedErrno;
}

using DlopenFunction = void* (*)(const char*, int);
using DlcloseFunction = int (*)(void*);

// The loader's own entry points, next after these definitions.
template <typename Function>
Function loaderFunction(const char* name) {
  auto* function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
  if (function == nullptr) abort();
  return function;
}

void* loaderOpen(const char* file, int mode) {
  static const auto function = loaderFunction<DlopenFunction>("dlopen");
  return function(file, mode);
}

int loaderClose(void* handle) {
  static const auto function = loaderFunction<DlcloseFunction>("dlclose");
  return function(handle);
}

// --- resolving a file name as the loader would for the calling library -------------------------

// The library whose code holds `address`; null for the executable, whose calls these definitions
// make exactly as it would, or when the loader does not know the address.
link_map* callingLibrary(const void* address) {
  Dl_info info;
  void* extra = nullptr;
  if (dladdr1(address, &info, &extra, RTLD_DL_LINKMAP) == 0 || extra == nullptr) return nullptr;
  auto* library = static_cast<link_map*>(extra);
  if (library->l_name == nullptr || library->l_name[0] == '\0') return nullptr;
  return library;
}

bool hasOwnSearchPath(const link_map* library) {
  for (const ElfW(Dyn)* entry = library->l_ld; entry != nullptr && entry->d_tag != DT_NULL; ++entry) {
    if (entry->d_tag == DT_RUNPATH || entry->d_tag == DT_RPATH) return true;
  }
  return false;
}

// The length of the $ORIGIN or ${ORIGIN} token at `text`, or 0. Bare, it must end a path element.
std::size_t originToken(const char* text) {
  if (std::strncmp(text, "${ORIGIN}", 9) == 0) return 9;
  if (std::strncmp(text, "$ORIGIN", 7) == 0 && (text[7] == '\0' || text[7] == '/')) return 7;
  return 0;
}

bool mentionsOrigin(const char* file) {
  for (const char* at = std::strchr(file, '$'); at != nullptr; at = std::strchr(at + 1, '$')) {
    if (originToken(at) != 0) return true;
  }
  return false;
}

// `file` with every origin token replaced by the folder `library` was loaded from.
std::string withOrigin(const char* file, link_map* library) {
  char origin[PATH_MAX + 1];
  if (dlinfo(library, RTLD_DI_ORIGIN, origin) != 0) return file;
  std::string result;
  for (const char* at = file; *at != '\0';) {
    const std::size_t token = *at == '$' ? originToken(at) : 0;
    if (token != 0) {
      result += origin;
      at += token;
    } else {
      result += *at++;
    }
  }
  return result;
}

// The first copy of `name` in the folders the loader searches for `library`'s own dependencies,
// in its order; empty when none holds one.
std::string findInSearchPath(const std::string& name, link_map* library) {
  Dl_serinfo size;
  if (dlinfo(library, RTLD_DI_SERINFOSIZE, &size) != 0) return {};
  std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
  auto* paths = reinterpret_cast<Dl_serinfo*>(storage.data());
  if (dlinfo(library, RTLD_DI_SERINFOSIZE, paths) != 0 || dlinfo(library, RTLD_DI_SERINFO, paths) != 0) return {};
  for (unsigned int i = 0; i < paths->dls_cnt; ++i) {
    std::string candidate = std::string(paths->dls_serpath[i].dls_name) + "/" + name;
    if (access(candidate.c_str(), F_OK) == 0) return candidate;
  }
  return {};
}

// dlopen as the library holding `caller` would have had it.
void* openForCaller(const char* file, int mode, const void* caller) {
  // In a privileged process the loader ignores such names anyway.
  if (file == nullptr || getauxval(AT_SECURE) != 0) return loaderOpen(file, mode);
  const bool bare = std::strchr(file, '/') == nullptr;
  const bool origin = mentionsOrigin(file);
  if (!bare && !origin) return loaderOpen(file, mode);
  link_map* library = callingLibrary(caller);
  if (library == nullptr) return loaderOpen(file, mode);

  const std::string name = origin ? withOrigin(file, library) : std::string(file);
  if (name.find('/') != std::string::npos || !hasOwnSearchPath(library)) return loaderOpen(name.c_str(), mode);
  // An object already loaded under the name is what the loader returns, wherever it came from.
  if (void* loaded = loaderOpen(name.c_str(), mode | RTLD_NOLOAD)) return loaded;
  const std::string found = findInSearchPath(name, library);
  return loaderOpen(found.empty() ? name.c_str() : found.c_str(), mode);
}

}  // namespace

bool loader_add_observer(loader_observer observer, void* context) {
  pthread_rwlock_wrlock(&gObserversLock);
  bool added = false;
  for (Observer& slot : gObservers) {
    if (slot.function != nullptr) continue;
    slot = Observer{observer, context};
    added = true;
    break;
  }
  pthread_rwlock_unlock(&gObserversLock);
  return added;
}

void loader_remove_observer(loader_observer observer, void* context) {
  pthread_rwlock_wrlock(&gObserversLock);
  for (Observer& slot : gObservers) {
    if (slot.function == observer && slot.context == context) {
      slot = Observer{nullptr, nullptr};
      break;
    }
  }
  pthread_rwlock_unlock(&gObserversLock);
}

}  // namespace kernel

// The loader's entry points, as every caller in the process sees them.
extern "C" __attribute__((visibility("default"))) void* dlopen(const char* file, int mode) noexcept {
  const void* caller = __builtin_return_address(0);
  kernel::Nesting nesting;
  void* handle = kernel::openForCaller(file, mode, caller);
  if (handle != nullptr && nesting.outermost()) kernel::notifyObservers();
  return handle;
}

extern "C" __attribute__((visibility("default"))) int dlclose(void* handle) noexcept {
  kernel::Nesting nesting;
  const int result = kernel::loaderClose(handle);
  if (result == 0 && nesting.outermost()) kernel::notifyObservers();
  return result;
}
