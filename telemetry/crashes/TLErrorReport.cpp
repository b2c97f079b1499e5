#include "telemetry/crashes/TLErrorReport.h"

#include "platform/foundation/String.h"

TLErrorReport::TLErrorReport(std::optional<std::string> incidentIdentifier, std::optional<std::string> reporterKey,
                             std::optional<std::string> signal, std::optional<std::string> exceptionName,
                             std::optional<std::string> exceptionReason, std::optional<foundation::Date> appStartTime,
                             std::optional<foundation::Date> appErrorTime, std::shared_ptr<TLDevice> device,
                             std::uint64_t appProcessIdentifier)
    : incidentIdentifier_(std::move(incidentIdentifier)),
      reporterKey_(std::move(reporterKey)),
      signal_(std::move(signal)),
      exceptionName_(std::move(exceptionName)),
      exceptionReason_(std::move(exceptionReason)),
      appStartTime_(appStartTime),
      appErrorTime_(appErrorTime),
      device_(std::move(device)),
      appProcessIdentifier_(appProcessIdentifier) {}

bool TLErrorReport::isAppKill() const { return signal_ && foundation::uppercase(*signal_) == "SIGKILL"; }
