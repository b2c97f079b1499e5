#pragma once
// TLWrapperCrashesHelper is the crash service's entry for a wrapper SDK: it holds the wrapper's
// crash-handler setup delegate and lets the wrapper drive the processing of crash reports itself
// (automatic processing off, then choose which reports to send and attach files to them). Every
// operation is class-level, reaches the shared crash service, and is safe from any thread.
#include <memory>
#include <string>
#include <vector>

#include "telemetry/crashes/TLCrashHandlerSetupDelegate.h"
#include "telemetry/crashes/TLErrorAttachmentLog.h"
#include "telemetry/crashes/TLErrorReport.h"

class TLWrapperCrashesHelper {
 public:
  TLWrapperCrashesHelper() = delete;

  // Keeps `delegate` weakly (null removes it); the crash service asks it when it first enables.
  static void setCrashHandlerSetupDelegate(const std::shared_ptr<TLCrashHandlerSetupDelegate>& delegate);
  // The delegate, or null when none is set or it has gone.
  static std::shared_ptr<TLCrashHandlerSetupDelegate> getCrashHandlerSetupDelegate();

  // Turns the crash service's automatic processing on or off. Off, processed reports wait for
  // sendCrashReportsOrAwaitUserConfirmationForFilteredIds; the delayed processing reads the flag
  // one second after the service is enabled.
  static void setAutomaticProcessing(bool automaticProcessing);
  // The reports of earlier runs waiting to be sent, once this launch's processing has finished
  // (waits for it without limit). Shared with the service.
  static std::vector<std::shared_ptr<TLErrorReport>> unprocessedCrashReports();
  // Keeps the waiting reports whose incident identifier is listed, deletes the others, and sends
  // or asks the user about the rest. Answers whether the user chose to always send.
  static bool sendCrashReportsOrAwaitUserConfirmationForFilteredIds(const std::vector<std::string>& incidentIdentifiers);
  // Sends `attachments` as belonging to the error `incidentIdentifier`.
  static void sendErrorAttachments(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                   const std::string& incidentIdentifier);
};
