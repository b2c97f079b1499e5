#pragma once
// TLAnalyticsDelegate is the application's view of its analytics logs on their way out: it hears
// when an event or page log is about to be sent, was sent, or failed. Every operation is optional.
// All run on the channel group's serial queue.
#include <memory>
#include <optional>

#include "platform/foundation/Error.h"
#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/Model/TLPageLog.h"

class TLAnalytics;

class TLAnalyticsDelegate {
 public:
  virtual ~TLAnalyticsDelegate() = default;

  virtual void analyticsWillSendEventLog(TLAnalytics& /*analytics*/, const std::shared_ptr<TLEventLog>& /*eventLog*/) {}
  virtual void analyticsDidSucceedSendingEventLog(TLAnalytics& /*analytics*/,
                                                  const std::shared_ptr<TLEventLog>& /*eventLog*/) {}
  virtual void analyticsDidFailSendingEventLog(TLAnalytics& /*analytics*/, const std::shared_ptr<TLEventLog>& /*eventLog*/,
                                               const std::optional<foundation::Error>& /*error*/) {}
  virtual void analyticsWillSendPageLog(TLAnalytics& /*analytics*/, const std::shared_ptr<TLPageLog>& /*pageLog*/) {}
  virtual void analyticsDidSucceedSendingPageLog(TLAnalytics& /*analytics*/,
                                                 const std::shared_ptr<TLPageLog>& /*pageLog*/) {}
  virtual void analyticsDidFailSendingPageLog(TLAnalytics& /*analytics*/, const std::shared_ptr<TLPageLog>& /*pageLog*/,
                                              const std::optional<foundation::Error>& /*error*/) {}
};
