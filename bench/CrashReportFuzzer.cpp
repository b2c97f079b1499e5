// libFuzzer entry for the crash report reader: any input must decode or be refused with the
// reader's error, and a decoded report must render, without a fault the sanitizers can see.
// Built only by clang (see scripts/fuzz-crash-report).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "crash/engine/CrashReport.h"
#include "crash/engine/CrashReportTextFormatter.h"
#include "crash/engine/CrashReporterError.h"
#include "platform/foundation/Log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Reports of unknown systems log a line each; they would drown the fuzzer's own output.
  foundation::setLogSink([](const std::string&) {});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  foundation::Error error;
  const auto report = CrashReport::initWithData(std::span(data, size), &error);
  if (report) {
    CrashReportTextFormatter formatter(CrashReportTextFormat::Standard, foundation::UTF8StringEncoding);
    if (!formatter.formatReport(*report, nullptr)) std::abort();
  } else if (error.domain() != CrashReporterErrorDomain || error.code() != CrashReporterErrorCrashReportInvalid) {
    std::abort();
  }
  return 0;
}
