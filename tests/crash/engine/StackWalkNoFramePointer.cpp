// A call chain built without frame pointers (tests/CMakeLists.txt compiles this file with
// -fomit-frame-pointer), which only the call-frame information can walk. The innermost function
// blocks in read() until a byte arrives on `fd`. Each call's result is used after it returns,
// so none of them becomes a jump.
#include <unistd.h>

extern "C" {

__attribute__((noinline)) int qm_nofp_inner(int fd) {
  volatile char buffer[48];
  buffer[0] = 0;
  return static_cast<int>(read(fd, const_cast<char*>(buffer), 1)) + buffer[0];
}

__attribute__((noinline)) int qm_nofp_middle(int fd) { return qm_nofp_inner(fd) * 3 + fd; }

__attribute__((noinline)) int qm_nofp_outer(int fd) { return qm_nofp_middle(fd) * 5 + fd; }

}  // extern "C"
