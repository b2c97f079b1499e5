// The plain-text crash log, for reports made the way the crash-time writer makes them.
#include "crash/engine/CrashReportTextFormatter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crash/engine/CrashReporterError.h"
#include "tests/crash/engine/ReportEncoder.h"
#include "tests/support/LogCapture.h"

namespace {

std::shared_ptr<const CrashReport> decode(const test::ReportRecord& record) {
  foundation::Error error;
  auto report = CrashReport::initWithData(test::encodeReportFile(record), &error);
  EXPECT_NE(report, nullptr) << error.description();
  return report;
}

std::string render(const test::ReportRecord& record) {
  const auto report = decode(record);
  return report ? CrashReportTextFormatter::stringValueForCrashReport(*report, CrashReportTextFormat::Standard) : "";
}

// The line of `text` that starts with `prefix`, or "" when there is none.
std::string lineStartingWith(const std::string& text, const std::string& prefix) {
  std::size_t at = text.rfind("\n" + prefix);
  if (text.starts_with(prefix)) at = 0;
  else if (at == std::string::npos) return "";
  else ++at;
  return text.substr(at, text.find('\n', at) - at);
}

TEST(CrashReportTextFormatterTest, RendersA64BitReport) {
  const std::string expected =
      "Incident Identifier: 6B1F2E90-3C4D-4E11-9A0B-C2D3E4F50617\n"
      "CrashReporter Key:   TODO\n"
      "Hardware Model:      MacBookPro16,1\n"
      "Process:         Example [4321]\n"
      "Path:            /Applications/Example.app/Contents/MacOS/Example\n"
      "Identifier:      org.example.app\n"
      "Version:         2.0.1 (42)\n"
      "Code Type:       X86-64\n"
      "Parent Process:  launchd [1]\n"
      "\n"
      "Date/Time:       2023-11-14 22:13:20 +0000\n"
      "OS Version:      Mac OS X 10.15.7 (19H15)\n"
      "Report Version:  104\n"
      "\n"
      "Exception Type:  SIGSEGV\n"
      "Exception Codes: SEGV_MAPERR at 0x18\n"
      "Crashed Thread:  1\n"
      "\n"
      "Application Specific Information:\n"
      "*** Terminating app due to uncaught exception 'NSRangeException', reason: 'index 3 beyond bounds [0 .. 2]'\n"
      "\n"
      "Last Exception Backtrace:\n"
      "0   libsystem_kernel.dylib              0x00007fff20300a10 0x7fff20300000 + 2576\n"
      "1   Example                             0x000000010000120c main + 12\n"
      "\n"
      "Thread 0:\n"
      "0   libsystem_kernel.dylib              0x00007fff203c0b4e 0x7fff20300000 + 789326\n"
      "1   Example                             0x0000000100001010 0x100000000 + 4112\n"
      "2   ???                                 0x0000000000005000 0x0 + 0\n"
      "\n"
      "Thread 1 Crashed:\n"
      "0   Example                             0x000000010000120c main + 12\n"
      "1   libsystem_kernel.dylib              0x00007fff20300a10 0x7fff20300000 + 2576\n"
      "\n"
      "Thread 1 crashed with X86-64 Thread State:\n"
      "   rax: 0x0000000000000000    rbx: 0x0000000000000001    rcx: 0x00007ffee3b4a7c8    rdx: 0x0000000000000003 \n"
      "   rdi: 0x0000000000000004    rsi: 0x0000000000000005    rbp: 0x00007ffee3b4a7b0    rsp: 0x00007ffee3b4a790 \n"
      "   rip: 0x000000010000120c \n"
      "\n"
      "Binary Images:\n"
      "       0x100000000 -        0x100001fff +Example x86_64  <00ab102132435465768798a9bacbdced> "
      "/Applications/Example.app/Contents/MacOS/Example\n"
      "    0x7fff20300000 -     0x7fff203fffff  libsystem_kernel.dylib x86_64  <???> "
      "/usr/lib/system/libsystem_kernel.dylib\n"
      "    0x7fff203c0000 -     0x7fff203c0000  libobjc.A.dylib ???  <???> /usr/lib/libobjc.A.dylib\n";
  EXPECT_EQ(render(test::sampleReport()), expected);
}

TEST(CrashReportTextFormatterTest, RendersA32BitReportThatLacksMostInformation) {
  test::ReportRecord record;
  record.systemInfo = test::SystemInfoRecord{3, "10.15.7", std::nullopt, 1, 0};
  record.threads = {
      test::ThreadRecord{0, {}, true, {{"eax", 1}, {"ebx", 2}, {"ecx", 3}, {"edx", 0xFFFFFFFF}}},
      test::ThreadRecord{1, {{0x1010, test::SymbolRecord{"_start", 0x1000, std::nullopt}}}, false, {}},
  };
  record.images = {test::ImageRecord{0x1000, 0x2000, "/usr/bin/tool", std::nullopt, test::ProcessorRecord{1, 7, 3}}};

  test::LogCapture log;
  const std::string expected =
      "Incident Identifier: ???\n"
      "CrashReporter Key:   TODO\n"
      "Hardware Model:      ???\n"
      "Process:         ??? [???]\n"
      "Path:            ???\n"
      "Identifier:      org.example.app\n"
      "Version:         1\n"
      "Code Type:       X86\n"
      "Parent Process:  ??? [???]\n"
      "\n"
      "Date/Time:       (null)\n"
      "OS Version:      Unknown (3) 10.15.7 (???)\n"
      "Report Version:  104\n"
      "\n"
      "Exception Type:  SIGSEGV\n"
      "Exception Codes: SEGV_MAPERR at 0x0\n"
      "Crashed Thread:  0\n"
      "\n"
      "Thread 0 Crashed:\n"
      "\n"
      "Thread 1:\n"
      "0   tool                                0x00001010 _start + 16\n"
      "\n"
      "Thread 0 crashed with X86 Thread State:\n"
      "   eax: 0x00000001    ebx: 0x00000002    ecx: 0x00000003    edx: 0xffffffff \n"
      "\n"
      "Binary Images:\n"
      "    0x1000 -     0x2fff  tool i386  <???> /usr/bin/tool\n";
  EXPECT_EQ(render(record), expected);
  // Names keep their "_" where the system's prefix rule is not known.
  EXPECT_TRUE(log.contains("Symbol prefix rules are unknown for this OS!"));
}

TEST(CrashReportTextFormatterTest, ProcessInformationWithoutNamesShowsUnknowns) {
  test::ReportRecord record = test::sampleReport();
  record.processInfo = test::ProcessInfoRecord{std::nullopt, 77, std::nullopt, std::nullopt, 1, true, std::nullopt};
  const std::string text = render(record);
  EXPECT_EQ(lineStartingWith(text, "Process:"), "Process:         ??? [77]");
  EXPECT_EQ(lineStartingWith(text, "Path:"), "Path:            ???");
  EXPECT_EQ(lineStartingWith(text, "Parent Process:"), "Parent Process:  ??? [1]");
  // Without a process path no image is marked as the executable.
  EXPECT_EQ(text.find("+Example"), std::string::npos);
}

TEST(CrashReportTextFormatterTest, OperatingSystemNames) {
  const struct {
    std::int32_t os;
    const char* line;
  } cases[] = {
      {0, "OS Version:      Mac OS X 10.15.7 (???)"},   {1, "OS Version:      iPhone OS 10.15.7 (???)"},
      {2, "OS Version:      Mac OS X 10.15.7 (???)"},   {3, "OS Version:      Unknown (3) 10.15.7 (???)"},
      {4, "OS Version:      Apple tvOS 10.15.7 (???)"}, {9, "OS Version:      Unknown (9) 10.15.7 (???)"},
      {-5, "OS Version:      Unknown (-5) 10.15.7 (???)"},
  };
  for (const auto& c : cases) {
    test::ReportRecord record = test::sampleReport();
    record.systemInfo->operatingSystem = c.os;
    record.systemInfo->osBuild.reset();
    EXPECT_EQ(lineStartingWith(render(record), "OS Version:"), c.line);
  }
}

TEST(CrashReportTextFormatterTest, CodeTypeComesFromTheFirstImageOfAKnownMachTypeElseTheArchitecture) {
  using Processor = std::optional<test::ProcessorRecord>;
  const struct {
    const char* name;
    std::vector<Processor> images;
    std::int32_t architecture;
    const char* codeType;
  } cases[] = {
      {"x86-64 image", {test::ProcessorRecord{1, 0x1000007, 3}}, 0, "X86-64"},
      {"arm64 image", {test::ProcessorRecord{1, 0x100000C, 0}}, 1, "ARM-64"},
      {"not Mach, then ARM", {test::ProcessorRecord{0, 0x1000007, 3}, test::ProcessorRecord{1, 12, 9}}, 1, "ARM"},
      {"unknown type, then PPC", {test::ProcessorRecord{1, 99, 0}, test::ProcessorRecord{1, 18, 0}}, 1, "PPC"},
      {"no code type, x86", {std::nullopt}, 0, "X86"},
      {"no code type, x86-64", {std::nullopt}, 1, "X86-64"},
      {"no code type, armv6", {std::nullopt}, 2, "ARM"},
      {"no code type, ppc", {std::nullopt}, 3, "PPC"},
      {"no code type, ppc64", {std::nullopt}, 4, "Unknown (4)"},
      {"no code type, armv7", {std::nullopt}, 5, "ARM"},
      {"no code type, unknown", {std::nullopt}, 6, "Unknown (6)"},
      {"no code type, out of range", {std::nullopt}, INT32_MIN, "Unknown (-2147483648)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ReportRecord record = test::sampleReport();
    record.systemInfo->architecture = c.architecture;
    record.images.clear();
    for (std::size_t i = 0; i < c.images.size(); ++i) {
      record.images.push_back({0x1000 * (i + 1), 0x10, "/lib" + std::to_string(i), std::nullopt, c.images[i]});
    }
    EXPECT_EQ(lineStartingWith(render(record), "Code Type:"), std::string("Code Type:       ") + c.codeType);
  }
}

TEST(CrashReportTextFormatterTest, ImageArchitectureNames) {
  const struct {
    std::int32_t encoding;
    std::uint64_t type, subtype;
    const char* name;
  } cases[] = {
      {1, 7, 3, "i386"},           {1, 12, 6, "armv6"},           {1, 12, 9, "armv7"},
      {1, 12, 11, "armv7s"},       {1, 12, 1, "arm-unknown"},     {1, 18, 0, "powerpc"},
      {1, 0x1000007, 3, "x86_64"}, {1, 0x100000C, 0, "arm64"},    {1, 0x100000C, 13, "armv8"},
      {1, 0x100000C, 2, "arm64-unknown"}, {1, 99, 0, "???"},      {0, 7, 3, "???"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ReportRecord record = test::sampleReport();
    record.images = {{0x1000, 0x10, "/lib/x", std::nullopt, test::ProcessorRecord{c.encoding, c.type, c.subtype}}};
    const std::string line = lineStartingWith(render(record), "    ");
    EXPECT_NE(line.find(std::string(" x ") + c.name + "  <???>"), std::string::npos) << line;
  }
}

TEST(CrashReportTextFormatterTest, LeadingUnderscoreIsDroppedOnlyFromLongerNames) {
  test::ReportRecord record = test::sampleReport();
  record.threads[1].frames = {{0x100001200, test::SymbolRecord{"_", 0x100001200, std::nullopt}},
                              {0x100001230, test::SymbolRecord{"__cxa_throw", 0x100001200, std::nullopt}}};
  const std::string text = render(record);
  EXPECT_NE(text.find("0x0000000100001200 _ + 0\n"), std::string::npos);
  EXPECT_NE(text.find("0x0000000100001230 _cxa_throw + 48\n"), std::string::npos);
}

TEST(CrashReportTextFormatterTest, R12IsShownAsIpOnArmMachinesOnly) {
  for (const std::uint64_t cpu : {std::uint64_t{12}, std::uint64_t{0x0100000C}, std::uint64_t{7}}) {
    test::ReportRecord record = test::sampleReport();
    record.machineInfo->processor.type = cpu;
    record.threads[1].registers = {{"r12", 5}};
    const std::string text = render(record);
    const bool arm = cpu != 7;
    EXPECT_EQ(text.find("    ip: 0x0000000000000005 \n") != std::string::npos, arm) << cpu;
    EXPECT_EQ(text.find("   r12: 0x0000000000000005 \n") != std::string::npos, !arm) << cpu;
  }
}

TEST(CrashReportTextFormatterTest, FormatReportGivesTheTextInItsEncoding) {
  test::ReportRecord record = test::sampleReport();
  record.images[2].name = "/usr/lib/lib\xC3\xA9.dylib";
  const auto report = decode(record);
  ASSERT_NE(report, nullptr);
  const std::string text =
      CrashReportTextFormatter::stringValueForCrashReport(*report, CrashReportTextFormat::Standard);

  foundation::Error error(CrashReporterErrorDomain, 42);
  const auto utf8 = CrashReportTextFormatter(CrashReportTextFormat::Standard, foundation::UTF8StringEncoding)
                        .formatReport(*report, &error);
  ASSERT_TRUE(utf8);
  EXPECT_EQ(std::string(utf8->begin(), utf8->end()), text);

  const auto ascii = CrashReportTextFormatter(CrashReportTextFormat::Standard, foundation::ASCIIStringEncoding)
                         .formatReport(*report, &error);
  ASSERT_TRUE(ascii);
  std::string lossy = text;  // each character ASCII cannot hold becomes "?"
  for (std::size_t at; (at = lossy.find("\xC3\xA9")) != std::string::npos;) lossy.replace(at, 2, "?");
  EXPECT_NE(lossy, text);
  EXPECT_EQ(std::string(ascii->begin(), ascii->end()), lossy);

  EXPECT_FALSE(CrashReportTextFormatter(CrashReportTextFormat::Standard, static_cast<foundation::StringEncoding>(99)).formatReport(*report, &error));
  EXPECT_EQ(error.code(), 42);  // never set
}

}  // namespace
