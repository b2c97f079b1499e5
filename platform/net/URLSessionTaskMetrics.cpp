#include "platform/net/URLSessionTaskMetrics.h"

namespace net {

std::string URLSessionTaskMetrics::description() const {
  return "<URLSessionTaskMetrics: " + std::to_string(transactionMetrics.size()) + " transactions, " +
         std::to_string(redirectCount) + " redirects, " + std::to_string(taskInterval.duration) + " s>";
}

}  // namespace net
