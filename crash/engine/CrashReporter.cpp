#include "crash/engine/CrashReporter.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>

#include "crash/engine/CrashAsyncFile.h"
#include "crash/engine/CrashAsyncImageList.h"
#include "crash/engine/CrashAsyncMachException.h"
#include "crash/engine/CrashLogWriter.h"
#include "crash/engine/CrashReporterError.h"
#include "crash/engine/CrashSignalHandler.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/kernel/LoaderObserver.h"
#include "platform/kernel/MachineContext.h"
#include "platform/kernel/SignalNumbers.h"

namespace {

constexpr std::uint64_t kOutputLimit = 0x40000;
constexpr int kFatalSignals[] = {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP};
constexpr kernel::exception_mask_t kBaseExceptionMask = kernel::EXC_MASK_BAD_ACCESS | kernel::EXC_MASK_BAD_INSTRUCTION |
                                                        kernel::EXC_MASK_ARITHMETIC | kernel::EXC_MASK_SOFTWARE |
                                                        kernel::EXC_MASK_BREAKPOINT;
constexpr std::uint64_t kGuardExceptionsRelease = 13;
// Report numbering: SIGTRAP with TRAP_TRACE marks a report someone asked for.
constexpr int kReportSIGTRAP = 5;
constexpr int kReportTRAP_TRACE = 2;

// What the crash path needs, filled once at enable and only read afterwards.
struct CrashContext {
  crash_log_writer writer;
  char* path;  // the report file, NUL-terminated
  crash_mach_exception_port_set previous_ports;
};

CrashContext gCrashContext{};

std::mutex gEnableMutex;
bool gEnabledInProcess = false;
std::atomic<std::uint32_t> gUncaughtExceptionSeen{0};
std::atomic<CrashReporterPostCrashSignalCallback> gPostCrashFunction{nullptr};
std::atomic<void*> gPostCrashContext{nullptr};

// Kept for the life of the process once enabled, so the crash path never meets freed objects.
std::shared_ptr<CrashReporter> gEnabledReporter;
std::shared_ptr<CrashMachExceptionServer> gMachServer;
std::shared_ptr<CrashMachExceptionPortSet> gPreviousMachPorts;

void refreshImageList(void* list) { crash_nasync_image_list_refresh(static_cast<crash_async_image_list*>(list)); }

// The process's image list, made once and brought up to date after every load and unload (and
// at enable and at each live report, for the loads the loader makes on its own).
crash_async_image_list* sharedImageList() {
  static crash_async_image_list* const list = [] {
    auto* made = new crash_async_image_list();
    crash_nasync_image_list_init(made, kernel::task_self());
    kernel::loader_add_observer(refreshImageList, made);
    crash_nasync_image_list_refresh(made);
    return made;
  }();
  return list;
}

// The thread writing a report now, or 0. A crash report keeps it for good: the process is
// ending, and a second crasher that wrote after it would truncate a finished report.
std::atomic<kernel::thread_t> gReportingThread{0};

// Waits until no other thread writes a report, then claims the report for the calling thread.
// Returns false at once when the calling thread holds it already (a fault while writing, or a
// further exception on the server thread after its crash report).
bool claimReport() {
  const kernel::thread_t self = crash_mach_thread_self();
  for (;;) {
    kernel::thread_t holder = 0;
    if (gReportingThread.compare_exchange_strong(holder, self)) return true;
    if (holder == self) return false;
    const timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
  }
}

void releaseReport() { gReportingThread.store(0); }

// The write-report function of the crash path: the whole report into the context's file.
crash_error_t writeCrashReport(CrashContext* context, kernel::thread_t crashedThread,
                               const crash_async_thread_state* currentState, const crash_log_signal_info* signal) {
  const int fd = open(context->path, O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    CRASH_ASYNC_LOG("Could not open the crashlog output file: %s", crash_async_errno_text(errno));
    return CRASH_EINTERNAL;
  }
  crash_async_file file;
  crash_async_file_init(&file, fd, kOutputLimit);
  crash_log_writer_write(&context->writer, crashedThread, sharedImageList(), &file, signal, currentState);
  if (crash_log_writer_close(&context->writer) != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Failed to close the log writer");
    close(fd);
    return CRASH_EINTERNAL;
  }
  if (!crash_async_file_flush(&file)) {
    CRASH_ASYNC_LOG("Failed to flush output file");
    close(fd);
    return CRASH_EINTERNAL;
  }
  if (!crash_async_file_close(&file)) {
    CRASH_ASYNC_LOG("Failed to close output file");
    return CRASH_EINTERNAL;
  }
  return CRASH_ESUCCESS;
}

void runPostCrashFunction(siginfo_t* info, ucontext_t* uap) {
  const CrashReporterPostCrashSignalCallback function = gPostCrashFunction.load();
  if (function != nullptr) function(info, uap, gPostCrashContext.load());
}

// The callback of the fatal signals (on the faulting thread). The signal's actions go back to the
// defaults only once the report is written: reset earlier, a second thread faulting meanwhile
// would end the process at once, in the middle of the report.
bool handleSignal(int signo, siginfo_t* info, ucontext_t* uap, void* context, crash_signal_next_handler*) {
  auto* crash = static_cast<CrashContext*>(context);
  if (claimReport()) {
    kernel::x86_mcontext64 mcontext;
    kernel::machine_context_from_ucontext(uap, &mcontext);
    crash_async_thread_state state;
    crash_async_thread_state_mcontext_init(&state, &mcontext);

    int reportSigno = signo;
    kernel::report_signal_number(signo, &reportSigno);
    const crash_log_bsd_signal_info bsd{reportSigno, kernel::report_signal_code(signo, info->si_code),
                                        reinterpret_cast<std::uint64_t>(info->si_addr)};
    const crash_log_signal_info signal{&bsd, nullptr};
    writeCrashReport(crash, crash_mach_thread_self(), &state, &signal);
    // Whatever became of the report, the post-crash work still has its chance.
    runPostCrashFunction(info, uap);
  }

  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  for (int fatal : kFatalSignals) sigaction(fatal, &fallback, nullptr);
  return false;
}

struct ServerWrite {
  CrashContext* context;
  kernel::thread_t crashed_thread;
  const crash_log_signal_info* signal;
};

crash_error_t writeOnServerThread(crash_async_thread_state* state, void* argument) {
  const auto* request = static_cast<ServerWrite*>(argument);
  return writeCrashReport(request->context, request->crashed_thread, state, request->signal);
}

// The exception server's callback (on the server thread, the faulting thread waiting).
kernel::kern_return_t handleException(kernel::task_t task, kernel::thread_t thread, kernel::exception_type_t type,
                                      const kernel::mach_exception_data_type_t* codes,
                                      kernel::mach_msg_type_number_t codeCount, void* context) {
  auto* crash = static_cast<CrashContext*>(context);
  if (CrashMachExceptionForward(task, thread, type, codes, codeCount, &crash->previous_ports) == kernel::KERN_SUCCESS) {
    return kernel::KERN_SUCCESS;
  }
  siginfo_t info;
  if (!crash_async_mach_exception_get_siginfo(type, codes, codeCount, -1, &info)) {
    CRASH_ASYNC_LOG("Unexpected error mapping Mach exception to a POSIX signal");
    return kernel::KERN_FAILURE;
  }
  if (!claimReport()) return kernel::KERN_FAILURE;

  const crash_log_bsd_signal_info bsd{info.si_signo, info.si_code, reinterpret_cast<std::uint64_t>(info.si_addr)};
  const crash_log_mach_signal_info mach{type, codes, codeCount};
  const crash_log_signal_info signal{&bsd, &mach};
  ServerWrite request{crash, thread, &signal};
  const crash_error_t result = crash_async_thread_state_current(writeOnServerThread, &request);
  if (result != CRASH_ESUCCESS) CRASH_ASYNC_LOG("Failed to write live report: %d", result);

  ucontext_t uap;
  crash_async_memset(&uap, 0, sizeof uap);
  runPostCrashFunction(&info, &uap);
  return kernel::KERN_FAILURE;
}

void handleUncaughtException(const foundation::Exception& exception) {
  std::uint32_t expected = 0;
  if (!gUncaughtExceptionSeen.compare_exchange_strong(expected, 1)) return;
  const auto& addresses = exception.callStackReturnAddresses();
  crash_log_writer_set_exception(&gCrashContext.writer, exception.name().c_str(), exception.reason().c_str(),
                                 addresses.data(), addresses.size());
  abort();
}

foundation::Error reporterError(long code, const std::string& description,
                                std::shared_ptr<const foundation::Error> underlying = nullptr) {
  return foundation::Error(CrashReporterErrorDomain, code,
                           foundation::Dictionary{{foundation::kLocalizedDescriptionKey, foundation::Value(description)}},
                           std::move(underlying));
}

void setError(foundation::Error* error, foundation::Error value) {
  if (error != nullptr) *error = std::move(value);
}

// The state of a live report written on the calling thread.
struct LiveWrite {
  crash_log_writer* writer;
  crash_async_file* file;
  const crash_log_signal_info* signal;
};

crash_error_t writeLiveOnCallingThread(crash_async_thread_state* state, void* argument) {
  const auto* request = static_cast<LiveWrite*>(argument);
  return crash_log_writer_write(request->writer, crash_mach_thread_self(), sharedImageList(), request->file,
                                request->signal, state);
}

std::optional<std::string> infoString(const foundation::Bundle& bundle, const char* key) {
  const foundation::Value value = bundle.objectForInfoDictionaryKey(key);
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

}  // namespace

std::shared_ptr<CrashReporter> CrashReporter::sharedReporter() {
  static std::once_flag once;
  static std::shared_ptr<CrashReporter> shared;
  std::call_once(once, [] {
    shared = initWithBundle(foundation::Bundle::mainBundle(), CrashReporterConfig::defaultConfiguration());
  });
  return shared;
}

std::shared_ptr<CrashReporter> CrashReporter::initWithConfiguration(
    std::shared_ptr<const CrashReporterConfig> configuration) {
  return initWithBundle(foundation::Bundle::mainBundle(), std::move(configuration));
}

std::shared_ptr<CrashReporter> CrashReporter::initWithBundle(const std::shared_ptr<const foundation::Bundle>& bundle,
                                                             std::shared_ptr<const CrashReporterConfig> configuration) {
  std::optional<std::string> identifier = bundle != nullptr ? bundle->bundleIdentifier() : std::nullopt;
  if (!identifier || identifier->empty()) {
    const std::string processName = foundation::ProcessInfo::processInfo().processName();
    if (processName.empty()) throw CrashReporterException("Can not determine process identifier or process name");
    foundation::NSLog("[CrashReporter] Warning -- bundle identifier, using process name %s", processName);
    identifier = processName;
  }
  std::optional<std::string> version = bundle != nullptr ? infoString(*bundle, foundation::kCFBundleVersionKey)
                                                         : std::nullopt;
  if (!version) {
    foundation::NSLog("[CrashReporter] Warning -- bundle version unavailable");
    version = "";
  }
  std::optional<std::string> marketingVersion =
      bundle != nullptr ? infoString(*bundle, foundation::kCFBundleShortVersionStringKey) : std::nullopt;
  return initWithApplicationIdentifier(*identifier, *version, marketingVersion, std::move(configuration));
}

std::shared_ptr<CrashReporter> CrashReporter::initWithApplicationIdentifier(
    std::string identifier, std::string version, std::optional<std::string> marketingVersion,
    std::shared_ptr<const CrashReporterConfig> configuration) {
  return std::shared_ptr<CrashReporter>(new CrashReporter(std::move(identifier), std::move(version),
                                                          std::move(marketingVersion), std::move(configuration)));
}

CrashReporter::CrashReporter(std::string identifier, std::string version, std::optional<std::string> marketingVersion,
                             std::shared_ptr<const CrashReporterConfig> configuration)
    : config_(configuration != nullptr ? std::move(configuration) : CrashReporterConfig::defaultConfiguration()),
      applicationIdentifier_(std::move(identifier)),
      applicationVersion_(std::move(version)),
      applicationMarketingVersion_(std::move(marketingVersion)) {
  sharedImageList();
  std::string component = applicationIdentifier_;
  std::replace(component.begin(), component.end(), '/', '_');
  crashReportDirectory_ = foundation::FileManager::defaultManager().searchPathDirectory(
                              foundation::SearchPathDirectory::Caches) +
                          "/org.crashreporter.data/" + component;
}

std::string CrashReporter::queuedCrashReportDirectory() const { return crashReportDirectory_ + "/queued_reports"; }

std::string CrashReporter::crashReportPath() const { return crashReportDirectory_ + "/live_report.crash"; }

bool CrashReporter::hasPendingCrashReport() const {
  return foundation::FileManager::defaultManager().fileExistsAtPath(crashReportPath());
}

std::optional<foundation::Data> CrashReporter::loadPendingCrashReportData(foundation::Error* error) const {
  return foundation::FileManager::defaultManager().contentsAtPath(crashReportPath(), error);
}

bool CrashReporter::purgePendingCrashReport(foundation::Error* error) const {
  return foundation::FileManager::defaultManager().removeItemAtPath(crashReportPath(), error);
}

kernel::exception_mask_t CrashReporter::machExceptionMaskForHost(const CrashHostInfo* host) {
  if (host != nullptr && host->darwinVersion().major >= kGuardExceptionsRelease) {
    return kBaseExceptionMask | kernel::EXC_MASK_GUARD;
  }
  return kBaseExceptionMask;
}

bool CrashReporter::prepareCurrentThread(foundation::Error* error) {
  return CrashSignalHandler::ensureAlternateStackForCurrentThread(error);
}

void CrashReporter::setCrashCallbacks(const CrashReporterCallbacks* callbacks) {
  if (enabled_) throw CrashReporterException("The crash reporter has alread been enabled");
  CRASH_ASYNC_ASSERT(callbacks->version == 0, "Unsupported crash callbacks version");
  gPostCrashContext.store(callbacks->context);
  gPostCrashFunction.store(callbacks->handleSignal);
}

bool CrashReporter::enableMachExceptionServer(foundation::Error* error) {
  const auto host = CrashHostInfo::currentHostInfo();
  const kernel::exception_mask_t mask = machExceptionMaskForHost(host.get());

  foundation::Error cause;
  auto server = CrashMachExceptionServer::initWithCallBack(handleException, &gCrashContext, &cause);
  if (server == nullptr) {
    setError(error, reporterError(CrashReporterErrorOperatingSystem, "Failed to instantiate the Mach exception server.",
                                  std::make_shared<foundation::Error>(cause)));
    return false;
  }
  auto port = server->exceptionPortWithMask(mask, &cause);
  if (port == nullptr) {
    setError(error, reporterError(CrashReporterErrorOperatingSystem, "Failed to instantiate the Mach exception port.",
                                  std::make_shared<foundation::Error>(cause)));
    return false;
  }
  std::shared_ptr<CrashMachExceptionPortSet> previous;
  if (!port->registerForTask(kernel::task_self(), &previous, &cause)) {
    setError(error, reporterError(CrashReporterErrorOperatingSystem,
                                  "Failed to set the target task's mach exception ports.",
                                  std::make_shared<foundation::Error>(cause)));
    return false;
  }
  machServer_ = server;
  previousMachPorts_ = previous;
  gMachServer = server;
  gPreviousMachPorts = previous;
  gCrashContext.previous_ports = previous != nullptr ? previous->asyncSafeRepresentation()
                                                     : crash_mach_exception_port_set{};
  return true;
}

bool CrashReporter::enableCrashReporter(foundation::Error* error) {
  {
    std::lock_guard lock(gEnableMutex);
    if (gEnabledInProcess) {
      setError(error, reporterError(CrashReporterErrorResourceBusy, "A CrashReporter instance has already been enabled"));
      return false;
    }
    gEnabledInProcess = true;
  }
  if (enabled_) throw CrashReporterException("The crash reporter has alread been enabled");

  // Nothing of a failed attempt keeps the process from enabling a reporter later.
  auto fail = [] {
    std::lock_guard lock(gEnableMutex);
    gEnabledInProcess = false;
    return false;
  };

  const auto& files = foundation::FileManager::defaultManager();
  if (!files.createDirectoryAtPath(crashReportDirectory_, true, error) ||
      !files.createDirectoryAtPath(queuedCrashReportDirectory(), true, error)) {
    return fail();
  }

  crash_nasync_image_list_refresh(sharedImageList());
  free(gCrashContext.path);
  gCrashContext.path = strdup(crashReportPath().c_str());
  crash_log_writer_free(&gCrashContext.writer);
  // Facts it cannot learn are written as unknown, so a report is still worth having.
  const crash_error_t prepared = crash_log_writer_init(
      &gCrashContext.writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
      applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
      static_cast<std::uint32_t>(config_->symbolicationStrategy() & CrashReporterSymbolicationStrategyAll), false);
  if (prepared != CRASH_ESUCCESS) {
    foundation::NSLog("[CrashReporter] Warning -- some facts of the process are missing from crash reports: %s",
                      std::string(crash_async_strerror(prepared)));
  }

  auto& handler = CrashSignalHandler::sharedHandler();
  if (config_->signalHandlerType() == CrashReporterSignalHandlerTypeMach) {
    if (!handler.registerHandlerForSignal(SIGABRT, handleSignal, &gCrashContext, error)) return fail();
    if (!enableMachExceptionServer(error)) return fail();
  } else if (config_->signalHandlerType() == CrashReporterSignalHandlerTypeBSD) {
    for (int signo : kFatalSignals) {
      if (!handler.registerHandlerForSignal(signo, handleSignal, &gCrashContext, error)) return fail();
    }
  }

  if (config_->shouldRegisterUncaughtExceptionHandler()) {
    foundation::NSSetUncaughtExceptionHandler(handleUncaughtException);
  }
  gEnabledReporter = shared_from_this();
  enabled_ = true;
  return true;
}

std::optional<foundation::Data> CrashReporter::generateLiveReport(foundation::Error* error) {
  return generateLiveReportWithThread(crash_mach_thread_self(), error);
}

std::optional<foundation::Data> CrashReporter::generateLiveReportWithThread(kernel::thread_t thread,
                                                                            foundation::Error* error) {
  auto& files = foundation::FileManager::defaultManager();
  std::string path = files.temporaryDirectory() + "/live_crash_report.XXXXXX";
  const int fd = mkstemp(path.data());
  if (fd < 0) {
    setError(error, reporterError(CrashReporterErrorOperatingSystem, "Failed to create temporary path",
                                  std::make_shared<foundation::Error>(foundation::Error::posix(errno))));
    return std::nullopt;
  }

  crash_nasync_image_list_refresh(sharedImageList());
  crash_log_writer writer;
  crash_log_writer_init(&writer, applicationIdentifier_.c_str(), applicationVersion_.c_str(),
                        applicationMarketingVersion_ ? applicationMarketingVersion_->c_str() : nullptr,
                        static_cast<std::uint32_t>(config_->symbolicationStrategy() & CrashReporterSymbolicationStrategyAll),
                        true);
  crash_async_file file;
  crash_async_file_init(&file, fd, kOutputLimit);
  const crash_log_bsd_signal_info bsd{kReportSIGTRAP, kReportTRAP_TRACE, 0};
  const crash_log_signal_info signal{&bsd, nullptr};

  // Two reports at once would stop each other's threads.
  claimReport();
  if (thread == crash_mach_thread_self()) {
    LiveWrite request{&writer, &file, &signal};
    crash_async_thread_state_current(writeLiveOnCallingThread, &request);
  } else {
    crash_log_writer_write(&writer, thread, sharedImageList(), &file, &signal, nullptr);
  }
  releaseReport();
  crash_log_writer_close(&writer);
  const bool written = crash_async_file_flush(&file);
  close(fd);
  crash_log_writer_free(&writer);

  std::optional<foundation::Data> data;
  if (written) data = files.contentsAtPath(path);
  if (!data) setError(error, reporterError(CrashReporterErrorUnknown, "Unable to open live crash report for reading"));
  foundation::Error removeError;
  if (!files.removeItemAtPath(path, &removeError)) {
    foundation::NSLog("Failure occured deleting live crash report: %s", removeError.localizedDescription());
  }
  return data;
}
