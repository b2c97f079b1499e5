#include "telemetry/crashes/TLWrapperCrashesHelper.h"

#include <mutex>

#include "telemetry/crashes/TLCrashes.h"

namespace {

std::mutex gMutex;
std::weak_ptr<TLCrashHandlerSetupDelegate> gSetupDelegate;

}  // namespace

void TLWrapperCrashesHelper::setCrashHandlerSetupDelegate(const std::shared_ptr<TLCrashHandlerSetupDelegate>& delegate) {
  std::lock_guard lock(gMutex);
  gSetupDelegate = delegate;
}

std::shared_ptr<TLCrashHandlerSetupDelegate> TLWrapperCrashesHelper::getCrashHandlerSetupDelegate() {
  std::lock_guard lock(gMutex);
  return gSetupDelegate.lock();
}

void TLWrapperCrashesHelper::setAutomaticProcessing(bool automaticProcessing) {
  TLCrashes::sharedInstance()->setAutomaticProcessingEnabled(automaticProcessing);
}

std::vector<std::shared_ptr<TLErrorReport>> TLWrapperCrashesHelper::unprocessedCrashReports() {
  return TLCrashes::sharedInstance()->unprocessedCrashReports();
}

bool TLWrapperCrashesHelper::sendCrashReportsOrAwaitUserConfirmationForFilteredIds(
    const std::vector<std::string>& incidentIdentifiers) {
  return TLCrashes::sharedInstance()->sendCrashReportsOrAwaitUserConfirmationForFilteredIds(incidentIdentifiers);
}

void TLWrapperCrashesHelper::sendErrorAttachments(const std::vector<std::shared_ptr<TLErrorAttachmentLog>>& attachments,
                                                  const std::string& incidentIdentifier) {
  TLCrashes::sendErrorAttachments(attachments, incidentIdentifier);
}
