#include "crash/engine/CrashAsyncMachException.h"

#include "crash/engine/CrashAsync.h"
#include "platform/kernel/ThreadControl.h"

namespace {

using namespace kernel;

// Signal numbers and codes of the report numbering.
constexpr int kReportSIGILL = 4;
constexpr int kReportSIGTRAP = 5;
constexpr int kReportSIGABRT = 6;
constexpr int kReportSIGEMT = 7;
constexpr int kReportSIGFPE = 8;
constexpr int kReportSIGKILL = 9;
constexpr int kReportSIGBUS = 10;
constexpr int kReportSIGSEGV = 11;
constexpr int kReportSIGSYS = 12;
constexpr int kReportSIGPIPE = 13;
constexpr int kReportSEGV_MAPERR = 1;
constexpr int kReportBUS_ADRERR = 2;
constexpr int kReportTRAP_BRKPT = 1;

exception_mask_t exception_to_mask(exception_type_t exception) {
  const bool known = (exception >= EXC_BAD_ACCESS && exception <= EXC_CRASH) || exception == EXC_GUARD;
  if (!known) CRASH_ASYNC_LOG("Unhandled exception type %d; exception_to_mask() should be updated", exception);
  // A type no mask can hold matches no registration.
  if (exception < 0 || exception >= 32) return 0;
  return exception_mask_of(exception);
}

}  // namespace

kern_return_t CrashMachExceptionForward(task_t task, thread_t thread, exception_type_t exception_type,
                                        const mach_exception_data_type_t* codes, mach_msg_type_number_t code_count,
                                        const crash_mach_exception_port_set* port_state) {
  const exception_mask_t mask = exception_to_mask(exception_type);
  if (port_state->count == 0) return KERN_FAILURE;

  const std::uint32_t count = port_state->count < EXC_TYPES_COUNT ? port_state->count : EXC_TYPES_COUNT;
  std::uint32_t found = count;
  for (std::uint32_t i = 0; i < count && found == count; ++i) {
    if (MACH_PORT_VALID(port_state->ports[i]) && (port_state->masks[i] & mask) != 0) found = i;
  }
  if (found == count) return KERN_FAILURE;

  const mach_port_t port = port_state->ports[found];
  const exception_behavior_t behavior = port_state->behaviors[found];
  const thread_state_flavor_t flavor = port_state->flavors[found];
  const exception_behavior_t base = behavior & ~MACH_EXCEPTION_CODES;

  natural_t state[THREAD_STATE_MAX];
  std::uint32_t state_count = 0;
  if (base != EXCEPTION_DEFAULT) {
    state_count = THREAD_STATE_MAX;
    const kern_return_t kr = thread_get_state(thread, flavor, state, &state_count);
    if (kr != KERN_SUCCESS) {
      CRASH_ASYNC_LOG("Failed to fetch thread state for thread=0x%x, flavor=0x%x, kr=0x%x", thread, flavor, kr);
      return kr;
    }
  }
  switch (base) {
    case EXCEPTION_DEFAULT:
    case EXCEPTION_STATE:
    case EXCEPTION_STATE_IDENTITY:
      // The state that comes back is not applied: the thread is not ours to change here.
      return exception_raise_with_behavior(port, behavior, flavor, thread, task, exception_type, codes, code_count,
                                           state, state_count);
    default:
      CRASH_ASYNC_LOG("Unsupported exception behavior: 0x%x (MACH_EXCEPTION_CODES=%s)", base,
                      (behavior & MACH_EXCEPTION_CODES) != 0 ? "true" : "false");
      return KERN_FAILURE;
  }
}

bool crash_async_mach_exception_get_siginfo(exception_type_t exception_type, const mach_exception_data_type_t* codes,
                                            mach_msg_type_number_t code_count, int, siginfo_t* siginfo) {
  if (code_count < 2) {
    CRASH_ASYNC_LOG("Unexpected Mach code count of %u; can't map to UNIX exception", code_count);
    return false;
  }
  int signo = 0;
  int code = 0;
  switch (exception_type) {
    case EXC_BAD_ACCESS:
      signo = codes[0] == KERN_INVALID_ADDRESS ? kReportSIGSEGV : kReportSIGBUS;
      code = codes[0] == KERN_INVALID_ADDRESS ? kReportSEGV_MAPERR : kReportBUS_ADRERR;
      break;
    case EXC_BAD_INSTRUCTION: signo = kReportSIGILL; break;
    case EXC_ARITHMETIC: signo = kReportSIGFPE; break;
    case EXC_EMULATION: signo = kReportSIGEMT; break;
    case EXC_SOFTWARE:
      switch (codes[0]) {
        case EXC_UNIX_BAD_SYSCALL: signo = kReportSIGSYS; break;
        case EXC_UNIX_BAD_PIPE: signo = kReportSIGPIPE; break;
        case EXC_UNIX_ABORT: signo = kReportSIGABRT; break;
        case EXC_SOFT_SIGNAL: signo = kReportSIGKILL; break;
        default:
          CRASH_ASYNC_LOG("Unexpected EXC_SOFTWARE code of %lld", static_cast<long long>(codes[0]));
          signo = kReportSIGABRT;
      }
      break;
    case EXC_BREAKPOINT:
      signo = kReportSIGTRAP;
      code = kReportTRAP_BRKPT;
      break;
    case EXC_GUARD:
      // The system ends a process that violates a guard; without a signal here the reporter would
      // answer the exception without writing a report.
      signo = kReportSIGKILL;
      break;
    default:
      return false;
  }
  crash_async_memset(siginfo, 0, sizeof *siginfo);
  siginfo->si_signo = signo;
  siginfo->si_code = code;
  siginfo->si_addr = reinterpret_cast<void*>(static_cast<std::uintptr_t>(codes[1]));
  return true;
}
