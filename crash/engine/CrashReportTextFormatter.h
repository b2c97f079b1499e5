#pragma once
// CrashReportTextFormatter renders a decoded crash report as a plain-text crash log ("Report
// Version:  104"): a header about the process and the crash, the uncaught exception if any, the
// threads' call stacks, the crashed thread's registers and the loaded images. Immutable once
// made; safe to use from any thread.
#include <cstdint>
#include <optional>
#include <string>

#include "crash/engine/CrashReport.h"
#include "crash/engine/CrashReportFormatter.h"
#include "platform/foundation/StringEncoding.h"

// The text layouts; one is defined.
enum class CrashReportTextFormat : std::int32_t {
  Standard = 0,
};

class CrashReportTextFormatter : public CrashReportFormatter {
 public:
  CrashReportTextFormatter(CrashReportTextFormat textFormat, foundation::StringEncoding stringEncoding)
      : textFormat_(textFormat), stringEncoding_(stringEncoding) {}

  // The text of stringValueForCrashReport in this formatter's encoding, characters it cannot
  // hold replaced. nullopt only when the encoding is not one the platform layer provides;
  // `error` is never set.
  std::optional<foundation::Data> formatReport(const CrashReport& report,
                                               foundation::Error* error) const override;

  // The whole crash log as text; every value the report lacks shows as "???". Never fails.
  static std::string stringValueForCrashReport(const CrashReport& report, CrashReportTextFormat textFormat);

  // One line of a call stack, ending in "\n": the frame's index, the file name of its image,
  // its address (16 hexadecimal digits when `lp64`, else 8) and the symbol and offset (or the
  // image's base and offset when the frame has no symbol).
  static std::string formatStackFrame(const CrashReportStackFrameInfo& frame, std::int64_t frameIndex,
                                      const CrashReport& report, bool lp64);

  CrashReportTextFormat textFormat() const { return textFormat_; }
  foundation::StringEncoding stringEncoding() const { return stringEncoding_; }

 private:
  CrashReportTextFormat textFormat_;
  foundation::StringEncoding stringEncoding_;
};
