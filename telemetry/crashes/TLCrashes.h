#pragma once
// TLCrashes is the crash-reporting service of the telemetry SDK. When it is enabled it configures
// the crash engine once per process (fatal signals or the exception bridge, and the
// uncaught-exception handler), watches memory pressure, and takes over the report the engine left
// behind at the last crash into its own "crashes" folder. One second later it turns every saved
// report into an "appleError" log, asks its delegate whether to send it and, unless told to wait
// for the user's answer, sends it at critical priority on its "Crashes" channel unit with any
// attachments, tagged with the session and user of the crash time. A report leaves the folder
// only once it was handed to the channel, or refused by the delegate or the user.
//
// Around that it keeps every log that a channel unit has prepared but not yet stored in a buffer
// that the crash path writes to files, and enqueues those logs again at the next start; hands
// uncaught C++ exceptions to the engine with the frames of their throw; joins the exceptions a
// wrapper SDK saved to the crash of their process; and sends the errors a wrapper SDK handled.
//
// Threads: the start and the enabled state are switched on the thread that starts the SDK (the
// main thread in the application); the memory-pressure handler runs on the main queue; the
// processing runs on the default global queue, one run at a time, and the user confirmation
// handler always on the main thread, so the main thread must not wait for the processing. The
// lists of reports waiting for the user are guarded by one lock, also against an answer that
// comes while a run is still going; the delegate's filter and attachments are asked under it, so
// they must not wait for the main thread. Channel callbacks come on the channel group's queue.
// The class operations are safe from any thread.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crash/engine/CrashReporter.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/MemoryPressureSource.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/Semaphore.h"
#include "platform/foundation/Exception.h"
#include "platform/foundation/Monitor.h"
#include "platform/net/URL.h"
#include "telemetry/core/Internals/Channel/TLChannelDelegate.h"
#include "telemetry/core/Internals/Channel/TLChannelGroupProtocol.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitConfiguration.h"
#include "telemetry/core/Internals/Channel/TLChannelUnitProtocol.h"
#include "telemetry/core/Internals/Util/TLEncrypter.h"
#include "telemetry/core/TLServiceAbstract.h"
#include "telemetry/crashes/Internals/Model/TLAppleErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLException.h"
#include "telemetry/crashes/TLCrashesDelegate.h"
#include "telemetry/crashes/TLErrorAttachmentLog.h"
#include "telemetry/crashes/TLErrorReport.h"

// The user's answer to the question whether to send the crash reports of earlier runs.
enum TLUserConfirmation : std::uint64_t {
  TLUserConfirmationDontSend = 0,
  TLUserConfirmationSend = 1,
  TLUserConfirmationAlways = 2,  // send, and from now on without asking
};

// Called on the main thread with the reports about to be sent. True: the application asks the
// user and answers later through TLCrashes::notifyWithUserConfirmation; false: send them now.
using TLUserConfirmationHandler = std::function<bool(const std::vector<std::shared_ptr<TLErrorReport>>& errorReports)>;

class TLCrashes : public TLServiceAbstract, public TLChannelDelegate, public std::enable_shared_from_this<TLCrashes> {
 public:
  // The settings keys of the service: a memory warning was seen in this run; the user chose to
  // always send.
  static constexpr const char* kTLAppDidReceiveMemoryWarningKey = "TLAppDidReceiveMemoryWarning";
  static constexpr const char* kTLUserConfirmationKey = "TLUserConfirmation";
  // The marker that exists while a report is being taken over from the engine.
  static constexpr const char* kTLAnalyzerFilename = "TLCrashes.analyzer";

  // ---- Identity ---------------------------------------------------------------------------------

  // "Crashes".
  static std::string serviceName();
  // "TelemetryCrashes".
  static std::string logTag();
  // "Crashes": the channel unit's group and the stem of the enabled-state key.
  std::string groupId() const override;
  // 999, so that the service starts before the others and takes over a crash report first.
  std::int64_t initializationPriority() const override { return 999; }
  // The settings of the "Crashes" channel unit: priority 2, flush interval 1 second, batches of
  // one log, at most 3 batches in flight.
  std::optional<TLChannelUnitConfiguration> channelUnitConfiguration() const override {
    return channelUnitConfiguration_;
  }

  // The one service of the process, made on the first call. Never null; thread-safe.
  static std::shared_ptr<TLCrashes> sharedInstance();
  // Drops the shared service, so that the next sharedInstance makes a fresh one. Thread-safe.
  static void resetSharedInstance();

  // Makes the "crashes" and "crasheslogbuffer" folders, a zero semaphore for the end of the
  // processing, and the unit's settings, and sets up the crash-time log buffer; the engine is
  // left for the first enable.
  TLCrashes();
  ~TLCrashes() override;
  TLCrashes(const TLCrashes&) = delete;
  TLCrashes& operator=(const TLCrashes&) = delete;

  // ---- What the application calls (each on the shared service) ---------------------------------

  // The service's persisted enabled state when the SDK is configured and the service started;
  // else false with an ERROR line.
  static bool isEnabled();
  // Enables or disables the service (see applyEnabledState) when it can be used and the SDK is
  // enabled; refused with an ERROR line otherwise.
  static void setEnabled(bool isEnabled);

  // Ends the process through the engine's crash path (an invalid-instruction trap) when the
  // service can be used; otherwise does nothing. Outside an application store only.
  static void generateTestCrash();
  // Whether the engine held a report of the last run when the service was enabled.
  static bool hasCrashedInLastSession();
  // Whether the last run saw memory pressure (reported only while the service is enabled at start).
  static bool hasReceivedMemoryWarningInLastSession();
  // The report of the last run's crash; null when there was none. Shared.
  static std::shared_ptr<TLErrorReport> lastSessionCrashReport();
  // Makes the engine catch crashes by fatal signals instead of the exception bridge; counts only
  // before the first enable of the process.
  static void disableMachExceptionHandler();
  // The delegate, held weakly (null removes it).
  static void setDelegate(const std::shared_ptr<TLCrashesDelegate>& delegate);
  // The handler asked before reports are sent (empty removes it).
  static void setUserConfirmationHandler(TLUserConfirmationHandler userConfirmationHandler);
  // The user's answer for the reports waiting: 0 deletes them, 1 sends them, 2 sends them and
  // sends later ones without asking. Refused with an ERROR line before any processing when no
  // handler is set. Runs on the calling thread; waits for a processing run in progress.
  static void notifyWithUserConfirmation(TLUserConfirmation userConfirmation);
  // Sends `attachments` as belonging to the error `incidentIdentifier`; see the instance method.
  static void sendErrorAttachments(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                   const std::string& incidentIdentifier);
  // Sends a "handledError" log of `exception` (a wrapper SDK's handled error) with a new error id,
  // the current user id and `properties` (validated: at most 20, keys and values cut to 125
  // characters; none when empty), at normal priority on the "Crashes" unit. Nothing when the
  // service cannot be used (an ERROR line) or is disabled.
  static void trackModelException(const std::shared_ptr<TLException>& exception,
                                  const std::optional<foundation::Dictionary>& properties = std::nullopt);

  // ---- What the SDK calls -----------------------------------------------------------------------

  // Starts as every service starts (the "Crashes" unit, and the enabled state applied when
  // enabled; see applyEnabledState), then becomes a delegate of the group and reads the memory
  // warning of the last run.
  void startWithChannelGroup(const std::shared_ptr<TLChannelGroupProtocol>& channelGroup,
                             const std::optional<std::string>& appSecret,
                             const std::optional<std::string>& transmissionTargetToken, bool fromApplication) override;
  // Enqueues the logs the last crash left in the buffer files again, then updates as every
  // service does.
  void updateConfigurationWithAppSecret(const std::optional<std::string>& appSecret,
                                        const std::optional<std::string>& transmissionTargetToken) override;
  // Enabling switches the unit on, configures the engine (first time only), replaces the
  // memory-pressure watch, purges a report the engine wrote while the service was off, takes
  // over the engine's report and schedules the processing of the saved reports. Disabling
  // switches the unit off deleting its logs, stops the watch and deletes every crash file, the
  // marker, the engine's report, the waiting lists, the context histories and the memory-warning
  // key, the wrapper exceptions and the contents of the buffer files; the engine's handlers stay
  // installed.
  void applyEnabledState(bool isEnabled) override;
  // trackModelException on this service, holding its lock.
  void trackModelExceptionWithProperties(const std::shared_ptr<TLException>& exception,
                                         const std::optional<foundation::Dictionary>& properties);

  // ---- The crash-time log buffer ------------------------------------------------------------------

  // Points the buffer's slots at their files (created, when missing, on the high-priority global
  // queue within bufferFileGroup()) and empties them.
  void setupLogBuffer();
  // Adds a new "CrashesBuffer" unit to the group and enqueues on it the logs the last crash left
  // in the buffer files, with their target tokens; the files are emptied. Runs at every start and
  // reconfiguration, enabled or not.
  void processLogBufferAfterCrash();
  // Empties the buffer files (on disable); the slots keep their logs.
  void emptyLogBufferFiles();
  // The latest "CrashesBuffer" unit; null before the first start.
  std::shared_ptr<TLChannelUnitProtocol> bufferChannelUnit() const;
  // The writes that create the buffer files.
  const std::shared_ptr<dispatch::Group>& bufferFileGroup() const { return bufferFileGroup_; }

  // ---- Processing of the reports of earlier runs ---------------------------------------------

  // Copies the engine's waiting report into "crashes" under a name not yet taken and remembers
  // its error report; the engine's copy is purged once it is saved, or when it cannot be read or
  // decoded, or when the marker shows that the last attempt died. A report whose copy cannot be
  // written stays with the engine for the next launch.
  void handleLatestCrashReport();
  // The crash files of "crashes": regular files of more than 0 bytes, in name order, but for the
  // marker and the system's and property-list files. Empty, with an ERROR line, when the folder
  // cannot be listed.
  std::vector<net::URL> persistedCrashReports() const;
  // Schedules startCrashProcessing one second from now on the default global queue, unless a run
  // is already scheduled and has not started.
  void startDelayedCrashProcessing();
  // Processes the saved reports unless the application is in the background.
  void startCrashProcessing();
  // Decodes every crash file, drops what the delegate refuses, fills the waiting lists and (with
  // automatic processing) sends or asks. A file that cannot be decoded, or is empty, stays.
  void processCrashReports();
  // The delegate's answer for `errorReport`, true without a delegate.
  bool shouldProcessErrorReport(const std::shared_ptr<TLErrorReport>& errorReport);
  // Sends the waiting reports now (the user chose "always", or no handler asks), or leaves them
  // waiting for the user's answer. Answers whether "always" was chosen.
  bool sendCrashReportsOrAwaitUserConfirmation();
  // Keeps, among the waiting reports, those whose incident identifier is in `incidentIdentifiers`
  // and deletes the others' files; then as sendCrashReportsOrAwaitUserConfirmation.
  bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& incidentIdentifiers);
  // Runs the user confirmation handler with the waiting reports, on the main thread (waiting for
  // it from another thread), and answers what it answers.
  bool userPromptedForConfirmation();
  // Carries out the user's answer for the waiting reports (see notifyWithUserConfirmation). A
  // report whose error log is not valid is neither sent nor deleted.
  void handleUserConfirmation(TLUserConfirmation userConfirmation);
  // Gives each attachment the error id and enqueues it at normal priority when its error id,
  // attachment id, data and content type are all present and not empty; drops it with an ERROR
  // line otherwise. More than 2 are all sent, with a WARNING that the server may cut them.
  void sendErrorAttachmentsForIncident(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                       const std::string& incidentIdentifier);
  // Whether an attachment holds what the ingestion requires (see sendErrorAttachmentsForIncident).
  static bool validatePropertiesForAttachment(const TLErrorAttachmentLog& attachment);
  // The reports waiting for the user, once the first processing of this process has finished
  // (waits for it without limit; never call it on the main thread while a handler is set).
  std::vector<std::shared_ptr<TLErrorReport>> unprocessedCrashReports();
  // Empties the waiting lists.
  void clearUnprocessedReports();
  // Deletes a crash file.
  void deleteCrashReportWithFileURL(const net::URL& fileURL);
  // Whether the user chose to always send.
  static bool shouldAlwaysSend();

  // ---- Memory pressure --------------------------------------------------------------------------

  // Records that this run saw memory pressure (argument unused).
  void didReceiveMemoryWarning(const void* notification);
  // Reads and forgets the memory warning of the last run, while the service is enabled.
  void processMemoryWarningInLastSession();
  // The current watch, or null while disabled.
  std::shared_ptr<dispatch::MemoryPressureSource> memoryPressureSource() const;

  // ---- State --------------------------------------------------------------------------------------

  bool didCrashInLastSession() const { return didCrashInLastSession_; }
  bool didReceiveMemoryWarningInLastSession() const { return didReceiveMemoryWarningInLastSession_; }
  std::shared_ptr<TLErrorReport> getLastSessionCrashReport() const;
  bool isMachExceptionHandlerEnabled() const { return enableMachExceptionHandler_; }
  bool isAutomaticProcessingEnabled() const { return automaticProcessingEnabled_; }
  void setAutomaticProcessingEnabled(bool enabled) { automaticProcessingEnabled_ = enabled; }
  // The engine, once the service has been enabled; shared.
  std::shared_ptr<CrashReporter> crashReporter() const;
  // The crash files still to be dealt with.
  std::vector<net::URL> crashFiles() const;

  // ---- TLChannelDelegate ---------------------------------------------------------------------------

  // While enabled, keeps each prepared log (crash logs and attachments excepted) in the buffer,
  // on the enqueuing thread.
  void channelDidPrepareLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                            const std::string& internalId, TLFlags flags) override;
  // Takes the log out of the buffer once its unit has stored or dropped it.
  void channelDidCompleteEnqueueingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                       const std::string& internalId) override;
  // The delegate hears of the sending of crash logs.

  void channelWillSendLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidSucceedSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log) override;
  void channelDidFailSendingLog(TLChannelProtocol& channel, const std::shared_ptr<TLLog>& log,
                                const std::optional<foundation::Error>& error) override;

 private:
  void configureCrashReporterWithUncaughtExceptionHandlerEnabled(bool enableUncaughtExceptionHandler);
  void replaceMemoryPressureSource(std::shared_ptr<dispatch::MemoryPressureSource> source);
  void clearContextHistoryAndKeepCurrentSession();
  void deleteAllFromCrashesDirectory();
  void createAnalyzerFile();
  void removeAnalyzerFile();
  // Saves a taken-over report under the first free name of its take-over second; its URL, or
  // nothing when it could not be written.
  std::optional<net::URL> saveTakenOverReport(const foundation::Data& data);
  // Removes `fileURL` from crashFiles_; call holding listsMutex_.
  void forgetCrashFile(const net::URL& fileURL);
  // Deletes the crash file of a waiting report and forgets it; call holding listsMutex_.
  void discardCrashFile(const net::URL& fileURL);
  // Deletes the file of the wrapper SDK's exception joined to `report`, if any.
  static void deleteWrapperException(const TLErrorReport& report);
  std::shared_ptr<TLCrashesDelegate> delegate() const;
  // Tells the delegate about the sending of `log` when it is a crash log.
  using SendingCallback = std::function<void(TLCrashesDelegate&, const std::shared_ptr<TLErrorReport>&)>;
  void notifyDelegateOfSending(const std::shared_ptr<TLLog>& log, const SendingCallback& call);

  // The service's own lock: the flags and fields below that the class operations and the delayed
  // block read.
  mutable foundation::Monitor monitor_;
  // Guards crashFiles_ and the three waiting lists; held by a whole processing pass and by the
  // handling of an answer, so that they never interleave; never held while the main thread is
  // waited for.
  mutable std::recursive_mutex listsMutex_;

  std::atomic<bool> didCrashInLastSession_{false};
  std::atomic<bool> didReceiveMemoryWarningInLastSession_{false};
  bool shouldReleaseProcessingSemaphore_ = true;
  bool processingScheduled_ = false;
  std::atomic<bool> enableMachExceptionHandler_{true};
  std::atomic<bool> automaticProcessingEnabled_{true};
  std::weak_ptr<TLCrashesDelegate> delegate_;
  TLChannelUnitConfiguration channelUnitConfiguration_;
  std::shared_ptr<TLErrorReport> lastSessionCrashReport_;
  dispatch::Semaphore delayedProcessingSemaphore_{0};
  std::shared_ptr<dispatch::MemoryPressureSource> memoryPressureSource_;
  std::vector<net::URL> crashFiles_;
  std::string crashesPathComponent_;
  std::string logBufferPathComponent_;
  const TLEncrypter targetTokenEncrypter_;
  std::shared_ptr<dispatch::Queue> bufferFileQueue_;
  std::shared_ptr<dispatch::Group> bufferFileGroup_;
  std::shared_ptr<TLChannelUnitProtocol> bufferChannelUnit_;  // guarded by monitor_
  std::string analyzerInProgressFilePathComponent_;
  std::shared_ptr<CrashReporter> crashReporter_;
  foundation::UncaughtExceptionHandler exceptionHandler_ = nullptr;
  bool processingHasRun_ = false;  // the waiting lists have been filled once in this process
  std::vector<std::shared_ptr<TLAppleErrorLog>> unprocessedLogs_;
  std::vector<std::shared_ptr<TLErrorReport>> unprocessedReports_;
  std::vector<net::URL> unprocessedFilePaths_;
  TLUserConfirmationHandler userConfirmationHandler_;
};
