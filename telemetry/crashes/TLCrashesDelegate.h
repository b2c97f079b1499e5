#pragma once
// TLCrashesDelegate is how the application takes part in sending the crashes of earlier runs: it
// may refuse a report, attach files to it, and hear when its error log is sent, delivered or
// failed. Every operation is optional; the defaults say what happens when the application leaves
// one out. The service holds its delegate weakly.
//
// shouldProcessErrorReport and attachmentsWithCrashes are asked on the service's processing
// thread (a global queue) or, for reports the user confirmed later, on the confirming thread;
// the three sending callbacks come on the channel group's serial queue.
#include <memory>
#include <optional>
#include <vector>

#include "platform/foundation/Error.h"
#include "telemetry/crashes/TLErrorAttachmentLog.h"
#include "telemetry/crashes/TLErrorReport.h"

class TLCrashes;

class TLCrashesDelegate {
 public:
  virtual ~TLCrashesDelegate() = default;

  // False drops the report: its crash file is deleted and nothing is sent. Default: true.
  virtual bool crashesShouldProcessErrorReport(TLCrashes& /*crashes*/,
                                               const std::shared_ptr<TLErrorReport>& /*errorReport*/) {
    return true;
  }
  // The attachments to send with the report's error log; the service sets their error id.
  // Nothing (the default) means the application does not attach anything.
  virtual std::optional<std::vector<std::shared_ptr<TLErrorAttachmentLog>>> attachmentsWithCrashes(
      TLCrashes& /*crashes*/, const std::shared_ptr<TLErrorReport>& /*errorReport*/) {
    return std::nullopt;
  }
  // The report's error log is about to be sent.
  virtual void crashesWillSendErrorReport(TLCrashes& /*crashes*/,
                                          const std::shared_ptr<TLErrorReport>& /*errorReport*/) {}
  // The ingestion accepted the report's error log.
  virtual void crashesDidSucceedSendingErrorReport(TLCrashes& /*crashes*/,
                                                   const std::shared_ptr<TLErrorReport>& /*errorReport*/) {}
  // The report's error log could not be sent, or was dropped; `error` says why when known.
  virtual void crashesDidFailSendingErrorReport(TLCrashes& /*crashes*/,
                                                const std::shared_ptr<TLErrorReport>& /*errorReport*/,
                                                const std::optional<foundation::Error>& /*error*/) {}
};
