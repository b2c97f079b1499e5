#include "net/pipeline/Timeline.h"

#include <cstdio>
#include <vector>

namespace pipeline {
namespace {

std::string seconds(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return buffer;
}

std::string framed(const std::vector<std::string>& items) {
  std::string out = "Timeline: { ";
  for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out + " }";
}

}  // namespace

Timeline::Timeline(double requestStartTime, double initialResponseTime, double requestCompletedTime,
                   double serializationCompletedTime)
    : requestStartTime_(requestStartTime),
      initialResponseTime_(initialResponseTime),
      requestCompletedTime_(requestCompletedTime),
      serializationCompletedTime_(serializationCompletedTime),
      latency_(initialResponseTime - requestStartTime),
      requestDuration_(requestCompletedTime - requestStartTime),
      serializationDuration_(serializationCompletedTime - requestCompletedTime),
      totalDuration_(serializationCompletedTime - requestStartTime) {}

std::string Timeline::description() const {
  return framed({
      "\"Latency\": " + seconds(latency_) + " secs",
      "\"Request Duration\": " + seconds(requestDuration_) + " secs",
      "\"Serialization Duration\": " + seconds(serializationDuration_) + " secs",
      "\"Total Duration\": " + seconds(totalDuration_) + " secs",
  });
}

std::string Timeline::debugDescription() const {
  return framed({
      "\"Request Start Time\": " + seconds(requestStartTime_),
      "\"Initial Response Time\": " + seconds(initialResponseTime_),
      "\"Request Completed Time\": " + seconds(requestCompletedTime_),
      "\"Serialization Completed Time\": " + seconds(serializationCompletedTime_),
      "\"Latency\": " + seconds(latency_) + " secs",
      "\"Request Duration\": " + seconds(requestDuration_) + " secs",
      "\"Serialization Duration\": " + seconds(serializationDuration_) + " secs",
      "\"Total Duration\": " + seconds(totalDuration_) + " secs",
  });
}

}  // namespace pipeline
