#pragma once
// CrashReporterConfig says how a CrashReporter catches crashes (fatal signals, or exceptions
// through an exception server), which sources name the functions of a report's frames, and
// whether it installs the process's uncaught-exception handler. Immutable; safe to share and to
// read from any thread.
#include <cstdint>
#include <memory>

enum CrashReporterSignalHandlerType : std::uint64_t {
  CrashReporterSignalHandlerTypeBSD = 0,   // POSIX signal handlers
  CrashReporterSignalHandlerTypeMach = 1,  // an exception server, with a signal handler for abort
};

// Bits: where frame symbols come from.
enum CrashReporterSymbolicationStrategy : std::uint64_t {
  CrashReporterSymbolicationStrategyNone = 0,
  CrashReporterSymbolicationStrategySymbolTable = 1 << 0,
  CrashReporterSymbolicationStrategyObjC = 1 << 1,  // object-runtime class metadata
  CrashReporterSymbolicationStrategyAll = CrashReporterSymbolicationStrategySymbolTable |
                                          CrashReporterSymbolicationStrategyObjC,
};

class CrashReporterConfig {
 public:
  // BSD signals, no symbolication, uncaught-exception handler installed.
  static std::shared_ptr<const CrashReporterConfig> defaultConfiguration();

  CrashReporterConfig() = default;
  // The uncaught-exception handler is installed unless `shouldRegisterUncaughtExceptionHandler`
  // says otherwise. Any type other than the two above installs no crash handler at all.
  CrashReporterConfig(std::uint64_t signalHandlerType, std::uint64_t symbolicationStrategy,
                      bool shouldRegisterUncaughtExceptionHandler = true)
      : signalHandlerType_(signalHandlerType),
        symbolicationStrategy_(symbolicationStrategy),
        shouldRegisterUncaughtExceptionHandler_(shouldRegisterUncaughtExceptionHandler) {}

  std::uint64_t signalHandlerType() const { return signalHandlerType_; }
  std::uint64_t symbolicationStrategy() const { return symbolicationStrategy_; }
  bool shouldRegisterUncaughtExceptionHandler() const { return shouldRegisterUncaughtExceptionHandler_; }

 private:
  std::uint64_t signalHandlerType_ = CrashReporterSignalHandlerTypeBSD;
  std::uint64_t symbolicationStrategy_ = CrashReporterSymbolicationStrategyNone;
  bool shouldRegisterUncaughtExceptionHandler_ = true;
};
