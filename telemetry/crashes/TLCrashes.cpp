#include "telemetry/crashes/TLCrashes.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "crash/engine/CrashReport.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/String.h"
#include "platform/foundation/UUID.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/Internals/Context/Session/TLSessionContext.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdContext.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"
#include "telemetry/core/Internals/Util/TLUtility+PropertyValidation.h"
#include "telemetry/core/Internals/Util/TLUtility+File.h"
#include "telemetry/core/Internals/Util/TLUtility.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"
#include "telemetry/core/TLTelemetry.h"
#include "telemetry/crashes/Internals/Model/TLHandledErrorLog.h"
#include "telemetry/crashes/Internals/TLCrashesCXXExceptionWrapperException.h"
#include "telemetry/crashes/Internals/TLCrashesLogBuffer.h"
#include "telemetry/crashes/Internals/TLCrashesLogBufferRecord.h"
#include "telemetry/crashes/Internals/TLErrorLogFormatter.h"
#include "telemetry/crashes/Internals/TLWrapperExceptionManager.h"
#include "telemetry/crashes/Internals/Util/TLCrashesUtil.h"
#include "telemetry/crashes/TLCrashesArchivableClasses.h"
#include "telemetry/crashes/TLCrashesConstants.h"
#include "telemetry/crashes/TLWrapperCrashesHelper.h"

namespace {

constexpr const char* kServiceName = "Crashes";
constexpr const char* kGroupId = "Crashes";
constexpr std::int64_t kPriority = 2;
constexpr std::uint64_t kFlushInterval = 1;
constexpr std::uint64_t kBatchSizeLimit = 1;
constexpr std::uint64_t kPendingBatchesLimit = 3;
// The server may keep no more than this many attachments of one report.
constexpr unsigned kMaxAttachmentsPerErrorReport = 2;
// How long after enabling the saved reports are processed, in seconds.
constexpr double kProcessingDelay = 1.0;
// Names in "crashes" that are never crash files.
constexpr const char* kIgnoredSuffixes[] = {".DS_Store", ".analyzer", ".plist", ".data", ".meta", ".desc"};

std::mutex gSharedMutex;
std::shared_ptr<TLCrashes> gShared;

}  // namespace

// ---- Identity ------------------------------------------------------------------------------------

std::string TLCrashes::serviceName() { return kServiceName; }

std::string TLCrashes::logTag() { return kTLCrashesLogTag; }

std::string TLCrashes::groupId() const { return kGroupId; }

std::shared_ptr<TLCrashes> TLCrashes::sharedInstance() {
  std::lock_guard lock(gSharedMutex);
  if (!gShared) gShared = std::make_shared<TLCrashes>();
  return gShared;
}

void TLCrashes::resetSharedInstance() {
  std::lock_guard lock(gSharedMutex);
  gShared.reset();
}

TLCrashes::TLCrashes()
    : channelUnitConfiguration_(kGroupId, kPriority, kFlushInterval, kBatchSizeLimit, kPendingBatchesLimit) {
  // The stored crash logs must be readable back from the log store.
  TLRegisterCrashesArchivableClasses();
  crashesPathComponent_ = TLCrashesUtil::crashesDir();
  logBufferPathComponent_ = TLCrashesUtil::logBufferDir();
  analyzerInProgressFilePathComponent_ = crashesPathComponent_ + "/" + kTLAnalyzerFilename;
  // Error logs carry the exception a wrapper SDK saved for their crash.
  TLErrorLogFormatter::setWrapperExceptionLoader(TLWrapperExceptionManager::loadWrapperExceptionWithUUIDString);
  bufferFileQueue_ = dispatch::Queue::global(dispatch::GlobalPriority::High);
  bufferFileGroup_ = dispatch::Group::create();
  setupLogBuffer();
}

TLCrashes::~TLCrashes() {
  if (memoryPressureSource_) memoryPressureSource_->cancel();
  // The buffer files are made on a global queue; a service dropped just before the process ends
  // must not leave those writes running into the teardown of the process's statics.
  bufferFileGroup_->wait();
}

// ---- What the application calls ------------------------------------------------------------------

void TLCrashes::generateTestCrash() {
  const auto crashes = sharedInstance();
  std::lock_guard lock(crashes->monitor_);
  if (!crashes->canBeUsed()) return;
  if (TLUtility::currentAppEnvironment() == TLAppEnvironmentAppStore) {
    TLLogWarning(kTLCrashesLogTag,
                 "GenerateTestCrash was just called in an App Store environment. The call will be ignored.");
    return;
  }
  if (TLTelemetry::isDebuggerAttached()) {
    TLLogWarning(kTLCrashesLogTag, "The debugger is attached. The following crash cannot be detected by the SDK!");
  }
  __builtin_trap();
}

bool TLCrashes::isEnabled() { return sharedInstance()->classIsEnabled(); }

void TLCrashes::setEnabled(bool isEnabled) { sharedInstance()->classSetEnabled(isEnabled); }

bool TLCrashes::hasCrashedInLastSession() { return sharedInstance()->didCrashInLastSession(); }

bool TLCrashes::hasReceivedMemoryWarningInLastSession() {
  return sharedInstance()->didReceiveMemoryWarningInLastSession();
}

std::shared_ptr<TLErrorReport> TLCrashes::lastSessionCrashReport() {
  return sharedInstance()->getLastSessionCrashReport();
}

void TLCrashes::disableMachExceptionHandler() { sharedInstance()->enableMachExceptionHandler_ = false; }

void TLCrashes::setDelegate(const std::shared_ptr<TLCrashesDelegate>& delegate) {
  const auto crashes = sharedInstance();
  std::lock_guard lock(crashes->monitor_);
  crashes->delegate_ = delegate;
}

void TLCrashes::setUserConfirmationHandler(TLUserConfirmationHandler userConfirmationHandler) {
  const auto crashes = sharedInstance();
  std::lock_guard lock(crashes->monitor_);
  crashes->userConfirmationHandler_ = std::move(userConfirmationHandler);
}

void TLCrashes::notifyWithUserConfirmation(TLUserConfirmation userConfirmation) {
  const auto crashes = sharedInstance();
  bool answerable = false;
  {
    std::lock_guard lock(crashes->monitor_);
    answerable = static_cast<bool>(crashes->userConfirmationHandler_);
  }
  {
    std::lock_guard lists(crashes->listsMutex_);
    answerable = answerable || crashes->processingHasRun_;
  }
  if (!answerable) {
    TLLogError(kTLCrashesLogTag,
               "Incorrect usage of notifyWithUserConfirmation: it should only be called from userConfirmationHandler. "
               "For more information refer to the documentation.");
    return;
  }
  crashes->handleUserConfirmation(userConfirmation);
}

void TLCrashes::sendErrorAttachments(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                     const std::string& incidentIdentifier) {
  sharedInstance()->sendErrorAttachmentsForIncident(attachments, incidentIdentifier);
}

void TLCrashes::trackModelException(const std::shared_ptr<TLException>& exception,
                                    const std::optional<foundation::Dictionary>& properties) {
  sharedInstance()->trackModelExceptionWithProperties(exception, properties);
}

void TLCrashes::trackModelExceptionWithProperties(const std::shared_ptr<TLException>& exception,
                                                  const std::optional<foundation::Dictionary>& properties) {
  std::lock_guard lock(monitor_);
  if (!canBeUsed() || !isInstanceEnabled()) return;
  const auto unit = channelUnit();
  if (!unit) return;
  auto log = std::make_shared<TLHandledErrorLog>();
  log->setUserId(TLUserIdContext::sharedInstance()->userId());
  log->errorId = foundation::UUID().UUIDString();
  log->exception = exception;
  if (properties && !properties->empty()) {
    log->setProperties(
        TLUtility::validateProperties(*properties, "ErrorLog: " + *log->errorId, log->type().value_or("")));
  }
  unit->enqueueItem(log, TLFlagsNormal);
}

// ---- What the SDK calls --------------------------------------------------------------------------

void TLCrashes::startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                                      const std::optional<std::string>& appSecret,
                                      const std::optional<std::string>& transmissionTargetToken,
                                      bool fromApplication) {
  // Error reports name the installation. Read once here, under the SDK's lock, so that the
  // conversions on the processing queue never need that lock.
  const foundation::UUID installId = TLTelemetry::installId();
  TLErrorLogFormatter::setInstallIdProvider([installId] { return std::optional<foundation::UUID>(installId); });

  TLServiceAbstract::startWithChannelGroup(channelGroup, appSecret, transmissionTargetToken, fromApplication);
  if (channelGroup) channelGroup->addDelegate(shared_from_this());
  processLogBufferAfterCrash();
  processMemoryWarningInLastSession();
  TLLogVerbose(kTLCrashesLogTag, "Started crash service.");
}

void TLCrashes::updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                                 const std::optional<std::string>& transmissionTargetToken) {
  processLogBufferAfterCrash();
  TLServiceAbstract::updateConfigurationWithAppSecret(appSecret, transmissionTargetToken);
}

void TLCrashes::applyEnabledState(bool isEnabled) {
  TLServiceAbstract::applyEnabledState(isEnabled);

  if (isEnabled) {
    // A wrapper SDK may keep its own uncaught-exception handler in place of the engine's.
    const auto setupDelegate = TLWrapperCrashesHelper::getCrashHandlerSetupDelegate();
    const bool enableUncaughtExceptionHandler =
        setupDelegate ? setupDelegate->shouldEnableUncaughtExceptionHandler().value_or(true) : true;
    if (setupDelegate) setupDelegate->willSetUpCrashHandlers();
    configureCrashReporterWithUncaughtExceptionHandlerEnabled(enableUncaughtExceptionHandler);
    if (setupDelegate) setupDelegate->didSetUpCrashHandlers();

    auto source = dispatch::MemoryPressureSource::create(
        dispatch::MemoryPressureSource::kWarning | dispatch::MemoryPressureSource::kCritical, dispatch::mainQueue());
    std::weak_ptr<TLCrashes> weakSelf = weak_from_this();
    source->setEventHandler([weakSelf] {
      if (const auto self = weakSelf.lock()) self->didReceiveMemoryWarning(nullptr);
    });
    replaceMemoryPressureSource(source);
    source->resume();

    // Enabling through setEnabled applies the state before it is stored: a report the engine
    // wrote while the service was off is not sent.
    if (!isInstanceEnabled()) crashReporter_->purgePendingCrashReport();
    if (crashReporter_->hasPendingCrashReport()) {
      didCrashInLastSession_ = true;
      TLLogDebug(kTLCrashesLogTag, "The application crashed in the last session.");
      handleLatestCrashReport();
    }

    bool hasCrashFiles = false;
    {
      std::lock_guard lists(listsMutex_);
      crashFiles_ = persistedCrashReports();
      hasCrashFiles = !crashFiles_.empty();
    }
    if (hasCrashFiles) {
      startDelayedCrashProcessing();
    } else {
      delayedProcessingSemaphore_.signal();
      clearContextHistoryAndKeepCurrentSession();
    }
    if (TLTelemetry::isDebuggerAttached()) {
      TLLogInfo(kTLCrashesLogTag,
                "Crashes service has been enabled but the service cannot detect crashes due to running the "
                "application with a debugger attached.");
    } else {
      TLLogInfo(kTLCrashesLogTag, "Crashes service has been enabled.");
    }
    return;
  }

  replaceMemoryPressureSource(nullptr);
  TLLogDebug(kTLCrashesLogTag, "Cleaning up all crash files.");
  TLWrapperExceptionManager::deleteAllWrapperExceptions();
  deleteAllFromCrashesDirectory();
  emptyLogBufferFiles();
  removeAnalyzerFile();
  if (const auto reporter = crashReporter()) reporter->purgePendingCrashReport();
  clearUnprocessedReports();
  clearContextHistoryAndKeepCurrentSession();
  TLUserDefaults::shared().removeObjectForKey(kTLAppDidReceiveMemoryWarningKey);
  TLLogInfo(kTLCrashesLogTag, "Crashes service has been disabled.");
}

void TLCrashes::configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler) {
  std::lock_guard lock(monitor_);
  if (crashReporter_) {
    TLLogDebug(kTLCrashesLogTag, "Already configured CrashReporter.");
    return;
  }
  if (enableUncaughtExceptionHandler) {
    TLLogDebug(kTLCrashesLogTag, "EnableUncaughtExceptionHandler is set to YES");
  } else {
    TLLogDebug(kTLCrashesLogTag, "EnableUncaughtExceptionHandler is set to NO, we're running in a Xamarin runtime.");
  }
  CrashReporterSignalHandlerType signalHandlerType = CrashReporterSignalHandlerTypeBSD;
  if (isMachExceptionHandlerEnabled()) {
    signalHandlerType = CrashReporterSignalHandlerTypeMach;
    TLLogVerbose(kTLCrashesLogTag, "Enabled Mach exception handler.");
  }
  crashReporter_ = CrashReporter::initWithConfiguration(std::make_shared<CrashReporterConfig>(
      signalHandlerType, CrashReporterSymbolicationStrategyNone, enableUncaughtExceptionHandler));

  if (TLTelemetry::isDebuggerAttached()) {
    TLLogWarning(kTLCrashesLogTag, "Detecting crashes is NOT enabled due to running the app with a debugger attached.");
    return;
  }
  const foundation::UncaughtExceptionHandler initialHandler = foundation::NSGetUncaughtExceptionHandler();
  // After writing a report the engine writes the crash-time log buffer into its files.
  const CrashReporterCallbacks callbacks{0, nullptr, tl_crash_signal_callback};
  crashReporter_->setCrashCallbacks(&callbacks);
  foundation::Error error;
  if (!crashReporter_->enableCrashReporter(&error)) {
    TLLogError(kTLCrashesLogTag, "Could not enable crash reporter: %@", error.localizedDescription());
  }
  const foundation::UncaughtExceptionHandler currentHandler = foundation::NSGetUncaughtExceptionHandler();
  if (currentHandler != nullptr && currentHandler != initialHandler) {
    exceptionHandler_ = currentHandler;
    TLLogDebug(kTLCrashesLogTag, "Exception handler successfully initialized.");
  } else if (enableUncaughtExceptionHandler || currentHandler == nullptr) {
    TLLogError(kTLCrashesLogTag,
               "Exception handler could not be set. Make sure there is no other exception handler set up!");
  } else {
    // The wrapper SDK keeps its own handler, which the engine was told to leave in place.
    exceptionHandler_ = currentHandler;
    TLLogDebug(kTLCrashesLogTag,
               "Exception handler successfully initialized but it has not been registered due to the wrapper SDK.");
  }
  // One handler for the process, whichever service instance configures an engine.
  static std::once_flag cxxHandlerOnce;
  std::call_once(cxxHandlerOnce, [] {
    TLCrashesUncaughtCXXExceptionHandlerManager::addCXXExceptionHandler(TLCrashesReportUncaughtCXXException);
  });
}

// ---- Memory pressure -----------------------------------------------------------------------------

void TLCrashes::replaceMemoryPressureSource(std::shared_ptr<dispatch::MemoryPressureSource> source) {
  std::shared_ptr<dispatch::MemoryPressureSource> previous;
  {
    std::lock_guard lock(monitor_);
    previous = std::exchange(memoryPressureSource_, std::move(source));
  }
  // A replaced watch that kept running would report every event twice.
  if (previous) previous->cancel();
}

std::shared_ptr<dispatch::MemoryPressureSource> TLCrashes::memoryPressureSource() const {
  std::lock_guard lock(monitor_);
  return memoryPressureSource_;
}

void TLCrashes::didReceiveMemoryWarning(const void* /*notification*/) {
  TLLogDebug(kTLCrashesLogTag, "The application received a low memory warning in the last session.");
  TLUserDefaults::shared().setObject(foundation::Value(true), kTLAppDidReceiveMemoryWarningKey);
}

void TLCrashes::processMemoryWarningInLastSession() {
  if (!isInstanceEnabled()) return;
  didReceiveMemoryWarningInLastSession_ =
      TLUserDefaults::shared().objectForKey(kTLAppDidReceiveMemoryWarningKey).boolValue();
  if (didReceiveMemoryWarningInLastSession_) {
    TLLogDebug(kTLCrashesLogTag, "The application received a low memory warning in the last session.");
  }
  TLUserDefaults::shared().removeObjectForKey(kTLAppDidReceiveMemoryWarningKey);
}

void TLCrashes::clearContextHistoryAndKeepCurrentSession() {
  TLDeviceTracker::sharedInstance()->clearDevices();
  TLSessionContext::sharedInstance()->clearSessionHistoryAndKeepCurrentSession(true);
  TLUserIdContext::sharedInstance()->clearUserIdHistory();
}

// ---- State ---------------------------------------------------------------------------------------

std::shared_ptr<TLErrorReport> TLCrashes::getLastSessionCrashReport() const {
  std::lock_guard lock(monitor_);
  return lastSessionCrashReport_;
}

std::shared_ptr<CrashReporter> TLCrashes::crashReporter() const {
  std::lock_guard lock(monitor_);
  return crashReporter_;
}

std::vector<net::URL> TLCrashes::crashFiles() const {
  std::lock_guard lists(listsMutex_);
  return crashFiles_;
}

std::shared_ptr<TLCrashesDelegate> TLCrashes::delegate() const {
  std::lock_guard lock(monitor_);
  return delegate_.lock();
}

// ---- Take-over of the engine's report ------------------------------------------------------------

void TLCrashes::handleLatestCrashReport() {
  bool purge = true;
  if (TLUtility::fileExistsForPathComponent(analyzerInProgressFilePathComponent_)) {
    TLLogError(kTLCrashesLogTag, "Error on loading the crash report, it will be purged.");
  } else {
    createAnalyzerFile();
    foundation::Error error;
    const std::optional<foundation::Data> data = crashReporter_->loadPendingCrashReportData(&error);
    if (!data) {
      TLLogError(kTLCrashesLogTag, "Couldn't load crash report: %@", error.localizedDescription());
    } else if (const auto report = CrashReport::initWithData(*data, &error); !report) {
      TLLogWarning(kTLCrashesLogTag, "Couldn't parse crash report: %@", error.localizedDescription());
    } else if (!saveTakenOverReport(*data)) {
      // Purging now would lose the crash; the engine keeps it and the next launch tries again.
      purge = false;
      TLLogError(kTLCrashesLogTag, "Couldn't save the crash report; it stays with the crash reporter.");
    } else {
      const auto errorReport =
          TLErrorLogFormatter::errorReportFromLog(*TLErrorLogFormatter::errorLogFromCrashReport(*report));
      {
        std::lock_guard lock(monitor_);
        lastSessionCrashReport_ = errorReport;
      }
      TLWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport({errorReport});
    }
  }
  removeAnalyzerFile();
  if (purge) crashReporter_->purgePendingCrashReport();
}

std::optional<net::URL> TLCrashes::saveTakenOverReport(const foundation::Data& data) {
  const std::string stem =
      foundation::stringWithFormat("%.0f", foundation::Date::now().timeIntervalSinceReferenceDate());
  // Two take-overs in one second (a crash loop, or a report left over from an earlier failure)
  // must not share a file.
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string name = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
    const std::string component = crashesPathComponent_ + "/" + name;
    if (TLUtility::fileExistsForPathComponent(component)) continue;
    return TLUtility::createFileAtPathComponent(component, data, true, false);
  }
  return std::nullopt;
}

void TLCrashes::createAnalyzerFile() {
  if (!TLUtility::createFileAtPathComponent(analyzerInProgressFilePathComponent_, foundation::Data(), false, true)) {
    TLLogError(kTLCrashesLogTag, "Couldn't create crash analyzer file.");
  }
}

void TLCrashes::removeAnalyzerFile() {
  if (TLUtility::fileExistsForPathComponent(analyzerInProgressFilePathComponent_)) {
    TLUtility::deleteItemForPathComponent(analyzerInProgressFilePathComponent_);
  }
}

std::vector<net::URL> TLCrashes::persistedCrashReports() const {
  const auto contents =
      TLUtility::contentsOfDirectory(crashesPathComponent_, std::vector<std::string>{"NSURLFileSizeKey"});
  if (!contents) {
    TLLogError(kTLCrashesLogTag, "No persisted crashes found.");
    return {};
  }
  std::vector<net::URL> files;
  const auto& fileManager = foundation::FileManager::defaultManager();
  for (const net::URL& url : *contents) {
    const std::string name = url.lastPathComponent();
    const bool ignored = std::any_of(std::begin(kIgnoredSuffixes), std::end(kIgnoredSuffixes),
                                     [&](const char* suffix) { return foundation::hasSuffix(name, suffix); });
    if (ignored) continue;
    const auto attributes = fileManager.attributesOfItemAtPath(url.path());
    if (!attributes || attributes->type != foundation::FileType::Regular) continue;
    if (attributes->size == 0) {
      TLLogWarning(kTLCrashesLogTag, "Crash report found but it is empty, skipping it: %@", name);
      continue;
    }
    files.push_back(url);
  }
  return files;
}

void TLCrashes::deleteAllFromCrashesDirectory() {
  TLUtility::deleteItemForPathComponent(crashesPathComponent_);
  std::lock_guard lists(listsMutex_);
  crashFiles_.clear();
}

// ---- Processing ----------------------------------------------------------------------------------

void TLCrashes::startDelayedCrashProcessing() {
  {
    std::lock_guard lock(monitor_);
    // The run that is scheduled reads the crash files when it starts, so it covers these too.
    if (processingScheduled_) return;
    processingScheduled_ = true;
  }
  dispatch::globalQueue(dispatch::QualityOfService::Default)
      ->asyncAfter(kProcessingDelay, [self = shared_from_this()] {
        {
          std::lock_guard lock(self->monitor_);
          self->processingScheduled_ = false;
        }
        self->startCrashProcessing();
        std::lock_guard lock(self->monitor_);
        if (self->shouldReleaseProcessingSemaphore_) {
          self->delayedProcessingSemaphore_.signal();
          self->shouldReleaseProcessingSemaphore_ = false;
        }
      });
}

void TLCrashes::startCrashProcessing() {
  if (isAutomaticProcessingEnabled() && TLUtility::applicationState() == TLApplicationStateBackground) {
    TLLogWarning(kTLCrashesLogTag, "Crashes will not be processed because the application is in the background.");
    return;
  }
  TLLogDebug(kTLCrashesLogTag, "Start delayed CrashManager processing");
  foundation::UncaughtExceptionHandler ours = nullptr;
  {
    std::lock_guard lock(monitor_);
    ours = exceptionHandler_;
  }
  if (ours != nullptr && foundation::NSGetUncaughtExceptionHandler() != ours) {
    TLLogWarning(kTLCrashesLogTag,
                 "Another exception handler was added. If this invokes any kind of exit() after processing the "
                 "exception, which causes any subsequent error handler not to be invoked, these crashes will NOT be "
                 "reported to Telemetry!");
  }
  processCrashReports();
}

void TLCrashes::processCrashReports() {
  {
    std::lock_guard lists(listsMutex_);
    if (!isInstanceEnabled()) {
      TLLogDebug(kTLCrashesLogTag, "Crashes service is disabled; discard all crash reports");
      deleteAllFromCrashesDirectory();
      TLWrapperExceptionManager::deleteAllWrapperExceptions();
      return;
    }
    unprocessedLogs_.clear();
    unprocessedReports_.clear();
    unprocessedFilePaths_.clear();
    processingHasRun_ = true;

    struct Decoded {
      net::URL url;
      std::shared_ptr<TLAppleErrorLog> log;
      std::shared_ptr<TLErrorReport> errorReport;
    };
    std::vector<Decoded> decoded;
    const auto& fileManager = foundation::FileManager::defaultManager();
    for (const net::URL& url : crashFiles_) {
      const std::optional<foundation::Data> data = fileManager.contentsAtPath(url.path());
      if (!data || data->empty()) {
        TLLogWarning(kTLCrashesLogTag, "Crash report found but it is empty or unreadable, skipping it: %@",
                     url.lastPathComponent());
        continue;
      }
      foundation::Error error;
      const auto report = CrashReport::initWithData(*data, &error);
      if (!report) {
        TLLogWarning(kTLCrashesLogTag, "Crash report found but couldn't parse it, discard the crash report: %@",
                     error.localizedDescription());
        continue;
      }
      // The error report is made from the log itself so that both carry one error id, also for a
      // report without an id of its own (whose id is made up at each conversion).
      auto log = TLErrorLogFormatter::errorLogFromCrashReport(*report);
      auto errorReport = TLErrorLogFormatter::errorReportFromLog(*log);
      decoded.push_back({url, std::move(log), std::move(errorReport)});
    }

    // A wrapper SDK's exception saved just before the crash joins the report of its process. The
    // logs were made before that join, so the exception is given to them here.
    std::vector<std::shared_ptr<TLErrorReport>> errorReports;
    for (const Decoded& item : decoded) errorReports.push_back(item.errorReport);
    TLWrapperExceptionManager::correlateLastSavedWrapperExceptionToReport(errorReports);
    for (const Decoded& item : decoded) {
      if (item.log->exception || !item.errorReport->incidentIdentifier()) continue;
      const auto wrapper =
          TLWrapperExceptionManager::loadWrapperExceptionWithUUIDString(*item.errorReport->incidentIdentifier());
      if (wrapper) item.log->exception = wrapper->modelException;
    }

    for (const Decoded& item : decoded) {
      TLLogVerbose(kTLCrashesLogTag, "Crash reports found");
      // The file and the error id name the report in these lines.
      const auto describe = [&] {
        return item.url.lastPathComponent() + " (" + item.errorReport->incidentIdentifier().value_or("") + ")";
      };
      if (isAutomaticProcessingEnabled() && !shouldProcessErrorReport(item.errorReport)) {
        TLLogDebug(kTLCrashesLogTag, "shouldProcessErrorReport returned NO, discard the crash report: %@", describe());
        deleteWrapperException(*item.errorReport);
        discardCrashFile(item.url);
        continue;
      }
      if (isAutomaticProcessingEnabled()) {
        TLLogDebug(kTLCrashesLogTag,
                   "shouldProcessErrorReport is not implemented or returned YES, processing the crash report: %@",
                   describe());
      } else {
        TLLogDebug(kTLCrashesLogTag,
                   "Automatic crash processing is disabled, storing the crash report for later processing: %@",
                   describe());
      }
      unprocessedLogs_.push_back(item.log);
      unprocessedReports_.push_back(item.errorReport);
      unprocessedFilePaths_.push_back(item.url);
    }
  }
  // Outside the lock: the confirmation handler runs on the main thread, which may be waiting for
  // the lock to answer an earlier question.
  if (isAutomaticProcessingEnabled()) sendCrashReportsOrAwaitUserConfirmation();
}

bool TLCrashes::shouldProcessErrorReport(const std::shared_ptr<TLErrorReport>& errorReport) {
  const auto currentDelegate = delegate();
  return !currentDelegate || currentDelegate->crashesShouldProcessErrorReport(*this, errorReport);
}

bool TLCrashes::shouldAlwaysSend() {
  return TLUserDefaults::shared().objectForKey(kTLUserConfirmationKey).boolValue();
}

bool TLCrashes::sendCrashReportsOrAwaitUserConfirmation() {
  const bool alwaysSend = shouldAlwaysSend();
  {
    std::lock_guard lists(listsMutex_);
    if (unprocessedReports_.empty()) return alwaysSend;
  }
  if (alwaysSend) {
    TLLogDebug(kTLCrashesLogTag,
               "The flag for user confirmation is set to TLUserConfirmationAlways, continue sending logs");
    handleUserConfirmation(TLUserConfirmationSend);
    return alwaysSend;
  }
  bool hasHandler = false;
  {
    std::lock_guard lock(monitor_);
    hasHandler = static_cast<bool>(userConfirmationHandler_);
  }
  if (isAutomaticProcessingEnabled() && (!hasHandler || !userPromptedForConfirmation())) {
    TLLogDebug(kTLCrashesLogTag,
               "The user confirmation handler is not implemented or returned NO, continue sending logs");
    handleUserConfirmation(TLUserConfirmationSend);
  } else if (!isAutomaticProcessingEnabled()) {
    TLLogDebug(kTLCrashesLogTag,
               "Automatic crash processing is disabled and \"AlwaysSend\" is false. Awaiting user confirmation.");
  }
  return alwaysSend;
}

bool TLCrashes::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& incidentIdentifiers) {
  {
    std::lock_guard lists(listsMutex_);
    std::vector<std::shared_ptr<TLAppleErrorLog>> logs;
    std::vector<std::shared_ptr<TLErrorReport>> reports;
    std::vector<net::URL> files;
    for (std::size_t i = 0; i < unprocessedReports_.size(); ++i) {
      const auto& incidentIdentifier = unprocessedReports_[i]->incidentIdentifier();
      const bool kept = incidentIdentifier && std::find(incidentIdentifiers.begin(), incidentIdentifiers.end(),
                                                        *incidentIdentifier) != incidentIdentifiers.end();
      if (kept) {
        logs.push_back(unprocessedLogs_[i]);
        reports.push_back(unprocessedReports_[i]);
        files.push_back(unprocessedFilePaths_[i]);
      } else {
        deleteWrapperException(*unprocessedReports_[i]);
        discardCrashFile(unprocessedFilePaths_[i]);
      }
    }
    unprocessedLogs_ = std::move(logs);
    unprocessedReports_ = std::move(reports);
    unprocessedFilePaths_ = std::move(files);
  }
  return sendCrashReportsOrAwaitUserConfirmation();
}

bool TLCrashes::userPromptedForConfirmation() {
  TLUserConfirmationHandler handler;
  {
    std::lock_guard lock(monitor_);
    handler = userConfirmationHandler_;
  }
  std::vector<std::shared_ptr<TLErrorReport>> reports;
  {
    std::lock_guard lists(listsMutex_);
    reports = unprocessedReports_;
  }
  if (!handler) return false;
  if (dispatch::Queue::isMainThread()) return handler(reports);
  bool answer = false;
  dispatch::mainQueue()->sync([&] { answer = handler(reports); });
  return answer;
}

void TLCrashes::handleUserConfirmation(TLUserConfirmation userConfirmation) {
  std::lock_guard lists(listsMutex_);
  if (userConfirmation == TLUserConfirmationDontSend) {
    for (std::size_t i = 0; i < unprocessedFilePaths_.size(); ++i) {
      discardCrashFile(unprocessedFilePaths_[i]);
      deleteWrapperException(*unprocessedReports_[i]);
    }
    clearUnprocessedReports();
    clearContextHistoryAndKeepCurrentSession();
    return;
  }
  if (userConfirmation == TLUserConfirmationAlways) {
    TLUserDefaults::shared().setObject(foundation::Value(true), kTLUserConfirmationKey);
  }
  // Without a unit nothing could take the logs: the reports keep waiting, their files kept.
  const auto unit = channelUnit();
  if (!unit) return;
  const auto currentDelegate = delegate();
  for (std::size_t i = 0; i < unprocessedReports_.size(); ++i) {
    const auto& log = unprocessedLogs_[i];
    const auto& report = unprocessedReports_[i];
    // As the channel would complete it: a log it finds invalid it drops, and its crash file must
    // then stay for a later launch.
    if (!log->device()) log->setDevice(TLDeviceTracker::sharedInstance()->device());
    if (!log->timestamp()) log->setTimestamp(foundation::Date::now());
    if (!log->isValid()) {
      TLLogWarning(kTLCrashesLogTag, "The error log of the crash report is not valid; keeping the crash report: %@",
                   unprocessedFilePaths_[i].lastPathComponent());
      continue;
    }

    std::vector<std::shared_ptr<TLErrorAttachmentLog>> attachments;
    std::optional<std::vector<std::shared_ptr<TLErrorAttachmentLog>>> answered;
    if (currentDelegate) answered = currentDelegate->attachmentsWithCrashes(*this, report);
    if (answered) {
      attachments = std::move(*answered);
    } else {
      TLLogDebug(kTLCrashesLogTag, "attachmentsWithCrashes is not implemented");
    }

    // The session and the user of the crash time, not the current ones.
    log->setSid(TLSessionContext::sharedInstance()->sessionIdAt(*log->timestamp()));
    log->setUserId(TLUserIdContext::sharedInstance()->userIdAt(*log->timestamp()));
    unit->enqueueItem(log, TLFlagsCritical);
    sendErrorAttachmentsForIncident(attachments, report->incidentIdentifier().value_or(""));
    discardCrashFile(unprocessedFilePaths_[i]);
    deleteWrapperException(*report);
  }
  clearUnprocessedReports();
  clearContextHistoryAndKeepCurrentSession();
}

void TLCrashes::sendErrorAttachmentsForIncident(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                                const std::string& incidentIdentifier) {
  const auto unit = channelUnit();
  if (!unit) return;
  unsigned sent = 0;
  for (const auto& attachment : attachments) {
    if (!attachment) continue;
    attachment->errorId = incidentIdentifier;
    if (!validatePropertiesForAttachment(*attachment)) {
      TLLogError(kTLCrashesLogTag, "Not all required fields are present in TLErrorAttachmentLog.");
      continue;
    }
    unit->enqueueItem(attachment, TLFlagsNormal);
    ++sent;
  }
  if (sent > kMaxAttachmentsPerErrorReport) {
    TLLogWarning(kTLCrashesLogTag, "A limit of %u attachments per error report might be enforced by server.",
                 kMaxAttachmentsPerErrorReport);
  }
}

bool TLCrashes::validatePropertiesForAttachment(const TLErrorAttachmentLog& attachment) {
  const auto present = [](const std::optional<std::string>& text) { return text && !text->empty(); };
  return present(attachment.errorId) && present(attachment.attachmentId) && attachment.data &&
         !attachment.data->empty() && present(attachment.contentType);
}

std::vector<std::shared_ptr<TLErrorReport>> TLCrashes::unprocessedCrashReports() {
  delayedProcessingSemaphore_.wait();
  delayedProcessingSemaphore_.signal();
  std::lock_guard lists(listsMutex_);
  return unprocessedReports_;
}

void TLCrashes::clearUnprocessedReports() {
  std::lock_guard lists(listsMutex_);
  unprocessedLogs_.clear();
  unprocessedReports_.clear();
  unprocessedFilePaths_.clear();
}

void TLCrashes::deleteCrashReportWithFileURL(const net::URL& fileURL) { TLUtility::deleteFileAtURL(fileURL); }

void TLCrashes::forgetCrashFile(const net::URL& fileURL) {
  crashFiles_.erase(std::remove(crashFiles_.begin(), crashFiles_.end(), fileURL), crashFiles_.end());
}

void TLCrashes::discardCrashFile(const net::URL& fileURL) {
  deleteCrashReportWithFileURL(fileURL);
  forgetCrashFile(fileURL);
}

void TLCrashes::deleteWrapperException(const TLErrorReport& report) {
  if (report.incidentIdentifier()) {
    TLWrapperExceptionManager::deleteWrapperExceptionWithUUIDString(*report.incidentIdentifier());
  }
}

// ---- Crash-time log buffer -----------------------------------------------------------------------

void TLCrashes::setupLogBuffer() {
  TLCrashesLogBuffer::setupLogBuffer(logBufferPathComponent_, bufferFileQueue_, bufferFileGroup_);
}

void TLCrashes::processLogBufferAfterCrash() {
  const auto group = channelGroup();
  if (!group) return;
  auto unit = TLCrashesLogBuffer::processLogBufferAfterCrash(logBufferPathComponent_, *group, targetTokenEncrypter_);
  std::lock_guard lock(monitor_);
  bufferChannelUnit_ = std::move(unit);
}

void TLCrashes::emptyLogBufferFiles() { TLCrashesLogBuffer::emptyLogBufferFiles(logBufferPathComponent_); }

std::shared_ptr<TLChannelUnitProtocol> TLCrashes::bufferChannelUnit() const {
  std::lock_guard lock(monitor_);
  return bufferChannelUnit_;
}

void TLCrashes::channelDidPrepareLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log,
                                     const std::string& internalId, TLFlags /*flags*/) {
  if (!log || !isInstanceEnabled()) return;
  TLCrashesLogBuffer::bufferLog(log, internalId, targetTokenEncrypter_);
}

void TLCrashes::channelDidCompleteEnqueueingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log,
                                                const std::string& internalId) {
  TLCrashesLogBuffer::releaseLog(log, internalId);
}

// ---- Sending callbacks ---------------------------------------------------------------------------

void TLCrashes::notifyDelegateOfSending(const std::shared_ptr<TLLog>& log, const SendingCallback& call) {
  const auto crashLog = std::dynamic_pointer_cast<TLAppleErrorLog>(log);
  if (!crashLog) return;
  const auto currentDelegate = delegate();
  if (!currentDelegate) return;
  call(*currentDelegate, TLErrorLogFormatter::errorReportFromLog(*crashLog));
}

void TLCrashes::channelWillSendLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log) {
  notifyDelegateOfSending(log, [this](TLCrashesDelegate& delegate, const std::shared_ptr<TLErrorReport>& report) {
    delegate.crashesWillSendErrorReport(*this, report);
  });
}

void TLCrashes::channelDidSucceedSendingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log) {
  notifyDelegateOfSending(log, [this](TLCrashesDelegate& delegate, const std::shared_ptr<TLErrorReport>& report) {
    delegate.crashesDidSucceedSendingErrorReport(*this, report);
  });
}

void TLCrashes::channelDidFailSendingLog(TLChannelProtocol& /*channel*/, const std::shared_ptr<TLLog>& log,
                                         const std::optional<foundation::Error>& error) {
  notifyDelegateOfSending(log,
                          [this, &error](TLCrashesDelegate& delegate, const std::shared_ptr<TLErrorReport>& report) {
                            delegate.crashesDidFailSendingErrorReport(*this, report, error);
                          });
}
