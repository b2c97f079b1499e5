// The crash reporter: its paths and configuration, enabling, live reports, and children that
// crash for real under both handler types and leave a report that the parent reads back.
#include "crash/engine/CrashReporter.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crash/engine/CrashReport.h"
#include "crash/engine/CrashReporterError.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/kernel/LoaderImages.h"
#include "platform/kernel/ThreadControl.h"
#include "tests/crash/engine/ReportChecks.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/FaultingCode.h"
#include "tests/support/LogCapture.h"
#include "tests/support/SpinningThread.h"
#include "tests/support/TempDir.h"

// Functions a crash is expected in; their names are looked up in the reports.
extern "C" {

__attribute__((noinline)) void qm_crash_abort() {
  abort();
}

__attribute__((noinline)) void qm_crash_throw() {
  throw std::runtime_error("thrown and never caught");
}

__attribute__((noinline)) int qm_crash_recurse(int depth);
// Called through a pointer the compiler cannot see through, so the recursion stays recursion.
int (*volatile gRecurse)(int) = qm_crash_recurse;
__attribute__((noinline)) int qm_crash_recurse(int depth) {
  volatile char frame[256];
  frame[depth % 256] = static_cast<char>(depth);
  return gRecurse(depth + 1) + frame[0];
}

}  // extern "C"

namespace {

namespace faults = test::faults;
using Type = std::uint64_t;

constexpr const char* kIdentifier = "org.quillmere.tests/crash";

std::shared_ptr<CrashReporter> reporterOfType(Type type, const char* identifier = kIdentifier) {
  return CrashReporter::initWithApplicationIdentifier(
      identifier, "7", "7.1",
      std::make_shared<CrashReporterConfig>(type, CrashReporterSymbolicationStrategySymbolTable));
}

// --- what a crashing child does -----------------------------------------------------------------

enum class Crash { Segv, Abort, IllegalInstruction, DivideByZero, Breakpoint, StackOverflowOnThread,
                   UncaughtCxxException, UncaughtExceptionHandler, TwoThreadsAtOnce, ReportNotWritable,
                   InLibraryLoadedLater };

Type gType = CrashReporterSignalHandlerTypeBSD;
Crash gCrash = Crash::Segv;
char gMarker[PATH_MAX];

// The post-crash function: leaves a marker file, with async-signal-safe calls only.
void leaveMarker(siginfo_t*, ucontext_t*, void* context) {
  const int fd = open(static_cast<const char*>(context), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return;
  (void)!write(fd, "crashed", 7);
  close(fd);
}

// What the crash service does with an uncaught C++ exception: hands it to the uncaught-exception
// handler as an exception with the thrower's name, its message and a call stack.
void toUncaughtExceptionHandler() {
  const foundation::UncaughtExceptionHandler handler = foundation::NSGetUncaughtExceptionHandler();
  try {
    std::rethrow_exception(std::current_exception());
  } catch (const std::exception& caught) {
    const std::uint64_t thrower = reinterpret_cast<std::uint64_t>(&qm_crash_throw) + 1;
    if (handler != nullptr) handler(foundation::Exception("std::runtime_error", caught.what(), {thrower, thrower}));
  }
  abort();
}

// The test framework catches what a test throws, in a child too, so the throw happens on a thread
// of its own where nothing catches: the runtime finds no handler and terminates from inside the
// throw, with the thrower's frame still on the stack. A noexcept function in between would not do
// under clang: it gives such a function a catch-all landing pad that calls terminate, so the
// unwinder first removes the thrower's frame and the report could not show where the throw was.
void throwUncaught() {
  std::thread throwing(qm_crash_throw);
  throwing.join();
}

std::atomic<int> gReady{0};

void faultTogether() {
  gReady.fetch_add(1);
  while (gReady.load() < 2) {
  }
  faults::read()(reinterpret_cast<void*>(8));
}

void crash(Crash kind) {
  switch (kind) {
    case Crash::Segv: faults::read()(reinterpret_cast<void*>(8)); break;
    case Crash::Abort: qm_crash_abort(); break;
    case Crash::IllegalInstruction: faults::illegalInstruction()(nullptr); break;
    case Crash::DivideByZero: faults::divideByZero()(nullptr); break;
    case Crash::Breakpoint: faults::breakpoint()(nullptr); break;
    case Crash::StackOverflowOnThread: {
      std::thread overflowing([] {
        if (!CrashReporter::prepareCurrentThread()) return;
        qm_crash_recurse(0);
      });
      overflowing.join();
      break;
    }
    case Crash::UncaughtExceptionHandler:
      std::set_terminate(toUncaughtExceptionHandler);
      throwUncaught();
      break;
    case Crash::UncaughtCxxException: throwUncaught(); break;
    case Crash::TwoThreadsAtOnce: {
      std::thread other(faultTogether);
      faultTogether();
      other.join();
      break;
    }
    case Crash::InLibraryLoadedLater: {
      void* library = dlopen(QM_TEST_LOADED_LIBRARY, RTLD_NOW);
      auto* crashInLibrary = library != nullptr ? reinterpret_cast<void (*)()>(dlsym(library, "qm_loaded_crash"))
                                                : nullptr;
      if (crashInLibrary == nullptr) {
        test::trace(dlerror());
        return;
      }
      crashInLibrary();
      break;
    }
    case Crash::ReportNotWritable:
      // A folder where the report goes: it cannot be opened as a file.
      mkdir(reporterOfType(gType)->crashReportPath().c_str(), 0755);
      faults::read()(reinterpret_cast<void*>(8));
      break;
  }
}

int enableAndCrash() {
  auto reporter = reporterOfType(gType);
  const CrashReporterCallbacks callbacks{0, gMarker, leaveMarker};
  reporter->setCrashCallbacks(&callbacks);
  foundation::Error error;
  if (!reporter->enableCrashReporter(&error)) {
    test::trace(error.description().c_str());
    return 10;
  }
  crash(gCrash);
  return 0;
}

// --- what the parent finds ----------------------------------------------------------------------

class CrashingChild : public testing::Test {
 protected:
  void SetUp() override {
    reporter_ = reporterOfType(CrashReporterSignalHandlerTypeBSD);
    const std::string marker = reporter_->crashReportDirectory() + "-marker";
    std::strncpy(gMarker, marker.c_str(), sizeof gMarker - 1);
  }

  // Runs the crash in a child. Returns the report it left, read back as the next run would read
  // it (and purged), or null.
  std::shared_ptr<const CrashReport> crashChild(Type type, Crash kind, int signo, const std::string& name) {
    unlink(gMarker);
    gType = type;
    gCrash = kind;
    const test::ChildResult result = test::runInChild(enableAndCrash, 15);
    EXPECT_TRUE(result.killedBy(signo)) << name << ": " << result.describe();
    EXPECT_TRUE(foundation::FileManager::defaultManager().fileExistsAtPath(gMarker)) << name << ": post-crash marker";

    if (!reporter_->hasPendingCrashReport()) {
      ADD_FAILURE() << name << ": no report";
      return nullptr;
    }
    foundation::Error error;
    const auto data = reporter_->loadPendingCrashReportData(&error);
    EXPECT_TRUE(reporter_->purgePendingCrashReport());
    EXPECT_FALSE(reporter_->hasPendingCrashReport());
    if (!data) {
      ADD_FAILURE() << name << ": " << error.description();
      return nullptr;
    }
    auto report = CrashReport::initWithData(*data, &error);
    EXPECT_NE(report, nullptr) << name << ": " << error.description();
    return report;
  }

  std::shared_ptr<CrashReporter> reporter_;
};

// Whether a frame of `thread` lies in [start, end), or carries the symbol `symbol`.
bool hasFrameIn(const CrashReportThreadInfo& thread, std::uint64_t start, std::uint64_t end, const char* symbol) {
  for (const auto& frame : thread.stackFrames()) {
    const std::uint64_t pc = frame->instructionPointer();
    if (symbol == nullptr && pc >= start && pc < end) return true;
    if (symbol != nullptr && frame->symbolInfo() != nullptr && frame->symbolInfo()->symbolName() == symbol) return true;
  }
  return false;
}

TEST_F(CrashingChild, EachKindOfCrashLeavesAReportOfTheCrashedThread) {
  struct Case {
    const char* name;
    Crash crash;
    int signo;
    const char* signal;           // as the report names it
    const char* serverSignal;     // as it names it when the crash came as an exception
    faults::Function function;    // the faulting function, or null to look for `symbol`
    const char* symbol;
    bool throughServer;           // with exceptions, the server (not the signal handler) sees it
  };
  const Case cases[] = {
      {"SIGSEGV", Crash::Segv, SIGSEGV, "SIGSEGV", "SIGSEGV", faults::read(), nullptr, true},
      {"abort", Crash::Abort, SIGABRT, "SIGABRT", "SIGABRT", nullptr, "_qm_crash_abort", false},
      {"ud2", Crash::IllegalInstruction, SIGILL, "SIGILL", "SIGILL", faults::illegalInstruction(), nullptr, true},
      {"divide by zero", Crash::DivideByZero, SIGFPE, "SIGFPE", "SIGFPE", faults::divideByZero(), nullptr, true},
      {"int3", Crash::Breakpoint, SIGTRAP, "SIGTRAP", "SIGTRAP", faults::breakpoint(), nullptr, true},
      // The guard page below a thread's stack is protected memory, which the exception mapping
      // shows as a bus error.
      {"stack overflow on a second thread", Crash::StackOverflowOnThread, SIGSEGV, "SIGSEGV", "SIGBUS", nullptr,
       "_qm_crash_recurse", true},
      {"uncaught C++ exception", Crash::UncaughtCxxException, SIGABRT, "SIGABRT", "SIGABRT", nullptr,
       "_qm_crash_throw", false},
  };
  const std::string executable = kernel::executable_path();
  for (const Type type : {CrashReporterSignalHandlerTypeBSD, CrashReporterSignalHandlerTypeMach}) {
    for (const Case& c : cases) {
      const std::string name = std::string(c.name) + (type == CrashReporterSignalHandlerTypeMach ? " (exceptions)" : "");
      const auto report = crashChild(type, c.crash, c.signo, name);
      if (report == nullptr) continue;
      const bool server = type == CrashReporterSignalHandlerTypeMach && c.throughServer;
      EXPECT_EQ(report->signalInfo()->name(), server ? c.serverSignal : c.signal) << name;
      EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), kIdentifier) << name;
      EXPECT_FALSE(report->hasExceptionInfo()) << name;
      EXPECT_EQ(report->machExceptionInfo() != nullptr, server) << name;
      if (server) {
        EXPECT_GE(report->threads().size(), 2u) << name << ": the server thread is listed too";
      }

      const auto crashed = test::crashedThread(*report);
      ASSERT_NE(crashed, nullptr) << name;
      ASSERT_EQ(crashed->registers().size(), 21u) << name;
      EXPECT_EQ(crashed->registers()[0]->registerName(), "rip") << name;
      EXPECT_EQ(crashed->registers()[0]->registerValue(), crashed->stackFrames().at(0)->instructionPointer()) << name;
      if (c.function != nullptr) {
        EXPECT_TRUE(hasFrameIn(*crashed, faults::start(c.function), faults::end(c.function), nullptr)) << name;
      } else {
        EXPECT_TRUE(hasFrameIn(*crashed, 0, 0, c.symbol)) << name;
      }
      if (c.crash == Crash::Segv) {
        EXPECT_EQ(report->signalInfo()->address(), 8u) << name;
      }
      if (c.crash == Crash::StackOverflowOnThread) {
        EXPECT_EQ(crashed->stackFrames().size(), 512u) << name;
      }

      bool executableListed = false;
      for (const auto& image : report->images()) executableListed |= image->imageName() == executable;
      EXPECT_TRUE(executableListed) << name;
    }
  }
}

// The uncaught-exception handler records the exception, and the abort that follows writes it.
TEST_F(CrashingChild, UncaughtExceptionHandlerPutsTheExceptionInTheReport) {
  for (const Type type : {CrashReporterSignalHandlerTypeBSD, CrashReporterSignalHandlerTypeMach}) {
    const auto report = crashChild(type, Crash::UncaughtExceptionHandler, SIGABRT, "handler");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(report->signalInfo()->name(), "SIGABRT");
    ASSERT_TRUE(report->hasExceptionInfo());
    EXPECT_EQ(report->exceptionInfo()->exceptionName(), "std::runtime_error");
    EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "thrown and never caught");
    ASSERT_TRUE(report->exceptionInfo()->stackFrames().has_value());
    ASSERT_EQ(report->exceptionInfo()->stackFrames()->size(), 2u);
    const auto& symbol = report->exceptionInfo()->stackFrames()->front()->symbolInfo();
    ASSERT_NE(symbol, nullptr);
    EXPECT_EQ(symbol->symbolName(), "_qm_crash_throw");
  }
}

// Two threads that fault at the same moment leave one whole report, of one of them.
TEST_F(CrashingChild, TwoThreadsCrashingTogetherLeaveOneReport) {
  for (const Type type : {CrashReporterSignalHandlerTypeBSD, CrashReporterSignalHandlerTypeMach}) {
    for (int round = 0; round < 3; ++round) {
      const auto report = crashChild(type, Crash::TwoThreadsAtOnce, SIGSEGV, "two threads");
      ASSERT_NE(report, nullptr);
      const auto crashed = test::crashedThread(*report);
      ASSERT_NE(crashed, nullptr);
      EXPECT_EQ(crashed->stackFrames().at(0)->instructionPointer(), faults::faultingInstruction(faults::read()));
      EXPECT_EQ(report->signalInfo()->address(), 8u);
    }
  }
}

// A library opened after enabling is listed in the report, and the frame that crashed in it has
// its symbol.
TEST_F(CrashingChild, ALibraryLoadedAfterEnablingIsInTheReport) {
  const std::string library = QM_TEST_LOADED_LIBRARY;
  for (const Type type : {CrashReporterSignalHandlerTypeBSD, CrashReporterSignalHandlerTypeMach}) {
    const std::string name = type == CrashReporterSignalHandlerTypeMach ? "exceptions" : "signals";
    const auto report = crashChild(type, Crash::InLibraryLoadedLater, SIGSEGV, name);
    ASSERT_NE(report, nullptr) << name;
    bool listed = false;
    for (const auto& image : report->images()) listed |= image->imageName() == library;
    EXPECT_TRUE(listed) << name;

    const auto crashed = test::crashedThread(*report);
    ASSERT_NE(crashed, nullptr) << name;
    const auto& frame = crashed->stackFrames().at(0);
    const auto image = report->imageForAddress(frame->instructionPointer());
    EXPECT_TRUE(image != nullptr && image->imageName() == library) << name;
    ASSERT_NE(frame->symbolInfo(), nullptr) << name;
    EXPECT_EQ(frame->symbolInfo()->symbolName(), "_qm_loaded_crash") << name;
  }
}

// The post-crash function runs even when no report could be written.
TEST_F(CrashingChild, PostCrashFunctionRunsWhenTheReportCannotBeWritten) {
  for (const Type type : {CrashReporterSignalHandlerTypeBSD, CrashReporterSignalHandlerTypeMach}) {
    unlink(gMarker);
    gType = type;
    gCrash = Crash::ReportNotWritable;
    const test::ChildResult result = test::runInChild(enableAndCrash, 15);
    EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.describe();
    EXPECT_TRUE(foundation::FileManager::defaultManager().fileExistsAtPath(gMarker)) << type;
    EXPECT_FALSE(reporter_->loadPendingCrashReportData().has_value()) << "a folder, not a report";
    rmdir(reporter_->crashReportPath().c_str());
  }
}

// --- enabling ----------------------------------------------------------------------------------

TEST(CrashReporter, EnablesOncePerProcess) {
  const test::ChildResult result = test::runInChild([] {
    auto first = reporterOfType(CrashReporterSignalHandlerTypeBSD, "org.quillmere.first");
    auto second = reporterOfType(CrashReporterSignalHandlerTypeBSD, "org.quillmere.second");
    if (!first->enableCrashReporter()) return 1;
    if (!foundation::FileManager::defaultManager().fileExistsAtPath(first->queuedCrashReportDirectory())) return 2;
    foundation::Error error;
    if (second->enableCrashReporter(&error)) return 3;
    if (error.domain() != CrashReporterErrorDomain || error.code() != CrashReporterErrorResourceBusy ||
        error.localizedDescription() != "A CrashReporter instance has already been enabled") {
      return 4;
    }
    const CrashReporterCallbacks callbacks{0, nullptr, nullptr};
    try {
      first->setCrashCallbacks(&callbacks);
      return 5;
    } catch (const CrashReporterException& exception) {
      if (std::string(exception.what()) != "The crash reporter has alread been enabled") return 6;
    }
    faults::read()(reinterpret_cast<void*>(8));
    return 0;
  });
  EXPECT_TRUE(result.killedBy(SIGSEGV)) << result.describe();
  auto first = reporterOfType(CrashReporterSignalHandlerTypeBSD, "org.quillmere.first");
  EXPECT_TRUE(first->hasPendingCrashReport()) << "the first stays active";
  EXPECT_FALSE(reporterOfType(CrashReporterSignalHandlerTypeBSD, "org.quillmere.second")->hasPendingCrashReport());
}

// A failed enable leaves nothing that stops a later one.
TEST(CrashReporter, AFailedEnableCanBeRetried) {
  const test::ChildResult result = test::runInChild([] {
    auto reporter = reporterOfType(CrashReporterSignalHandlerTypeBSD, "org.quillmere.retry");
    const std::string blocker = reporter->crashReportDirectory();
    foundation::FileManager::defaultManager().createDirectoryAtPath(
        blocker.substr(0, blocker.rfind('/')), true);
    if (!test::writeFile(blocker, "in the way")) return 1;
    foundation::Error error;
    if (reporter->enableCrashReporter(&error)) return 2;
    if (error.domain() != foundation::kCocoaErrorDomain) return 3;
    unlink(blocker.c_str());
    if (!reporter->enableCrashReporter(&error)) return 4;
    return 0;
  });
  EXPECT_TRUE(result.exitedWith(0)) << result.describe();
}

// --- paths and configuration -------------------------------------------------------------------

TEST(CrashReporter, DirectoriesFollowTheIdentifier) {
  const std::string caches = foundation::FileManager::defaultManager().searchPathDirectory(
      foundation::SearchPathDirectory::Caches);
  const auto reporter = reporterOfType(CrashReporterSignalHandlerTypeBSD, "a/b");
  EXPECT_EQ(reporter->crashReportDirectory(), caches + "/org.crashreporter.data/a_b");
  EXPECT_EQ(reporter->crashReportPath(), caches + "/org.crashreporter.data/a_b/live_report.crash");
  EXPECT_EQ(reporter->queuedCrashReportDirectory(), caches + "/org.crashreporter.data/a_b/queued_reports");

  // A bundle without identifier or versions: the process name, an empty version, no marketing one.
  test::LogCapture log;
  const auto bundle = std::make_shared<foundation::Bundle>("/nowhere", "/nowhere/Resources", std::nullopt);
  const auto unnamed = CrashReporter::initWithBundle(bundle, nullptr);
  const std::string process = foundation::ProcessInfo::processInfo().processName();
  EXPECT_EQ(unnamed->crashReportDirectory(), caches + "/org.crashreporter.data/" + process);
  EXPECT_TRUE(log.contains("[CrashReporter] Warning -- bundle identifier, using process name " + process));
  EXPECT_TRUE(log.contains("[CrashReporter] Warning -- bundle version unavailable"));
}

TEST(CrashReporter, ConfigurationDefaults) {
  const auto defaults = CrashReporterConfig::defaultConfiguration();
  EXPECT_EQ(defaults->signalHandlerType(), CrashReporterSignalHandlerTypeBSD);
  EXPECT_EQ(defaults->symbolicationStrategy(), CrashReporterSymbolicationStrategyNone);
  EXPECT_TRUE(defaults->shouldRegisterUncaughtExceptionHandler());
  EXPECT_TRUE(CrashReporterConfig(1, 3).shouldRegisterUncaughtExceptionHandler());
  EXPECT_FALSE(CrashReporterConfig(1, 3, false).shouldRegisterUncaughtExceptionHandler());
}

TEST(CrashReporter, KernelReleaseAndExceptionMask) {
  struct Case {
    const char* release;
    CrashHostInfoVersion version;
    kernel::exception_mask_t mask;
    bool complaint;
  };
  const Case cases[] = {
      {"15.6.0", {15, 6, 0}, 0x106E, false},
      {"12.5.0", {12, 5, 0}, 0x6E, false},
      {"13.0.0", {13, 0, 0}, 0x106E, false},
      {"6.1.0-18-amd64", {6, 1, 0}, 0x6E, false},
      {"14.2", {14, 2, 0}, 0x106E, true},
      {"nonsense", {0, 0, 0}, 0x6E, true},
  };
  for (const Case& c : cases) {
    test::LogCapture log;
    const auto host = CrashHostInfo::initWithRelease(c.release);
    EXPECT_EQ(host->darwinVersion().major, c.version.major) << c.release;
    EXPECT_EQ(host->darwinVersion().minor, c.version.minor) << c.release;
    EXPECT_EQ(host->darwinVersion().revision, c.version.revision) << c.release;
    EXPECT_EQ(CrashReporter::machExceptionMaskForHost(host.get()), c.mask) << c.release;
    EXPECT_EQ(log.contains("Unexpected kern.osrelease string format: "), c.complaint) << c.release;
  }
  EXPECT_EQ(CrashReporter::machExceptionMaskForHost(nullptr), 0x6Eu);
  ASSERT_NE(CrashHostInfo::currentHostInfo(), nullptr);
}

// --- live reports ------------------------------------------------------------------------------

std::size_t entriesIn(const std::string& folder) {
  const auto names = foundation::FileManager::defaultManager().contentsOfDirectoryAtPath(folder);
  return names ? names->size() : 0;
}

TEST(CrashReporter, LiveReportOfAnotherThread) {
  test::TempDir temporary("qm-live");
  setenv("TMPDIR", temporary.path().c_str(), 1);
  test::SpinningThread spinning;
  const auto reporter = reporterOfType(CrashReporterSignalHandlerTypeBSD);

  kernel::thread_t threads[64];
  std::size_t count = 0;
  kernel::task_threads(kernel::task_self(), threads, 64, &count);
  foundation::Error error;
  const auto data = reporter->generateLiveReportWithThread(spinning.tid(), &error);
  unsetenv("TMPDIR");
  ASSERT_TRUE(data.has_value()) << error.description();
  EXPECT_EQ(entriesIn(temporary.path()), 0u) << "the temporary file is gone";

  const auto report = CrashReport::initWithData(*data, &error);
  ASSERT_NE(report, nullptr) << error.description();
  EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
  EXPECT_EQ(report->signalInfo()->code(), "TRAP_TRACE");
  EXPECT_EQ(report->signalInfo()->address(), 0u);
  EXPECT_EQ(report->threads().size(), count - 1) << "all but the calling thread";
  const auto crashed = test::crashedThread(*report);
  ASSERT_NE(crashed, nullptr);
  const std::uint64_t pc = crashed->stackFrames().at(0)->instructionPointer();
  EXPECT_GE(pc, test::SpinningThread::codeStart());
  EXPECT_LT(pc, test::SpinningThread::codeEnd());
  EXPECT_FALSE(reporter->hasPendingCrashReport()) << "live reports are not crash reports";
}

TEST(CrashReporter, LiveReportOfTheCallingThreadIncludesIt) {
  const auto reporter = reporterOfType(CrashReporterSignalHandlerTypeMach);
  foundation::Error error;
  const auto data = reporter->generateLiveReport(&error);
  ASSERT_TRUE(data.has_value()) << error.description();
  const auto report = CrashReport::initWithData(*data, &error);
  ASSERT_NE(report, nullptr) << error.description();
  const auto crashed = test::crashedThread(*report);
  ASSERT_NE(crashed, nullptr);
  bool inTheCall = false;
  for (const auto& frame : crashed->stackFrames()) {
    inTheCall |= frame->symbolInfo() != nullptr &&
                 frame->symbolInfo()->symbolName().find("generateLiveReportWithThread") != std::string::npos;
  }
  EXPECT_TRUE(inTheCall);
}

TEST(CrashReporter, LiveReportWithoutATemporaryFolder) {
  setenv("TMPDIR", "/nonexistent/folder", 1);
  foundation::Error error;
  const auto data = reporterOfType(CrashReporterSignalHandlerTypeBSD)->generateLiveReport(&error);
  unsetenv("TMPDIR");
  EXPECT_FALSE(data.has_value());
  EXPECT_EQ(error.domain(), CrashReporterErrorDomain);
  EXPECT_EQ(error.code(), CrashReporterErrorOperatingSystem);
  EXPECT_EQ(error.localizedDescription(), "Failed to create temporary path");
  ASSERT_NE(error.underlyingError(), nullptr);
  EXPECT_EQ(error.underlyingError()->domain(), foundation::kPOSIXErrorDomain);
}

}  // namespace
