#pragma once
// CrashReporter is the crash engine's control object. Enabled once per process, it installs
// either fatal-signal handlers or an exception server (with a signal handler for abort), and
// optionally the uncaught-exception handler; when the process then crashes, it writes a report of
// every thread, the loaded images and the signal to "live_report.crash" in its crash report
// directory, calls the post-crash function it was given, and lets the process die by its signal.
// At the next launch the report is read back through the same object (load, purge). It also
// writes reports of the running process on request.
//
// The crash report directory is <caches>/org.crashreporter.data/<identifier>, with every "/" of
// the identifier made "_". When two threads crash at once, the first writes the report and the
// other waits for the process to end, so exactly one report is left.
//
// A stack overflow can only be reported on a thread with an alternate signal stack: the thread
// that enables the reporter gets one, and any other thread that should be covered asks for one
// with prepareCurrentThread.
//
// Objects are made by the init functions and shared by pointer. Enabling, the callbacks and the
// report files are process-wide; the methods may be called from any thread, one at a time.
#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "crash/engine/CrashHostInfo.h"
#include "crash/engine/CrashMachExceptionServer.h"
#include "crash/engine/CrashReporterConfig.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

// Called after a crash report was written, or could not be, inside the dying process: with the
// signal's information, the machine context (all zero for a crash that came as an exception) and
// the context given with it. Must be async-signal-safe.
typedef void (*CrashReporterPostCrashSignalCallback)(siginfo_t* info, ucontext_t* uap, void* context);

struct CrashReporterCallbacks {
  std::uint16_t version;  // 0
  void* context;
  CrashReporterPostCrashSignalCallback handleSignal;
};

// Raised for misuse of a reporter; its name is "CrashReporterException".
class CrashReporterException : public std::logic_error {
 public:
  explicit CrashReporterException(const std::string& reason) : std::logic_error(reason) {}
  static constexpr const char* name = "CrashReporterException";
};

class CrashReporter : public std::enable_shared_from_this<CrashReporter> {
 public:
  // The process's shared reporter for the main bundle with the default configuration, made on
  // first use. Thread-safe.
  static std::shared_ptr<CrashReporter> sharedReporter();

  // A reporter for the main bundle.
  static std::shared_ptr<CrashReporter> initWithConfiguration(
      std::shared_ptr<const CrashReporterConfig> configuration = CrashReporterConfig::defaultConfiguration());
  // A reporter named after `bundle`: its identifier (else the process name, with a warning),
  // "CFBundleVersion" (else "", with a warning) and "CFBundleShortVersionString" (else none).
  // Throws CrashReporterException "Can not determine process identifier or process name" when
  // there is neither identifier nor process name.
  static std::shared_ptr<CrashReporter> initWithBundle(const std::shared_ptr<const foundation::Bundle>& bundle,
                                                       std::shared_ptr<const CrashReporterConfig> configuration);
  static std::shared_ptr<CrashReporter> initWithApplicationIdentifier(
      std::string identifier, std::string version, std::optional<std::string> marketingVersion,
      std::shared_ptr<const CrashReporterConfig> configuration);

  // Whether a report is waiting at crashReportPath().
  bool hasPendingCrashReport() const;
  // The waiting report's bytes; none with the file manager's error when it cannot be read.
  std::optional<foundation::Data> loadPendingCrashReportData(foundation::Error* error = nullptr) const;
  // Removes the waiting report. Returns false with the file manager's error when it cannot
  // (also when there is none).
  bool purgePendingCrashReport(foundation::Error* error = nullptr) const;

  // Creates the report directories (0755) and installs the handlers the configuration names.
  // Returns true; false with `*error` set when the directories cannot be made (the file
  // manager's error), when a handler or the exception server cannot be installed
  // (CrashReporterErrorDomain code 1, or the signal handler's error), or when a reporter of this
  // process is already enabled (code 3, "A CrashReporter instance has already been enabled"; the
  // first stays active). A failed enable leaves the process free to enable a reporter later.
  bool enableCrashReporter(foundation::Error* error = nullptr);

  // Keeps the post-crash function and its context (process-wide). Throws CrashReporterException
  // "The crash reporter has alread been enabled" after enable; a version other than 0 is a
  // programming error (abort).
  void setCrashCallbacks(const CrashReporterCallbacks* callbacks);

  // A report of the running process as the calling thread sees it now (SIGTRAP, TRAP_TRACE,
  // address 0, user requested), written to a temporary file that is removed again. Returns the
  // bytes; none with `*error`: CrashReporterErrorDomain code 1 "Failed to create temporary path"
  // (with the POSIX error underneath) or code 0 "Unable to open live crash report for reading".
  std::optional<foundation::Data> generateLiveReport(foundation::Error* error = nullptr);
  // The same with `thread` marked as crashed; a thread other than the caller leaves the caller
  // out of the report.
  std::optional<foundation::Data> generateLiveReportWithThread(kernel::thread_t thread,
                                                               foundation::Error* error = nullptr);

  const std::string& crashReportDirectory() const { return crashReportDirectory_; }
  std::string queuedCrashReportDirectory() const;
  std::string crashReportPath() const;

  // Gives the calling thread an alternate signal stack, so that a stack overflow on it is
  // reported. Returns true; false with the POSIX-domain error. Thread-safe (per thread).
  static bool prepareCurrentThread(foundation::Error* error = nullptr);

  // The exception types the server asks for on a kernel of `host`'s release: bad access, bad
  // instruction, arithmetic, software and breakpoint, plus guard from release 13 on; without host
  // information, the former.
  static kernel::exception_mask_t machExceptionMaskForHost(const CrashHostInfo* host);

 private:
  CrashReporter(std::string identifier, std::string version, std::optional<std::string> marketingVersion,
                std::shared_ptr<const CrashReporterConfig> configuration);
  bool enableMachExceptionServer(foundation::Error* error);

  std::shared_ptr<const CrashReporterConfig> config_;
  bool enabled_ = false;
  std::shared_ptr<CrashMachExceptionServer> machServer_;
  std::shared_ptr<CrashMachExceptionPortSet> previousMachPorts_;
  std::string applicationIdentifier_;
  std::string applicationVersion_;
  std::optional<std::string> applicationMarketingVersion_;
  std::string crashReportDirectory_;
};
