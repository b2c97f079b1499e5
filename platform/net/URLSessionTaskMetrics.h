#pragma once
// URLSessionTaskMetrics stands in for the platform's task metrics: when a task ran, how many
// redirects it followed, and one transaction record per request it sent (fetch start, the
// connection phases and the response end). Delivered to the delegate before completion; immutable.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

namespace net {

// The platform's date interval: a start and a duration in seconds.
struct DateInterval {
  foundation::Date start;
  double duration = 0;
  foundation::Date end() const { return start.addingTimeInterval(duration); }
};

struct URLSessionTaskTransactionMetrics {
  URLRequest request;
  std::shared_ptr<const URLResponse> response;
  foundation::Date fetchStartDate;
  std::optional<foundation::Date> domainLookupStartDate;
  std::optional<foundation::Date> domainLookupEndDate;
  std::optional<foundation::Date> connectStartDate;
  std::optional<foundation::Date> secureConnectionStartDate;
  std::optional<foundation::Date> secureConnectionEndDate;
  std::optional<foundation::Date> connectEndDate;
  std::optional<foundation::Date> requestStartDate;
  std::optional<foundation::Date> requestEndDate;
  std::optional<foundation::Date> responseStartDate;
  std::optional<foundation::Date> responseEndDate;
  std::optional<std::string> networkProtocolName;  // "http/1.1", "h2"
  bool isReusedConnection = false;
};

class URLSessionTaskMetrics : public foundation::Object {
 public:
  std::vector<URLSessionTaskTransactionMetrics> transactionMetrics;
  DateInterval taskInterval;
  unsigned long redirectCount = 0;

  std::string description() const override;
};

}  // namespace net
