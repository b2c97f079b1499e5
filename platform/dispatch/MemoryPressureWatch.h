#pragma once
// MemoryPressureWatch is the Linux side of the memory-pressure sources: one thread per process
// that watches the kernel's memory pressure and reports each change of level through
// MemoryPressureSource::post. It starts when the first memory-pressure source is resumed and
// then runs, mostly asleep in poll(), until the process ends.
//
// Where the kernel allows it, it arms two pressure-stall triggers on /proc/pressure/memory and
// waits for them with poll(): tasks stalled on memory for 10% of a 2-second window ("some")
// raise the level to warning, all tasks stalled for 5% of it ("full") to critical, and 10
// seconds without a trigger bring it back to normal. Elsewhere (no PSI, or triggers refused)
// it reads MemAvailable in /proc/meminfo every 2 seconds: below 10% of MemTotal is warning,
// below 5% critical. Only changes of level are posted.
//
// Every function is thread-safe.
#include <chrono>
#include <cstdint>
#include <string>

namespace dispatch {

class MemoryPressureWatch {
 public:
  struct Options {
    std::string pressurePath = "/proc/pressure/memory";
    std::string meminfoPath = "/proc/meminfo";
    std::chrono::milliseconds pollInterval{2000};
    std::chrono::milliseconds quietPeriod{10000};
  };
  enum class Mode { Stopped, PressureStall, Polling };

  // Starts the watch with `options` (paths and periods may be pointed elsewhere by tests),
  // replacing a running one. The mode it settled on is mode() once this returns.
  static void start(const Options& options);
  // Starts the watch with the system's paths unless it is running already.
  static void ensureStarted();
  // Stops the watch and waits for its thread; harmless when stopped.
  static void stop();
  static Mode mode();

  // The level (MemoryPressureSource's bits) after a wait on the triggers that ended with the
  // warning and/or critical trigger fired, or with neither; `quiet` when none has fired for the
  // quiet period. A warning does not lower a critical level.
  static std::uint64_t levelAfterTriggers(std::uint64_t level, bool warning, bool critical, bool quiet);
  // The level that `meminfo` text shows, by the rule above;
  // normal when it lacks MemTotal or MemAvailable.
  static std::uint64_t levelFromMeminfo(const std::string& meminfo);
};

}  // namespace dispatch
