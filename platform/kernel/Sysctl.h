#pragma once
// The kernel's named system facts, as the crash engine asks for them by name, answered from
// uname, sysconf, /proc and /sys. Only the names below exist; the values are read-only.
//
//   "kern.osrelease"      string  the kernel release (uname -r), such as "6.1.0-18-amd64"
//   "kern.osversion"      string  the kernel build (uname -v)
//   "hw.model"            string  the machine's product name from the firmware, else uname -m
//   "hw.cputype"          int32   CPU_TYPE_X86_64
//   "hw.cpusubtype"       int32   CPU_SUBTYPE_X86_64_ALL
//   "hw.physicalcpu_max"  int32   processor cores (one per set of sibling hardware threads)
//   "hw.logicalcpu_max"   int32   hardware threads configured
//   "sysctl.proc_native"  int32   1: processes always run natively here
//
// None of this is async-signal-safe; it is meant for the healthy process, before a crash.
#include <sys/time.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kernel {

// Processor types and subtype as the crash engine numbers them.
inline constexpr std::int32_t CPU_TYPE_X86 = 7;
inline constexpr std::int32_t CPU_TYPE_X86_64 = 0x01000007;
inline constexpr std::int32_t CPU_SUBTYPE_X86_64_ALL = 3;

// Reads the fact `name`. With `oldValue` null, sets `*oldLength` to the value's size (strings
// count their terminating zero) and returns 0. Otherwise copies the value when `*oldLength` is
// large enough, sets `*oldLength` to its size and returns 0. Returns -1 with errno ENOENT for an
// unknown name, ENOMEM for a too small buffer (nothing copied), EPERM when `newValue` is given,
// EINVAL for a null name or length.
int sysctlbyname(const char* name, void* oldValue, std::size_t* oldLength, const void* newValue,
                 std::size_t newLength);

// The process facts of the kernel's per-process query.
struct ProcessRecord {
  pid_t pid = 0;
  pid_t parentPid = 0;
  char command[17] = {};  // the kernel's short command name, zero-terminated
  timeval startTime{};    // wall-clock time the process started
  bool traced = false;    // a debugger or tracer is attached
};

// Fills `out` for process `pid` from /proc. Returns true; false with errno ENOENT when there is no
// such process, or the errno of the failed read.
bool process_record(pid_t pid, ProcessRecord* out);

}  // namespace kernel
