#pragma once
// CrashReportFormatter is what every renderer of decoded crash reports offers: one report in,
// the rendered bytes out.
#include <optional>

#include "crash/engine/CrashReport.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

class CrashReportFormatter {
 public:
  virtual ~CrashReportFormatter() = default;

  // The rendered report; nullopt on failure, then setting `*error` when the formatter has an
  // error to give and `error` is not null. Thread-safety is that of the implementation.
  virtual std::optional<foundation::Data> formatReport(const CrashReport& report,
                                                       foundation::Error* error) const = 0;
};
