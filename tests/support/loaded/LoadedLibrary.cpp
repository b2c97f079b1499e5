// A library that tests load after start-up: it crashes on request, and opens the leaf library,
// which only its own search path ($ORIGIN/leaf) holds, by the names a library would use.
#include <dlfcn.h>

extern "C" {

// Writes to address 8, in an instruction the compiler can neither drop nor move.
__attribute__((visibility("default"), noinline)) void qm_loaded_crash() {
  asm volatile("movl $1, (%0)" : : "r"(8L) : "memory");
}

// dlopen(`name`) made from inside this library. The loader judges the caller by the return
// address, so the call must not become a jump that returns straight to this function's caller.
__attribute__((visibility("default"), noinline)) void* qm_loaded_open(const char* name) {
  void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  asm volatile("" ::: "memory");
  return handle;
}

}  // extern "C"
