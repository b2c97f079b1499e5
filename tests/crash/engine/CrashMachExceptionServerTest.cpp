#include "crash/engine/CrashMachExceptionServer.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/ExceptionPorts.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ExceptionCatcher.h"
#include "tests/support/FaultingCode.h"

namespace {

using namespace kernel;
namespace faults = test::faults;

constexpr exception_mask_t kFaultMask = EXC_MASK_BAD_ACCESS | EXC_MASK_BAD_INSTRUCTION | EXC_MASK_ARITHMETIC |
                                        EXC_MASK_BREAKPOINT;

// --- crashes of a child, served by a server in that child -------------------------------------

std::atomic<kern_return_t> gAnswer{KERN_FAILURE};
std::atomic<thread_t> gServerThread{0};
crash_mach_exception_port_set gPrevious{};
int gContext;

// Traces what the server saw: "type code0 code1 who signo sigcode|", with the signal the report
// would show.
kern_return_t traceException(task_t task, thread_t thread, exception_type_t type,
                             const mach_exception_data_type_t* codes, mach_msg_type_number_t count, void* context) {
  siginfo_t info{};
  const bool mapped = crash_async_mach_exception_get_siginfo(type, codes, count, -1, &info);
  const bool who = task == getpid() && thread == getpid() && thread_self() == gServerThread && context == &gContext;
  char line[128];
  snprintf(line, sizeof line, "%d %lld %llx %s %d %d|", type, static_cast<long long>(codes[0]),
           static_cast<unsigned long long>(codes[1]), who ? "ok" : "?", mapped ? info.si_signo : -1,
           mapped ? info.si_code : -1);
  test::trace(line);
  return gAnswer;
}

// What the reporter's callback does first: the registrations it replaced get the exception.
kern_return_t forwardFirst(task_t task, thread_t thread, exception_type_t type, const mach_exception_data_type_t* codes,
                           mach_msg_type_number_t count, void* context) {
  if (CrashMachExceptionForward(task, thread, type, codes, count, &gPrevious) == KERN_SUCCESS) {
    test::trace("forwarded|");
    return KERN_SUCCESS;
  }
  return traceException(task, thread, type, codes, count, context);
}

std::shared_ptr<CrashMachExceptionServer> serveThisProcess(CrashMachExceptionServerCallback callback) {
  auto server = CrashMachExceptionServer::initWithCallBack(callback, &gContext, nullptr);
  if (server == nullptr) return nullptr;
  gServerThread = server->serverThread();
  std::shared_ptr<CrashMachExceptionPortSet> previous;
  auto port = server->exceptionPortWithMask(kFaultMask, nullptr);
  if (port == nullptr || !port->registerForTask(task_self(), &previous, nullptr)) return nullptr;
  static std::shared_ptr<CrashMachExceptionPortSet> kept;
  kept = previous;  // its port objects hold the send rights the record names
  gPrevious = previous->asyncSafeRepresentation();
  return server;
}

// Registers `port` for the fault types, as something installed before the server would be.
void swapEarlier(mach_port_t port) {
  exception_mask_t masks[EXC_TYPES_COUNT];
  mach_port_t ports[EXC_TYPES_COUNT];
  exception_behavior_t behaviors[EXC_TYPES_COUNT];
  thread_state_flavor_t flavors[EXC_TYPES_COUNT];
  mach_msg_type_number_t count = EXC_TYPES_COUNT;
  task_swap_exception_ports(task_self(), kFaultMask, port, EXCEPTION_DEFAULT | MACH_EXCEPTION_CODES,
                            x86_THREAD_STATE, masks, &count, ports, behaviors, flavors);
}

int faultUnderServer(kern_return_t answer, faults::Function fault, void* argument) {
  gAnswer = answer;
  static auto server = serveThisProcess(traceException);
  if (server == nullptr) return 20;
  fault(argument);
  test::trace("resumed");
  return 0;
}

std::string line(exception_type_t type, long long code, std::uint64_t address, int signo, int sigcode) {
  char text[128];
  snprintf(text, sizeof text, "%d %lld %llx ok %d %d|", type, code, static_cast<unsigned long long>(address), signo,
           sigcode);
  return text;
}

TEST(CrashMachExceptionServer, CrashesOfAChildReachTheCallbackOnTheServerThread) {
  struct Case {
    const char* name;
    int (*body)();
    int signo;  // 0: exits 0
    std::string trace;
  };
  const std::uint64_t ud2 = faults::faultingInstruction(faults::illegalInstruction());
  const std::uint64_t idiv = faults::faultingInstruction(faults::divideByZero());
  const Case cases[] = {
      {"null page read", [] { return faultUnderServer(KERN_FAILURE, faults::read(), reinterpret_cast<void*>(8)); },
       SIGSEGV, line(EXC_BAD_ACCESS, KERN_INVALID_ADDRESS, 8, 11, 1)},
      {"undefined instruction", [] { return faultUnderServer(KERN_FAILURE, faults::illegalInstruction(), nullptr); },
       SIGILL, line(EXC_BAD_INSTRUCTION, EXC_I386_INVOP, ud2, 4, 0)},
      {"divide by zero", [] { return faultUnderServer(KERN_FAILURE, faults::divideByZero(), nullptr); }, SIGFPE,
       line(EXC_ARITHMETIC, EXC_I386_DIV, idiv, 8, 0)},
      {"breakpoint", [] { return faultUnderServer(KERN_FAILURE, faults::breakpoint(), nullptr); }, SIGTRAP,
       line(EXC_BREAKPOINT, EXC_I386_BPT, 0, 5, 1)},
      {"breakpoint handled", [] { return faultUnderServer(KERN_SUCCESS, faults::breakpoint(), nullptr); }, 0,
       line(EXC_BREAKPOINT, EXC_I386_BPT, 0, 5, 1) + "resumed"},
      {"forwarded to the registration it replaced, which handles it",
       [] {
         static test::ExceptionCatcher earlier(KERN_SUCCESS);
         swapEarlier(earlier.port());
         static auto server = serveThisProcess(forwardFirst);
         faults::breakpoint()(nullptr);
         test::trace("resumed");
         return 0;
       },
       0, "forwarded|resumed"},
      {"forwarded, refused, then seen by the server",
       [] {
         static test::ExceptionCatcher earlier(KERN_FAILURE);
         swapEarlier(earlier.port());
         static auto server = serveThisProcess(forwardFirst);
         faults::read()(reinterpret_cast<void*>(8));
         return 0;
       },
       SIGSEGV, line(EXC_BAD_ACCESS, KERN_INVALID_ADDRESS, 8, 11, 1)},
  };
  for (const Case& c : cases) {
    const test::ChildResult result = test::runInChild(c.body);
    EXPECT_TRUE(result.endedAs(c.signo)) << c.name << ": " << result.describe();
    EXPECT_EQ(result.trace, c.trace) << c.name;
  }
}

// --- the server's loop, fed by hand -----------------------------------------------------------

struct Seen {
  std::atomic<int> calls{0};
  std::vector<mach_exception_data_type_t> codes;
};

kern_return_t record(task_t, thread_t, exception_type_t, const mach_exception_data_type_t* codes,
                     mach_msg_type_number_t count, void* context) {
  auto* seen = static_cast<Seen*>(context);
  seen->codes.assign(codes, codes + count);
  seen->calls.fetch_add(1);
  return 0x1234;
}

// Sends `size` bytes laid out as a request with `codeCount` codes (as many as fit are filled in)
// to `port`, waits for the answer and returns it.
mach_exception_raise_reply_t exchange(mach_port_t port, mach_msg_size_t size, mach_msg_id_t id,
                                      mach_msg_type_number_t codeCount) {
  std::vector<unsigned char> bytes(std::max<mach_msg_size_t>(size, sizeof(mach_exception_raise_reply_t)), 0);
  mach_port_t reply = MACH_PORT_NULL;
  mach_port_allocate(task_self(), MACH_PORT_RIGHT_RECEIVE, &reply);
  auto* header = reinterpret_cast<mach_msg_header_t*>(bytes.data());
  header->msgh_bits = MACH_MSGH_BITS(MACH_MSG_TYPE_COPY_SEND, MACH_MSG_TYPE_MAKE_SEND_ONCE);
  header->msgh_size = size;
  header->msgh_remote_port = port;
  header->msgh_local_port = reply;
  header->msgh_id = id;
  if (size >= 68) std::memcpy(bytes.data() + 64, &codeCount, sizeof codeCount);
  for (std::size_t at = 68, code = 1; at + 8 <= size; at += 8, ++code) {
    const auto value = static_cast<mach_exception_data_type_t>(code * 0x100);
    std::memcpy(bytes.data() + at, &value, sizeof value);
  }
  mach_exception_raise_reply_t answer{};
  if (mach_msg(header, MACH_SEND_MSG | MACH_RCV_MSG | MACH_RCV_TIMEOUT, size, sizeof answer, reply, 2000,
               MACH_PORT_NULL) == MACH_MSG_SUCCESS) {
    std::memcpy(&answer, bytes.data(), sizeof answer);
  }
  mach_port_destroy(task_self(), reply);
  return answer;
}

TEST(CrashMachExceptionServer, ServesMessagesOfEverySize) {
  Seen seen;
  auto server = CrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
  ASSERT_NE(server, nullptr);
  const mach_port_t port = server->copySendRightForServerAndReturningError(nullptr);
  ASSERT_TRUE(MACH_PORT_VALID(port));
  test::StderrCapture stderrCapture;

  // Larger than the first buffer (a page): the buffer grows and the message arrives whole. A
  // count beyond the message is cut to what it holds.
  mach_exception_raise_reply_t answer = exchange(port, 6004, MACH_EXCEPTION_RAISE_ID, 5000);
  EXPECT_EQ(answer.Head.msgh_id, MACH_EXCEPTION_RAISE_ID + 100);
  EXPECT_EQ(answer.Head.msgh_size, sizeof answer);
  EXPECT_EQ(answer.RetCode, 0x1234);
  ASSERT_EQ(seen.calls.load(), 1);
  ASSERT_EQ(seen.codes.size(), (6004u - 68) / 8);
  EXPECT_EQ(seen.codes.back(), static_cast<mach_exception_data_type_t>(seen.codes.size() * 0x100));

  // The smallest request is taken; one byte less is answered with KERN_FAILURE unseen.
  answer = exchange(port, 84, MACH_EXCEPTION_RAISE_ID, 2);
  EXPECT_EQ(answer.RetCode, 0x1234);
  EXPECT_EQ(seen.codes, (std::vector<mach_exception_data_type_t>{0x100, 0x200}));
  const mach_exception_data_type_t oneCode[1] = {7};
  EXPECT_EQ(mach_exception_raise(port, 1, 2, EXC_BAD_ACCESS, oneCode, 1), KERN_FAILURE) << "76 bytes";
  EXPECT_EQ(seen.calls.load(), 2);

  // The stop message's id, sent while the server is not stopping, is just a short message.
  answer = exchange(server->serverContext()->notify_port, 24, static_cast<mach_msg_id_t>(0xDEADBEEF), 0);
  EXPECT_EQ(answer.Head.msgh_id, static_cast<mach_msg_id_t>(0xDEADBEEF) + 100);
  EXPECT_EQ(answer.RetCode, KERN_FAILURE);
  EXPECT_EQ(exchange(port, 84, MACH_EXCEPTION_RAISE_ID, 2).RetCode, 0x1234) << "still serving";

  const std::string text = stderrCapture.text();
  EXPECT_NE(text.find("[CrashReport] exception_server_thread:"), std::string::npos) << text;
  EXPECT_NE(text.find("Unexpected message size of 76"), std::string::npos) << text;
  EXPECT_NE(text.find("Unexpected message size of 24"), std::string::npos) << text;
  EXPECT_EQ(text.find("mach_msg()"), std::string::npos) << text;
  mach_port_deallocate(task_self(), port);
}

// Dropping the last send right sends a no-senders notification to the notify port, which the
// server takes without a callback or an answer. It is queued before the stop message there, so
// by the time the server is gone it has been handled.
TEST(CrashMachExceptionServer, NoSendersNotificationIsTakenSilently) {
  Seen seen;
  test::StderrCapture stderrCapture;
  {
    auto server = CrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
    ASSERT_NE(server, nullptr);
    auto registration = server->exceptionPortWithMask(EXC_MASK_BAD_ACCESS, nullptr);
    ASSERT_NE(registration, nullptr);
    EXPECT_EQ(registration->behavior(), static_cast<exception_behavior_t>(0x80000001));
    EXPECT_EQ(registration->flavor(), 7);
    EXPECT_EQ(registration->mask(), EXC_MASK_BAD_ACCESS);
    mach_port_mscount_t refs = 0;
    mach_port_get_refs(task_self(), registration->server_port(), MACH_PORT_RIGHT_SEND, &refs);
    EXPECT_EQ(refs, 1u) << "the registration's own; the copied right was dropped";
    registration.reset();
  }
  EXPECT_EQ(seen.calls.load(), 0);
  EXPECT_EQ(stderrCapture.text(), "");
}

TEST(CrashMachExceptionServer, StopsItsThreadAndReleasesItsPorts) {
  Seen seen;
  auto server = CrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
  ASSERT_NE(server, nullptr);
  const thread_t thread = server->serverThread();
  EXPECT_NE(thread, thread_self());
  EXPECT_TRUE(thread_alive(thread));
  const mach_port_t ports[] = {server->serverContext()->server_port, server->serverContext()->notify_port,
                               server->serverContext()->port_set};
  const mach_port_t port = server->copySendRightForServerAndReturningError(nullptr);
  server.reset();

  EXPECT_EQ(exchange(port, 84, MACH_EXCEPTION_RAISE_ID, 2).Head.msgh_id, 0) << "the port is gone";
  mach_port_mscount_t refs = 0;
  for (mach_port_t gone : ports) {
    EXPECT_EQ(mach_port_get_refs(task_self(), gone, MACH_PORT_RIGHT_RECEIVE, &refs), KERN_INVALID_NAME);
  }
  bool ended = false;
  for (int i = 0; i < 100 && !ended; ++i) {
    ended = !thread_alive(thread);
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(ended);
}

std::shared_ptr<CrashMachExceptionServer> gInheritedServer;

TEST(CrashMachExceptionServer, AChildWithoutTheServerThreadLetsGoOfItsCopy) {
  Seen seen;
  gInheritedServer = CrashMachExceptionServer::initWithCallBack(record, &seen, nullptr);
  ASSERT_NE(gInheritedServer, nullptr);
  const test::ChildResult result = test::runInChild([] {
    gInheritedServer.reset();
    return 0;
  }, 3);
  EXPECT_TRUE(result.exitedWith(0)) << result.describe();
  EXPECT_EQ(exchange(gInheritedServer->copySendRightForServerAndReturningError(nullptr), 84,
                     MACH_EXCEPTION_RAISE_ID, 2).RetCode,
            0x1234)
      << "the parent's server serves on";
  gInheritedServer.reset();
}

// With `free` slots left in the port table, the set-up fails at the port it cannot get and gives
// back the ones it got.
TEST(CrashMachExceptionServer, SetUpFailuresReleaseWhatWasSetUp) {
  struct Case {
    int free;
    const char* description;
  };
  static const Case cases[] = {
      {0, "Failed to allocate exception server's port"},
      {1, "Failed to allocate exception server's port"},
      {2, "Failed to allocate exception server's port set"},
  };
  static int which;
  for (which = 0; which < 3; ++which) {
    const test::ChildResult result = test::runInChild([] {
      std::vector<mach_port_t> taken;
      for (mach_port_t port; mach_port_allocate(task_self(), MACH_PORT_RIGHT_RECEIVE, &port) == KERN_SUCCESS;) {
        taken.push_back(port);
      }
      for (int i = 0; i < cases[which].free; ++i) {
        mach_port_destroy(task_self(), taken.back());
        taken.pop_back();
      }
      foundation::Error error;
      if (CrashMachExceptionServer::initWithCallBack(record, nullptr, &error) != nullptr) return 1;
      test::trace(error.localizedDescription().c_str());
      test::trace(error.domain() == foundation::kMachErrorDomain && error.code() == KERN_NO_SPACE ? "|mach" : "|?");
      // Everything it got is free again.
      int again = 0;
      for (mach_port_t port; mach_port_allocate(task_self(), MACH_PORT_RIGHT_RECEIVE, &port) == KERN_SUCCESS;) ++again;
      return again == cases[which].free ? 0 : 2;
    });
    EXPECT_TRUE(result.exitedWith(0)) << cases[which].free << ": " << result.describe();
    EXPECT_EQ(result.trace, std::string(cases[which].description) + "|mach");
  }
}

}  // namespace
