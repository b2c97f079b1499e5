// The crash log writer on the live process: reports of this test's own threads, written to a file
// and decoded with the reader.
#include "crash/engine/CrashLogWriter.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "crash/engine/CrashAsyncSymbols.h"
#include "crash/engine/CrashReport.h"
#include "crash/engine/CrashReportTextFormatter.h"
#include "platform/kernel/LoaderImages.h"
#include "platform/kernel/ThreadControl.h"
#include "tests/crash/engine/ReportChecks.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/support/SpinningThread.h"
#include "tests/support/TempDir.h"

extern "C" {

// Writes a report from a known frame of the calling thread: the callback runs inside it.
__attribute__((noinline)) crash_error_t qm_writer_capture(crash_async_thread_state_current_callback callback,
                                                          void* context) {
  const crash_error_t result = crash_async_thread_state_current(callback, context);
  asm volatile("" ::: "memory");  // keeps the call from becoming a jump
  return result;
}

}  // extern "C"

namespace {

struct ImageList {
  ImageList() {
    crash_nasync_image_list_init(&list, kernel::task_self());
    crash_nasync_image_list_refresh(&list);
  }
  ~ImageList() { crash_nasync_image_list_free(&list); }
  crash_async_image_list list{};
};

struct Writer {
  explicit Writer(std::uint32_t flags = 0, const char* marketing = "7.1") {
    EXPECT_EQ(crash_log_writer_init(&record, "org.quillmere.tests", "7", marketing, flags, true), CRASH_ESUCCESS);
  }
  ~Writer() { crash_log_writer_free(&record); }
  crash_log_writer record{};
};

struct WriteArgs {
  crash_log_writer* writer;
  crash_async_image_list* images;
  crash_async_file* file;
  const crash_log_signal_info* signal;
};

crash_error_t writeWithState(crash_async_thread_state* state, void* context) {
  auto* args = static_cast<WriteArgs*>(context);
  return crash_log_writer_write(args->writer, crash_mach_thread_self(), args->images, args->file, args->signal, state);
}

const crash_log_bsd_signal_info kTrace{5, 2, 0};
const crash_log_signal_info kTraceSignal{&kTrace, nullptr};

// The report the calling thread writes of itself (crashed) with a file limit of `limit`.
std::vector<std::uint8_t> writeReport(crash_log_writer* writer, std::uint64_t limit = 0,
                                      const crash_log_signal_info* signal = &kTraceSignal) {
  static ImageList images;
  test::TempDir dir("qm-writer");
  const int fd = open(dir.file("report").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  EXPECT_GE(fd, 0);
  crash_async_file file;
  crash_async_file_init(&file, fd, limit);
  WriteArgs args{writer, &images.list, &file, signal};
  EXPECT_EQ(qm_writer_capture(writeWithState, &args), CRASH_ESUCCESS);
  EXPECT_TRUE(crash_async_file_close(&file));
  const std::string bytes = test::readFile(dir.file("report"));
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

std::shared_ptr<const CrashReport> decode(const std::vector<std::uint8_t>& bytes) {
  foundation::Error error;
  auto report = CrashReport::initWithData(bytes, &error);
  EXPECT_NE(report, nullptr) << error.description();
  return report;
}

std::size_t threadsOfProcess() {
  kernel::thread_t threads[1024];
  std::size_t count = 0;
  kernel::task_threads(kernel::task_self(), threads, 1024, &count);
  return count;
}

TEST(CrashLogWriter, ReportOfTheCallingThreadHoldsEverySection) {
  test::SpinningThread spinning;
  Writer writer(0, nullptr);
  const auto report = decode(writeReport(&writer.record));
  ASSERT_NE(report, nullptr);

  EXPECT_EQ(report->systemInfo()->operatingSystem(), CrashReportOperatingSystem::MacOSX);
  EXPECT_EQ(report->systemInfo()->architecture(), CrashReportArchitecture::X86_64);
  EXPECT_FALSE(report->systemInfo()->operatingSystemVersion().empty());
  ASSERT_TRUE(report->systemInfo()->timestamp().has_value());
  EXPECT_NEAR(report->systemInfo()->timestamp()->timeIntervalSince1970(), static_cast<double>(time(nullptr)), 5);
  ASSERT_TRUE(report->hasMachineInfo());
  EXPECT_EQ(report->machineInfo()->processorInfo()->type(), 0x01000007u);
  EXPECT_GE(report->machineInfo()->logicalProcessorCount(), 1u);

  EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "org.quillmere.tests");
  EXPECT_EQ(report->applicationInfo()->applicationVersion(), "7");
  EXPECT_FALSE(report->applicationInfo()->applicationMarketingVersion().has_value());

  ASSERT_TRUE(report->hasProcessInfo());
  EXPECT_EQ(report->processInfo()->processID(), static_cast<std::uint64_t>(getpid()));
  EXPECT_EQ(report->processInfo()->processPath(), kernel::executable_path());
  EXPECT_EQ(report->processInfo()->parentProcessID(), static_cast<std::uint64_t>(getppid()));
  EXPECT_TRUE(report->processInfo()->parentProcessName().has_value());
  EXPECT_TRUE(report->processInfo()->native());
  ASSERT_TRUE(report->processInfo()->processStartTime().has_value());

  EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
  EXPECT_EQ(report->signalInfo()->code(), "TRAP_TRACE");
  EXPECT_EQ(report->signalInfo()->address(), 0u);
  EXPECT_EQ(report->machExceptionInfo(), nullptr);
  EXPECT_FALSE(report->hasExceptionInfo());
  ASSERT_TRUE(report->uuidRef().has_value());

  // Every thread, numbered in order; only the crashed one has registers.
  ASSERT_EQ(report->threads().size(), threadsOfProcess());
  for (std::size_t i = 0; i < report->threads().size(); ++i) {
    const auto& thread = report->threads()[i];
    EXPECT_EQ(thread->threadNumber(), static_cast<std::int64_t>(i));
    EXPECT_FALSE(thread->stackFrames().empty()) << i;
    if (!thread->crashed()) {
      EXPECT_TRUE(thread->registers().empty()) << i;
    }
  }
  const auto crashed = test::crashedThread(*report);
  ASSERT_NE(crashed, nullptr);
  ASSERT_EQ(crashed->registers().size(), 21u);
  EXPECT_EQ(crashed->registers()[0]->registerName(), "rip");
  EXPECT_EQ(crashed->registers()[0]->registerValue(), crashed->stackFrames()[0]->instructionPointer());
  // The capture returns into qm_writer_capture, the first frame.
  const auto* capture = reinterpret_cast<const std::uint8_t*>(&qm_writer_capture);
  const std::uint64_t pc = crashed->stackFrames()[0]->instructionPointer();
  EXPECT_GT(pc, reinterpret_cast<std::uint64_t>(capture));
  EXPECT_LT(pc, reinterpret_cast<std::uint64_t>(capture) + 64);
  // The spinning thread is seen where it spins.
  bool spinningSeen = false;
  for (const auto& thread : report->threads()) {
    const std::uint64_t at = thread->stackFrames()[0]->instructionPointer();
    spinningSeen |= at >= test::SpinningThread::codeStart() && at < test::SpinningThread::codeEnd();
  }
  EXPECT_TRUE(spinningSeen);

  bool executableListed = false;
  for (const auto& image : report->images()) {
    if (image->imageName() != kernel::executable_path()) continue;
    executableListed = true;
    EXPECT_TRUE(image->hasImageUUID()) << "the build-id";
    ASSERT_NE(image->codeType(), nullptr);
    EXPECT_EQ(image->codeType()->typeEncoding(), CrashReportProcessorTypeEncoding::Mach);
    EXPECT_NE(report->imageForAddress(pc), nullptr);
  }
  EXPECT_TRUE(executableListed);
  EXPECT_GT(spinning.rounds(), 0u);
}

// Frames name their functions only when asked; ELF names are written the way the readers of a
// report expect them, so the text report shows them as they are in the source.
TEST(CrashLogWriter, SymbolsOnlyWhenAskedAndRenderedUnchanged) {
  for (const std::uint32_t flags : {0u, static_cast<std::uint32_t>(CRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE)}) {
    Writer writer(flags);
    const auto report = decode(writeReport(&writer.record));
    ASSERT_NE(report, nullptr);
    std::size_t symbols = 0;
    for (const auto& thread : report->threads()) {
      for (const auto& frame : thread->stackFrames()) symbols += frame->symbolInfo() != nullptr;
    }
    const auto& first = test::crashedThread(*report)->stackFrames()[0];
    if (flags == 0) {
      EXPECT_EQ(symbols, 0u);
      continue;
    }
    ASSERT_NE(first->symbolInfo(), nullptr);
    EXPECT_EQ(first->symbolInfo()->symbolName(), "_qm_writer_capture");
    EXPECT_EQ(first->symbolInfo()->startAddress(), reinterpret_cast<std::uint64_t>(&qm_writer_capture));
    const std::string text = CrashReportTextFormatter::stringValueForCrashReport(*report,
                                                                                 CrashReportTextFormat::Standard);
    EXPECT_NE(text.find(" qm_writer_capture + "), std::string::npos) << text;
    // C++ names keep their leading underscore.
    EXPECT_NE(text.find(" _ZN"), std::string::npos) << text;
  }
}

// A record whose set-up never happened (all null and zero) still writes a report that decodes.
TEST(CrashLogWriter, EmptyRecordStillWritesADecodableReport) {
  crash_log_writer empty{};
  const auto report = decode(writeReport(&empty));
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->applicationInfo()->applicationIdentifier(), "");
  EXPECT_EQ(report->systemInfo()->operatingSystemVersion(), "");
  EXPECT_FALSE(report->processInfo()->processName().has_value());
  EXPECT_FALSE(report->systemInfo()->operatingSystemBuild().has_value());
}

// A thread parked at the bottom of a chain of `depth` calls.
extern "C" __attribute__((noinline)) int qm_writer_deep(int depth, int fd);
int (*volatile gDeep)(int, int) = qm_writer_deep;
extern "C" __attribute__((noinline)) int qm_writer_deep(int depth, int fd) {
  if (depth == 0) {
    char byte;
    return static_cast<int>(read(fd, &byte, 1));
  }
  return gDeep(depth - 1, fd) + 1;
}

TEST(CrashLogWriter, ThreadsAndExceptionBacktracesStopAt512Frames) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread deep([&] { qm_writer_deep(700, fds[0]); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  Writer writer(CRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE);
  std::vector<std::uint64_t> backtrace(600, reinterpret_cast<std::uint64_t>(&qm_writer_deep) + 4);
  crash_log_writer_set_exception(&writer.record, "NSGenericException", "too deep", backtrace.data(),
                                 backtrace.size());
  const auto report = decode(writeReport(&writer.record));
  ASSERT_EQ(write(fds[1], "x", 1), 1);
  deep.join();
  ASSERT_NE(report, nullptr);

  std::size_t longest = 0;
  for (const auto& thread : report->threads()) longest = std::max(longest, thread->stackFrames().size());
  EXPECT_EQ(longest, 512u);
  ASSERT_TRUE(report->hasExceptionInfo());
  EXPECT_EQ(report->exceptionInfo()->exceptionName(), "NSGenericException");
  EXPECT_EQ(report->exceptionInfo()->exceptionReason(), "too deep");
  ASSERT_TRUE(report->exceptionInfo()->stackFrames().has_value());
  ASSERT_EQ(report->exceptionInfo()->stackFrames()->size(), 512u);
  const auto& frame = report->exceptionInfo()->stackFrames()->front();
  ASSERT_NE(frame->symbolInfo(), nullptr);
  EXPECT_EQ(frame->symbolInfo()->symbolName(), "_qm_writer_deep");
  close(fds[0]);
  close(fds[1]);
}

// Under a size limit the report stays whole: threads and images that would not fit are left out,
// the crashed thread, the exception and the signal are kept.
TEST(CrashLogWriter, ReportUnderASizeLimitLeavesOutWholeSectionsAndDecodes) {
  std::vector<std::unique_ptr<test::SpinningThread>> threads;
  for (int i = 0; i < 20; ++i) threads.push_back(std::make_unique<test::SpinningThread>());
  Writer writer(CRASH_ASYNC_SYMBOL_STRATEGY_SYMBOL_TABLE);
  const std::uint64_t address = reinterpret_cast<std::uint64_t>(&qm_writer_deep);
  crash_log_writer_set_exception(&writer.record, "NSGenericException", "kept", &address, 1);

  const auto whole = writeReport(&writer.record);
  const auto full = decode(whole);
  ASSERT_NE(full, nullptr);
  const std::size_t limit = whole.size() / 2;
  test::StderrCapture capture;
  const auto cut = writeReport(&writer.record, limit);
  const std::string log = capture.text();
  EXPECT_LE(cut.size(), limit);
  const auto report = decode(cut);
  ASSERT_NE(report, nullptr);
  EXPECT_LT(report->threads().size() + report->images().size(), full->threads().size() + full->images().size());
  ASSERT_NE(test::crashedThread(*report), nullptr);
  EXPECT_EQ(test::crashedThread(*report)->registers().size(), 21u);
  EXPECT_TRUE(report->hasExceptionInfo());
  EXPECT_EQ(report->signalInfo()->name(), "SIGTRAP");
  EXPECT_NE(log.find("the report would pass its size limit"), std::string::npos) << log;
}

TEST(CrashLogWriter, SignalNamesAndExceptionCodes) {
  struct Case {
    crash_log_bsd_signal_info bsd;
    bool mach;
    const char* name;
    const char* code;
    const char* warning;  // the diagnostic expected, or null for none
  };
  const Case cases[] = {
      {{11, 1, 0x18}, false, "SIGSEGV", "SEGV_MAPERR", nullptr},
      {{40, 3, 0}, false, "#40", "#3", "unhandled signal number (signo=40)"},
      {{5, 0, 0}, false, "SIGTRAP", "#0", "unhandled signal sicode (signo=5, code=0)"},
      // A guard violation comes as SIGKILL code 0: a code chosen by the exception mapping.
      {{9, 0, 0x42}, true, "SIGKILL", "#0", nullptr},
  };
  const std::int64_t codes[] = {0x20, 0x42, -1};
  for (const Case& c : cases) {
    Writer writer;
    const crash_log_mach_signal_info mach{12, codes, 3};
    const crash_log_signal_info signal{&c.bsd, c.mach ? &mach : nullptr};
    test::StderrCapture capture;
    const auto report = decode(writeReport(&writer.record, 0, &signal));
    const std::string log = capture.text();
    ASSERT_NE(report, nullptr) << c.name;
    EXPECT_EQ(report->signalInfo()->name(), c.name);
    EXPECT_EQ(report->signalInfo()->code(), c.code);
    EXPECT_EQ(report->signalInfo()->address(), c.bsd.address);
    if (c.warning != nullptr) {
      EXPECT_NE(log.find(c.warning), std::string::npos) << log;
    } else {
      EXPECT_EQ(log.find("This is a bug"), std::string::npos) << log;
    }
    if (!c.mach) {
      EXPECT_EQ(report->machExceptionInfo(), nullptr);
      continue;
    }
    ASSERT_NE(report->machExceptionInfo(), nullptr);
    EXPECT_EQ(report->machExceptionInfo()->type(), 12u);
    EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<std::uint64_t>{0x20, 0x42, UINT64_MAX}));
  }
}

}  // namespace
