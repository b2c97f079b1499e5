#pragma once
// Quality-of-service classes and the older global-queue priorities. On Linux they only pick which
// global queue a block goes to and are reported back; no thread priorities are changed.
namespace dispatch {

enum class QualityOfService {
  Unspecified,
  Background,
  Utility,
  Default,
  UserInitiated,
  UserInteractive,
};

// The global-queue priorities of the older interface: high 2, default 0, low -2, background.
enum class GlobalPriority : int {
  High = 2,
  Default = 0,
  Low = -2,
  Background = -32768,
};

// The quality of service that a global-queue priority stands for (high -> user initiated,
// default -> default, low -> utility, background -> background).
QualityOfService qualityOfServiceFor(GlobalPriority priority);

// A short lower-case name ("default", "utility", ...) used in queue labels and diagnostics.
const char* nameOf(QualityOfService qos);

}  // namespace dispatch
