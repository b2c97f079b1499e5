#include "crash/engine/CrashAsyncMachException.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "platform/kernel/MachineContext.h"
#include "platform/kernel/ThreadControl.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/support/ExceptionCatcher.h"
#include "tests/support/SpinningThread.h"

namespace {

using namespace kernel;

TEST(CrashMachExceptionSignalMapping, ExceptionsMapToTheSignalsReportsShow) {
  struct Case {
    const char* name;
    exception_type_t type;
    mach_exception_data_type_t code;
    int signo;  // report numbering
    int sigcode;
  };
  const Case cases[] = {
      {"bad access, invalid address", EXC_BAD_ACCESS, KERN_INVALID_ADDRESS, 11, 1},
      {"bad access, protection failure", EXC_BAD_ACCESS, KERN_PROTECTION_FAILURE, 10, 2},
      {"bad instruction", EXC_BAD_INSTRUCTION, EXC_I386_INVOP, 4, 0},
      {"arithmetic", EXC_ARITHMETIC, EXC_I386_DIV, 8, 0},
      {"emulation", EXC_EMULATION, 0, 7, 0},
      {"software, bad system call", EXC_SOFTWARE, 0x10000, 12, 0},
      {"software, bad pipe", EXC_SOFTWARE, 0x10001, 13, 0},
      {"software, abort", EXC_SOFTWARE, 0x10002, 6, 0},
      {"software, signal", EXC_SOFTWARE, 0x10003, 9, 0},
      {"breakpoint", EXC_BREAKPOINT, EXC_I386_BPT, 5, 1},
      {"guard", EXC_GUARD, 0x2000000000000000LL, 9, 0},
  };
  for (const Case& c : cases) {
    const mach_exception_data_type_t codes[2] = {c.code, 0x1000};
    siginfo_t info;
    std::memset(&info, 0x5A, sizeof info);
    ASSERT_TRUE(crash_async_mach_exception_get_siginfo(c.type, codes, 2, -1, &info)) << c.name;
    EXPECT_EQ(info.si_signo, c.signo) << c.name;
    EXPECT_EQ(info.si_code, c.sigcode) << c.name;
    EXPECT_EQ(info.si_addr, reinterpret_cast<void*>(0x1000)) << c.name;
    EXPECT_EQ(info.si_errno, 0) << c.name << ": the rest is cleared";
  }
}

TEST(CrashMachExceptionSignalMapping, ExceptionsWithoutASignal) {
  const mach_exception_data_type_t codes[2] = {0x7777, 0x1000};
  siginfo_t info{};
  test::StderrCapture stderrCapture;
  EXPECT_FALSE(crash_async_mach_exception_get_siginfo(EXC_BAD_ACCESS, codes, 1, -1, &info));
  EXPECT_FALSE(crash_async_mach_exception_get_siginfo(EXC_CRASH, codes, 2, -1, &info));
  EXPECT_FALSE(crash_async_mach_exception_get_siginfo(EXC_RESOURCE, codes, 2, -1, &info));
  EXPECT_TRUE(crash_async_mach_exception_get_siginfo(EXC_SOFTWARE, codes, 2, -1, &info));
  EXPECT_EQ(info.si_signo, 6);
  const std::string text = stderrCapture.text();
  EXPECT_NE(text.find("Unexpected Mach code count of 1; can't map to UNIX exception"), std::string::npos) << text;
  EXPECT_NE(text.find("Unexpected EXC_SOFTWARE code of 30583"), std::string::npos) << text;
  EXPECT_EQ(text.find("EXC_CRASH"), std::string::npos);
}

crash_mach_exception_port_set recordOf(std::initializer_list<std::tuple<exception_mask_t, mach_port_t,
                                                                        exception_behavior_t, thread_state_flavor_t>>
                                           entries) {
  crash_mach_exception_port_set record{};
  for (const auto& [mask, port, behavior, flavor] : entries) {
    record.masks[record.count] = mask;
    record.ports[record.count] = port;
    record.behaviors[record.count] = behavior;
    record.flavors[record.count] = flavor;
    ++record.count;
  }
  return record;
}

// A suspended spinning thread stands in for the faulting one: its state is readable and known.
TEST(CrashMachExceptionForward, SendsInTheFormOfTheFirstMatchingRegistration) {
  test::SpinningThread spinner;
  ASSERT_EQ(thread_suspend(spinner.tid()), KERN_SUCCESS);
  test::ExceptionCatcher catcher(KERN_SUCCESS);
  const mach_exception_data_type_t codes[2] = {0x1'0000'0001LL, 0x2'0000'0010LL};
  struct Case {
    const char* name;
    exception_behavior_t behavior;
    thread_state_flavor_t flavor;
    mach_msg_id_t id;
    std::uint32_t stateCount;
    mach_exception_data_type_t firstCode;
  };
  const Case cases[] = {
      {"default, 64-bit codes", EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES, x86_THREAD_STATE, MACH_EXCEPTION_RAISE_ID, 0,
       0x1'0000'0001LL},
      {"default, 32-bit codes keep the low halves", EXCEPTION_DEFAULT, x86_THREAD_STATE, EXCEPTION_RAISE_ID, 0, 1},
      {"state", EXCEPTION_STATE | MACH_EXCEPTION_CODES, x86_THREAD_STATE, MACH_EXCEPTION_RAISE_STATE_ID,
       x86_THREAD_STATE_COUNT, 0x1'0000'0001LL},
      {"state identity", EXCEPTION_STATE_IDENTITY | MACH_EXCEPTION_CODES, x86_THREAD_STATE,
       MACH_EXCEPTION_RAISE_STATE_IDENTITY_ID, x86_THREAD_STATE_COUNT, 0x1'0000'0001LL},
      {"state identity, other flavor, 32-bit", EXCEPTION_STATE_IDENTITY, x86_THREAD_STATE64,
       EXCEPTION_RAISE_STATE_IDENTITY_ID, x86_THREAD_STATE64_COUNT, 1},
  };
  std::size_t seen = 0;
  for (const Case& c : cases) {
    // A null port and a port for other types come first: neither is chosen.
    const auto record = recordOf({{EXC_MASK_BAD_ACCESS, MACH_PORT_NULL, EXCEPTION_DEFAULT, x86_THREAD_STATE},
                                  {EXC_MASK_ARITHMETIC, catcher.port(), EXCEPTION_DEFAULT, x86_THREAD_STATE},
                                  {EXC_MASK_BAD_ACCESS | EXC_MASK_GUARD, catcher.port(), c.behavior, c.flavor}});
    EXPECT_EQ(CrashMachExceptionForward(77, spinner.tid(), EXC_BAD_ACCESS, codes, 2, &record), KERN_SUCCESS) << c.name;
    const auto requests = catcher.waitFor(++seen);
    ASSERT_EQ(requests.size(), seen) << c.name;
    const exception_request& request = requests.back();
    EXPECT_EQ(request.id, c.id) << c.name;
    EXPECT_EQ(request.exception, EXC_BAD_ACCESS) << c.name;
    EXPECT_EQ(request.codes[0], c.firstCode) << c.name;
    EXPECT_EQ(request.flavor, c.stateCount == 0 ? 0 : c.flavor) << c.name;
    EXPECT_EQ(request.stateCnt, c.stateCount) << c.name;
    if (c.id != MACH_EXCEPTION_RAISE_STATE_ID) {
      EXPECT_EQ(request.thread, spinner.tid()) << c.name;
      EXPECT_EQ(request.task, 77) << c.name;
    }
    if (c.stateCount != 0) {
      // The rip of the spinning loop, wherever the state form puts it.
      x86_thread_state64 registers{};
      const std::size_t header = c.flavor == x86_THREAD_STATE ? sizeof(x86_state_header) : 0;
      std::memcpy(&registers, reinterpret_cast<const unsigned char*>(request.state) + header, sizeof registers);
      EXPECT_GE(registers.rip, test::SpinningThread::codeStart()) << c.name;
      EXPECT_LT(registers.rip, test::SpinningThread::codeEnd()) << c.name;
    }
  }
  thread_resume(spinner.tid());
}

TEST(CrashMachExceptionForward, FailsWhereNothingCanTakeTheException) {
  test::SpinningThread spinner;  // running: its state cannot be read
  test::ExceptionCatcher refusing(KERN_FAILURE);
  const mach_exception_data_type_t codes[2] = {1, 2};
  struct Case {
    const char* name;
    crash_mach_exception_port_set record;
    exception_type_t type;
    kern_return_t expected;
    const char* diagnostic;
  };
  const Case cases[] = {
      {"empty record", recordOf({}), EXC_BAD_ACCESS, KERN_FAILURE, nullptr},
      {"only null ports",
       recordOf({{EXC_MASK_BAD_ACCESS, MACH_PORT_NULL, EXCEPTION_DEFAULT, 7},
                 {EXC_MASK_BAD_ACCESS, MACH_PORT_DEAD, EXCEPTION_DEFAULT, 7}}),
       EXC_BAD_ACCESS, KERN_FAILURE, nullptr},
      {"no mask matches", recordOf({{EXC_MASK_ARITHMETIC, refusing.port(), EXCEPTION_DEFAULT, 7}}), EXC_BAD_ACCESS,
       KERN_FAILURE, nullptr},
      {"the port refuses", recordOf({{EXC_MASK_BAD_ACCESS, refusing.port(), EXCEPTION_DEFAULT, 7}}), EXC_BAD_ACCESS,
       KERN_FAILURE, nullptr},
      {"unlisted type still forwarded", recordOf({{1u << EXC_RESOURCE, refusing.port(), EXCEPTION_DEFAULT, 7}}),
       EXC_RESOURCE, KERN_FAILURE, "Unhandled exception type 11; exception_to_mask() should be updated"},
      {"state of a running thread",
       recordOf({{EXC_MASK_BAD_ACCESS, refusing.port(), EXCEPTION_STATE | MACH_EXCEPTION_CODES, 7}}), EXC_BAD_ACCESS,
       KERN_FAILURE, "Failed to fetch thread state for thread=0x"},
  };
  for (const Case& c : cases) {
    test::StderrCapture stderrCapture;
    EXPECT_EQ(CrashMachExceptionForward(task_self(), spinner.tid(), c.type, codes, 2, &c.record), c.expected)
        << c.name;
    const std::string text = stderrCapture.text();
    if (c.diagnostic != nullptr) {
      EXPECT_NE(text.find(c.diagnostic), std::string::npos) << c.name << ": " << text;
    }
  }
  EXPECT_EQ(refusing.waitFor(2).size(), 2u) << "the refusing port and the unlisted type reached it";

  ASSERT_EQ(thread_suspend(spinner.tid()), KERN_SUCCESS);
  const auto unknown = recordOf({{EXC_MASK_BAD_ACCESS, refusing.port(), 4 | MACH_EXCEPTION_CODES, 7}});
  test::StderrCapture stderrCapture;
  EXPECT_EQ(CrashMachExceptionForward(task_self(), spinner.tid(), EXC_BAD_ACCESS, codes, 2, &unknown), KERN_FAILURE);
  EXPECT_NE(stderrCapture.text().find("Unsupported exception behavior: 0x4 (MACH_EXCEPTION_CODES=true)"),
            std::string::npos);
  thread_resume(spinner.tid());
}

}  // namespace
