// Uncaught C++ exceptions: what the handlers are told (type, message, the frames of the throw),
// the order and installation of handlers, and children that die of an uncaught exception and
// leave a crash report whose exception has the type, the text and the frames of the throw.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crash/engine/CrashReport.h"
#include "crash/engine/CrashReporter.h"
#include "telemetry/crashes/Internals/TLCrashesCXXExceptionWrapperException.h"
#include "telemetry/crashes/Internals/TLCrashesUncaughtCXXExceptionHandlerManager.h"
#include "tests/support/ChildProcess.h"

// The functions a throw is expected in; the reports name them.
extern "C" {

__attribute__((noinline)) void qm_cxx_throw_runtime_error() {
  throw std::runtime_error("the hosts file vanished");
}

__attribute__((noinline)) void qm_cxx_throw_int() {
  throw 42;
}

std::vector<int> gThree{1, 2, 3};
volatile std::size_t gIndex = 7;

// The C++ library throws here, not our code.
__attribute__((noinline)) int qm_cxx_vector_at() {
  return gThree.at(gIndex);
}

__attribute__((noinline)) void qm_cxx_throw_and_catch() {
  try {
    throw std::logic_error("caught at once");
  } catch (const std::logic_error&) {
  }
}

}  // extern "C"

namespace {

using Manager = TLCrashesUncaughtCXXExceptionHandlerManager;

// The test framework catches what a test throws, in a child too: a function that may not throw
// sends the exception to the terminate path, as an uncaught one would be. It calls through a
// pointer and has nothing to clean up, so the runtime (not a direct call of std::terminate, as
// GCC 12 compiles a noexcept function with cleanups) ends it with the exception still current.
__attribute__((noinline)) void uncaught(void (*body)()) noexcept {
  body();
}

// A handler that writes what it was told to the trace: "<n>:<type>|<message or (null)>|<frames>;".
template <int N>
void traceInfo(const CXXExceptionCaptureInfo* info) {
  char line[512];
  std::snprintf(line, sizeof line, "%d:%s|%s|%s;", N, info->typeName, info->message ? info->message : "(null)",
                info->frameCount > 0 && info->frames != nullptr ? "frames" : "none");
  test::trace(line);
}

// --- what the handlers are told ----------------------------------------------------------------

struct ThrowCase {
  const char* name;
  void (*throwIt)();
  const char* expected;  // the trace of one handler
};

const ThrowCase* gThrowCase = nullptr;

int throwWithOneHandler() {
  Manager::addCXXExceptionHandler(traceInfo<1>);
  uncaught(gThrowCase->throwIt);
  return 0;
}

TEST(TLCrashesUncaughtCXXException, HandlersAreToldTheTypeAndTheTextOfEachKindOfThrow) {
  static const std::runtime_error derived("through a pointer");
  const ThrowCase cases[] = {
      {"std::runtime_error", [] { throw std::runtime_error("what it says"); }, "1:St13runtime_error|what it says|frames;"},
      {"string literal", [] { throw "a literal"; }, "1:PKc|a literal|frames;"},
      {"std::string", [] { throw std::string("a string"); }, "1:NSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE|a string|frames;"},
      {"pointer to an exception", [] { throw &derived; }, "1:PKSt13runtime_error|through a pointer|frames;"},
      {"null pointer to an exception", [] { throw static_cast<const std::exception*>(nullptr); },
       "1:PKSt9exception|(null)|frames;"},
      {"int", [] { throw 42; }, "1:i|(null)|frames;"},
  };
  for (const ThrowCase& c : cases) {
    gThrowCase = &c;
    const test::ChildResult result = test::runInChild(throwWithOneHandler);
    // No previous handler of ours: the runtime's own terminate handler ends the process.
    EXPECT_TRUE(result.killedBy(SIGABRT)) << c.name << ": " << result.describe();
    EXPECT_EQ(result.trace, c.expected) << c.name;
  }
}

int twoHandlersInOrder() {
  Manager::addCXXExceptionHandler(traceInfo<1>);
  const std::terminate_handler installed = std::get_terminate();
  Manager::addCXXExceptionHandler(traceInfo<2>);
  if (std::get_terminate() != installed) return 11;  // installed only once
  if (Manager::countCXXExceptionHandler() != 2) return 12;
  uncaught(qm_cxx_throw_int);
  return 0;
}

TEST(TLCrashesUncaughtCXXException, EveryHandlerIsCalledInTheOrderAdded) {
  const test::ChildResult result = test::runInChild(twoHandlersInOrder);
  EXPECT_TRUE(result.killedBy(SIGABRT)) << result.describe();
  EXPECT_EQ(result.trace, "1:i|(null)|frames;2:i|(null)|frames;");
}

void otherTerminateHandler() {
  test::trace("other;");
  std::_Exit(3);
}

// Removing the last handler puts back the terminate handler found at installation, unless another
// one came after ours; throws stop being recorded only in the first case.
int removeHandlers() {
  const std::terminate_handler original = std::get_terminate();
  Manager::addCXXExceptionHandler(traceInfo<1>);
  Manager::addCXXExceptionHandler(traceInfo<2>);
  Manager::removeCXXExceptionHandler(traceInfo<1>);
  if (Manager::countCXXExceptionHandler() != 1) return 11;
  Manager::removeCXXExceptionHandler(traceInfo<1>);  // not in the list any more: nothing happens
  if (Manager::countCXXExceptionHandler() != 1) return 12;
  Manager::removeCXXExceptionHandler(traceInfo<2>);
  if (Manager::countCXXExceptionHandler() != 0) return 13;
  if (std::get_terminate() != original) return 14;

  Manager::addCXXExceptionHandler(traceInfo<3>);
  std::set_terminate(otherTerminateHandler);
  Manager::removeCXXExceptionHandler(traceInfo<3>);
  if (std::get_terminate() != otherTerminateHandler) return 15;
  uncaught(qm_cxx_throw_int);
  return 0;
}

TEST(TLCrashesUncaughtCXXException, RemovingTheLastHandlerRestoresThePreviousTerminateHandler) {
  const test::ChildResult result = test::runInChild(removeHandlers);
  EXPECT_TRUE(result.exitedWith(3)) << result.describe();
  EXPECT_EQ(result.trace, "other;");
}

TEST(TLCrashesUncaughtCXXException, WrapperExceptionDemanglesTheTypeAndKeepsTheFrames) {
  const std::uint64_t frames[] = {0x401000, 0x402000};
  struct Case {
    const char* typeName;
    const char* message;
    const char* name;
    const char* reason;
  };
  const Case cases[] = {
      {"St13runtime_error", "what it says", "std::runtime_error", "what it says"},
      {"i", nullptr, "int", ""},
      {"not a mangled name!", "x", "not a mangled name!", "x"},
      {nullptr, nullptr, "", ""},
  };
  for (const Case& c : cases) {
    const CXXExceptionCaptureInfo info{nullptr, c.typeName, c.message, 2, frames};
    const TLCrashesCXXExceptionWrapperException exception(&info);
    EXPECT_EQ(exception.name(), c.name);
    EXPECT_EQ(exception.reason(), c.reason);
    EXPECT_EQ(exception.callStackReturnAddresses(), (std::vector<std::uint64_t>{0x401000, 0x402000}));
    EXPECT_EQ(exception.info(), &info);
  }
}

// --- children that die of an uncaught exception under the crash engine ---------------------------

constexpr const char* kIdentifier = "org.quillmere.tests/cxx-exceptions";

std::shared_ptr<CrashReporter> reporter() {
  return CrashReporter::initWithApplicationIdentifier(
      kIdentifier, "1", "1.0",
      std::make_shared<CrashReporterConfig>(CrashReporterSignalHandlerTypeBSD,
                                            CrashReporterSymbolicationStrategySymbolTable));
}

enum class Throw { RuntimeError, Int, VectorAt, ForeignRethrow, BeforeInstallation };
Throw gThrow = Throw::RuntimeError;

// An exception thrown on another thread, rethrown here: this thread's last throw is not it.
__attribute__((noinline)) void rethrowForeign() {
  std::exception_ptr foreign;
  std::thread([&] {
    try {
      throw std::runtime_error("from another thread");
    } catch (...) {
      foreign = std::current_exception();
    }
  }).join();
  qm_cxx_throw_and_catch();
  std::rethrow_exception(foreign);
}

std::exception_ptr gEarlier;

// An exception thrown before the handler was added, so before throws were recorded.
__attribute__((noinline)) void rethrowEarlier() {
  std::rethrow_exception(gEarlier);
}

int enableAndThrow() {
  auto engine = reporter();
  if (!engine->enableCrashReporter()) return 10;
  try {
    qm_cxx_throw_runtime_error();
  } catch (...) {
    gEarlier = std::current_exception();
  }
  Manager::addCXXExceptionHandler(TLCrashesReportUncaughtCXXException);
  switch (gThrow) {
    case Throw::RuntimeError: uncaught(qm_cxx_throw_runtime_error); break;
    case Throw::Int: uncaught(qm_cxx_throw_int); break;
    case Throw::VectorAt: uncaught([] { qm_cxx_vector_at(); }); break;
    case Throw::ForeignRethrow: uncaught(rethrowForeign); break;
    case Throw::BeforeInstallation: uncaught(rethrowEarlier); break;
  }
  return 0;
}

// Runs the throw in a child; the exception of the report it left (purged), or nothing.
std::optional<CrashReportExceptionInfo> exceptionOfChild(Throw kind, std::shared_ptr<const CrashReport>* reportOut) {
  auto engine = reporter();
  engine->purgePendingCrashReport();
  gThrow = kind;
  const test::ChildResult result = test::runInChild(enableAndThrow, 15);
  EXPECT_TRUE(result.killedBy(SIGABRT)) << result.describe();
  const auto data = engine->loadPendingCrashReportData();
  engine->purgePendingCrashReport();
  if (!data) return std::nullopt;
  foundation::Error error;
  auto report = CrashReport::initWithData(*data, &error);
  if (report == nullptr || !report->hasExceptionInfo()) {
    ADD_FAILURE() << "no exception in the report " << error.description();
    return std::nullopt;
  }
  if (reportOut != nullptr) *reportOut = report;
  return *report->exceptionInfo();
}

// The symbol names of the frames, "?" for frames without one.
std::vector<std::string> symbols(const CrashReportExceptionInfo& exception) {
  std::vector<std::string> names;
  if (!exception.stackFrames()) return names;
  for (const auto& frame : *exception.stackFrames()) {
    names.push_back(frame->symbolInfo() != nullptr ? frame->symbolInfo()->symbolName() : "?");
  }
  return names;
}

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The file name of the image that holds `address` in `report`, or "".
std::string imageOf(const CrashReport& report, std::uint64_t address) {
  const auto image = report.imageForAddress(address);
  return image != nullptr ? image->imageName() : "";
}

TEST(TLCrashesUncaughtCXXException, ReportHoldsTheTypeTextAndThrowTimeFrames) {
  struct Case {
    const char* name;
    Throw kind;
    const char* exceptionName;
    const char* reason;
    const char* firstFrame;
  };
  const Case cases[] = {
      {"std::runtime_error", Throw::RuntimeError, "std::runtime_error", "the hosts file vanished",
       "_qm_cxx_throw_runtime_error"},
      {"int", Throw::Int, "int", "", "_qm_cxx_throw_int"},
  };
  for (const Case& c : cases) {
    const auto exception = exceptionOfChild(c.kind, nullptr);
    ASSERT_TRUE(exception) << c.name;
    EXPECT_EQ(exception->exceptionName(), c.exceptionName) << c.name;
    EXPECT_EQ(exception->exceptionReason(), c.reason) << c.name;
    const auto names = symbols(*exception);
    ASSERT_FALSE(names.empty()) << c.name;
    // The hook's own frame is left out: the stack starts where the program threw.
    EXPECT_EQ(names.front(), c.firstFrame) << c.name;
  }
}

TEST(TLCrashesUncaughtCXXException, ThrowsInsideTheCxxLibraryAreRecordedToo) {
  std::shared_ptr<const CrashReport> report;
  const auto exception = exceptionOfChild(Throw::VectorAt, &report);
  ASSERT_TRUE(exception);
  EXPECT_EQ(exception->exceptionName(), "std::out_of_range");
  EXPECT_NE(exception->exceptionReason().find("vector::_M_range_check"), std::string::npos)
      << exception->exceptionReason();
  ASSERT_TRUE(exception->stackFrames() && !exception->stackFrames()->empty());
  // Recorded at the throw, the stack starts inside the C++ library and goes through the caller,
  // whose frame the terminate path no longer has.
  EXPECT_NE(imageOf(*report, exception->stackFrames()->front()->instructionPointer()).find("libstdc++"),
            std::string::npos);
  EXPECT_TRUE(contains(symbols(*exception), "_qm_cxx_vector_at"));
}

TEST(TLCrashesUncaughtCXXException, ExceptionThatIsNotTheThreadsLastThrowGetsTheTerminateStack) {
  for (const Throw kind : {Throw::ForeignRethrow, Throw::BeforeInstallation}) {
    const auto exception = exceptionOfChild(kind, nullptr);
    ASSERT_TRUE(exception) << static_cast<int>(kind);
    EXPECT_EQ(exception->exceptionName(), "std::runtime_error");
    const auto names = symbols(*exception);
    EXPECT_FALSE(names.empty());
    // Not the stale stack of the exception caught earlier on this thread.
    EXPECT_FALSE(contains(names, "_qm_cxx_throw_and_catch"));
    EXPECT_FALSE(contains(names, "_qm_cxx_throw_runtime_error"));
  }
}

}  // namespace
