#pragma once
// TLErrorReport is what the crash service tells its delegate about a crash of an earlier run:
// the error's id, the installation that reports it, the signal and uncaught exception, when the
// process started and crashed, the device of that time and the process id. Made once with every
// value; only the signal may change later. Not safe to change from two threads at once.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "telemetry/core/Internals/Model/TLDevice.h"

class TLErrorReport {
 public:
  TLErrorReport(std::optional<std::string> incidentIdentifier, std::optional<std::string> reporterKey,
                std::optional<std::string> signal, std::optional<std::string> exceptionName,
                std::optional<std::string> exceptionReason, std::optional<foundation::Date> appStartTime,
                std::optional<foundation::Date> appErrorTime, std::shared_ptr<TLDevice> device,
                std::uint64_t appProcessIdentifier);

  // The error log's id.
  const std::optional<std::string>& incidentIdentifier() const { return incidentIdentifier_; }
  // The installation id's text; "" when there is none.
  const std::optional<std::string>& reporterKey() const { return reporterKey_; }
  const std::optional<std::string>& signal() const { return signal_; }
  void setSignal(std::optional<std::string> signal) { signal_ = std::move(signal); }
  const std::optional<std::string>& exceptionName() const { return exceptionName_; }
  const std::optional<std::string>& exceptionReason() const { return exceptionReason_; }
  const std::optional<foundation::Date>& appStartTime() const { return appStartTime_; }
  const std::optional<foundation::Date>& appErrorTime() const { return appErrorTime_; }
  // Shared with the logs of that time.
  const std::shared_ptr<TLDevice>& device() const { return device_; }
  std::uint64_t appProcessIdentifier() const { return appProcessIdentifier_; }

  // Whether the signal is SIGKILL, in any case; false without a signal.
  bool isAppKill() const;

 private:
  std::optional<std::string> incidentIdentifier_;
  std::optional<std::string> reporterKey_;
  std::optional<std::string> signal_;
  std::optional<std::string> exceptionName_;
  std::optional<std::string> exceptionReason_;
  std::optional<foundation::Date> appStartTime_;
  std::optional<foundation::Date> appErrorTime_;
  std::shared_ptr<TLDevice> device_;
  std::uint64_t appProcessIdentifier_;
};
