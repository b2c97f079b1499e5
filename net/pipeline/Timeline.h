#pragma once
// Timeline records when a request started, when its first response arrived, when it completed
// and when its response was serialized (absolute times in seconds), with the four durations
// derived from them once, at construction. Nothing is clamped: a serialization that ends before
// the recorded completion gives a negative duration. A plain immutable value.
#include <string>

namespace pipeline {

class Timeline {
 public:
  // Every time 0 when omitted; the durations are computed here.
  explicit Timeline(double requestStartTime = 0.0, double initialResponseTime = 0.0,
                    double requestCompletedTime = 0.0, double serializationCompletedTime = 0.0);

  double requestStartTime() const { return requestStartTime_; }
  double initialResponseTime() const { return initialResponseTime_; }
  double requestCompletedTime() const { return requestCompletedTime_; }
  double serializationCompletedTime() const { return serializationCompletedTime_; }
  // initialResponseTime - requestStartTime.
  double latency() const { return latency_; }
  // requestCompletedTime - requestStartTime.
  double requestDuration() const { return requestDuration_; }
  // serializationCompletedTime - requestCompletedTime.
  double serializationDuration() const { return serializationDuration_; }
  // serializationCompletedTime - requestStartTime.
  double totalDuration() const { return totalDuration_; }

  // "Timeline: { \"Latency\": 0.500 secs, ... }": the four durations, three decimals each.
  std::string description() const;
  // The four times without unit, then the four durations, in the same frame.
  std::string debugDescription() const;

 private:
  double requestStartTime_;
  double initialResponseTime_;
  double requestCompletedTime_;
  double serializationCompletedTime_;
  double latency_;
  double requestDuration_;
  double serializationDuration_;
  double totalDuration_;
};

}  // namespace pipeline
