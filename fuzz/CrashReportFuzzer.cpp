// libFuzzer target of the crash report reader: any input must decode or be refused with the
// reader's error, and a decoded report must render, without a fault the sanitizers can see.
// The seed is a complete report made the way the crash-time writer makes it (the tests' encoder).
#include <cstddef>
#include <cstdint>
#include <span>

#include "crash/engine/CrashReport.h"
#include "crash/engine/CrashReportTextFormatter.h"
#include "crash/engine/CrashReporterError.h"
#include "fuzz/FuzzSupport.h"
#include "tests/crash/engine/ReportEncoder.h"

namespace {

void writeSeeds(fuzz::SeedWriter& seeds) { seeds.write("sample.crash", test::encodeReportFile(test::sampleReport())); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Reports of unknown systems log a line each; fuzz::initialize silences them.
  fuzz::initialize(writeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  foundation::Error error;
  const auto report = CrashReport::initWithData(std::span(data, size), &error);
  if (report) {
    CrashReportTextFormatter formatter(CrashReportTextFormat::Standard, foundation::UTF8StringEncoding);
    fuzz::check(formatter.formatReport(*report, nullptr).has_value(), "a decoded report renders");
  } else {
    fuzz::check(error.domain() == CrashReporterErrorDomain && error.code() == CrashReporterErrorCrashReportInvalid,
                "a report that does not decode is refused with the reader's error");
  }
  return 0;
}
