// The conversion of crash reports into error logs and error reports, on reports built field by
// field as the crash-time writer builds them: every section, the edge cases of each step, the
// image kinds and path rules, and the selector lookup in a Mach-O image placed in memory.
#include "telemetry/crashes/Internals/TLErrorLogFormatter.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "crash/engine/CrashReport.h"
#include "platform/foundation/UUID.h"
#include "tests/crash/engine/MachOFixture.h"
#include "tests/crash/engine/ReportEncoder.h"
#include "tests/telemetry/support/TLLogRecorder.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Value;
using test::FrameRecord;
using test::ImageRecord;
using test::ProcessorRecord;
using test::ReportRecord;
using test::SymbolRecord;
using test::ThreadRecord;

constexpr std::uint64_t kX86_64 = 0x1000007;
constexpr std::uint64_t kARM64 = 0x100000C;
constexpr const char* kPrefix = "/opt/Quillmere";
constexpr const char* kExecutable = "/opt/Quillmere/quillmere";
constexpr const char* kHelper = "/opt/Quillmere/lib/libhelper.so";
constexpr const char* kLibc = "/usr/lib/x86_64-linux-gnu/libc.so.6";
constexpr const char* kLibm = "/usr/lib/x86_64-linux-gnu/libm.so.6";
constexpr const char* kLibz = "/usr/lib/x86_64-linux-gnu/libz.so.1";
constexpr const char* kEmptyPlugin = "/opt/Quillmere/plugins/empty.so";
const std::vector<std::uint8_t> kReportUUID{0x6B, 0x1F, 0x2E, 0x90, 0x3C, 0x4D, 0x4E, 0x11,
                                            0x9A, 0x0B, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17};
constexpr const char* kReportUUIDText = "6B1F2E90-3C4D-4E11-9A0B-C2D3E4F50617";

// A crash of the installed application: an uncaught exception, two threads (the second crashed),
// images of the application (its executable, a library, an empty plugin) and of the system (one
// with frames, one a register points into, one nothing points into).
ReportRecord linuxReport() {
  ReportRecord r;
  r.reportInfo = test::ReportInfoRecord{false, kReportUUID};
  r.systemInfo = test::SystemInfoRecord{0, "12.0.0", "6.1.0-18-amd64", 1, 1700000000};
  r.processInfo = test::ProcessInfoRecord{"quillmere", 4321, kExecutable, "systemd", 1, true, 1699999990};
  r.signal = test::SignalRecord{"SIGSEGV", "SEGV_MAPERR", 0x18, std::nullopt};
  r.exception = test::ExceptionRecord{"std::out_of_range", "index 3", {{0x401234, std::nullopt}, {0x7f0000001010, std::nullopt}}};
  r.threads = {
      ThreadRecord{0,
                   {{0x7f0000002050, SymbolRecord{"_pthread_cond_wait", 0x7f0000002000, std::nullopt}},
                    {0x401100, SymbolRecord{"_main", 0x401000, std::nullopt}}},
                   false,
                   {}},
      ThreadRecord{1,
                   {{0x7f1000000010, SymbolRecord{"_helper", 0x7f1000000000, std::nullopt}},
                    {0x401234, std::nullopt},
                    {0x5000, std::nullopt},
                    {0x6000, SymbolRecord{"_lost", 0x5ff0, std::nullopt}}},
                   true,
                   {{"rip", 0x401234}, {"rsp", 0x7ffd00000000}, {"rdi", 0x7f2000000100}}},
  };
  const ProcessorRecord x86_64{1, kX86_64, 3};
  r.images = {
      ImageRecord{0x7f0000000000, 0x10000, kLibc, std::nullopt, x86_64},
      ImageRecord{0x400000, 0x2000, kExecutable,
                  std::vector<std::uint8_t>{0x00, 0xAB, 0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9,
                                            0xBA, 0xCB, 0xDC, 0xED},
                  ProcessorRecord{1, kX86_64, 8}},
      ImageRecord{0x7f1000000000, 0x1000, kHelper, std::nullopt, std::nullopt},
      ImageRecord{0x7f2000000000, 0x1000, kLibm, std::nullopt, x86_64},
      ImageRecord{0x7f3000000000, 0x1000, kLibz, std::nullopt, x86_64},
      ImageRecord{0x1000, 0, kEmptyPlugin, std::nullopt, x86_64},
  };
  return r;
}

std::shared_ptr<const CrashReport> decode(const ReportRecord& record) {
  foundation::Error error;
  auto report = CrashReport::initWithData(test::encodeReportFile(record), &error);
  EXPECT_NE(report, nullptr) << error.description();
  return report;
}

std::vector<std::string> codesOf(const TLThread& thread) {
  std::vector<std::string> codes;
  for (const auto& frame : *thread.frames) codes.push_back(frame->code.value_or("(none)"));
  return codes;
}

class TLErrorLogFormatterTest : public testing::Test {
 protected:
  void SetUp() override { TLErrorLogFormatter::setInstallPrefixForTesting(kPrefix); }
  void TearDown() override {
    TLErrorLogFormatter::setInstallPrefixForTesting(std::nullopt);
    TLErrorLogFormatter::setLoadedImagesForTesting(std::nullopt);
    TLErrorLogFormatter::setInstallIdProvider(nullptr);
    TLErrorLogFormatter::setWrapperExceptionLoader(nullptr);
  }

  std::shared_ptr<TLAppleErrorLog> convert(const ReportRecord& record) {
    const auto report = decode(record);
    return report ? TLErrorLogFormatter::errorLogFromCrashReport(*report) : nullptr;
  }
};

// ---- A whole report -------------------------------------------------------------------------------

TEST_F(TLErrorLogFormatterTest, ConvertsEverySectionOfAReport) {
  test::TLLogRecorder recorder;
  const auto log = convert(linuxReport());
  ASSERT_NE(log, nullptr);

  EXPECT_EQ(log->type(), "appleError");
  EXPECT_EQ(log->errorId, kReportUUIDText);
  EXPECT_EQ(log->processId, 4321);
  EXPECT_EQ(log->processName, "quillmere");
  EXPECT_EQ(log->applicationPath, kExecutable);
  EXPECT_EQ(log->parentProcessName, "systemd");
  EXPECT_EQ(log->parentProcessId, 1);
  EXPECT_EQ(log->errorThreadId, 1);
  EXPECT_TRUE(log->fatal);
  EXPECT_EQ(log->appLaunchTimestamp, foundation::Date::fromTimeIntervalSince1970(1699999990));
  ASSERT_TRUE(log->timestamp());
  EXPECT_NEAR(log->timestamp()->timeIntervalSince1970(), 1700000000.999, 1e-6);
  // The last image in report order with a Mach CPU type gives the log's.
  EXPECT_EQ(log->primaryArchitectureId, static_cast<std::int64_t>(kX86_64));
  EXPECT_EQ(log->architectureVariantId, 3);
  EXPECT_EQ(log->osExceptionType, "SIGSEGV");
  EXPECT_EQ(log->osExceptionCode, "SEGV_MAPERR");
  EXPECT_EQ(log->osExceptionAddress, "0x18");
  EXPECT_EQ(log->exceptionType, "std::out_of_range");
  EXPECT_EQ(log->exceptionReason, "index 3");
  EXPECT_FALSE(log->selectorRegisterValue) << "x86-64 has no x1 register";
  EXPECT_FALSE(log->exception);
  EXPECT_FALSE(log->architecture);
  ASSERT_NE(log->device(), nullptr);
  EXPECT_TRUE(log->isValid());

  ASSERT_TRUE(log->threads);
  ASSERT_EQ(log->threads->size(), 2u);
  const TLThread& waiting = *(*log->threads)[0];
  const TLThread& crashed = *(*log->threads)[1];
  EXPECT_EQ(waiting.threadId, 0);
  EXPECT_FALSE(waiting.name);
  EXPECT_FALSE(waiting.exception);
  // A system image with a symbol gives the symbol's form, its "_" kept; the application's images
  // give the base's form whatever symbol they have; outside every image, base and offset are 0.
  EXPECT_EQ(codesOf(waiting), (std::vector<std::string>{"_pthread_cond_wait + 80", "0x400000 + 4352"}));
  EXPECT_EQ(codesOf(crashed),
            (std::vector<std::string>{"0x7f1000000000 + 16", "0x400000 + 4660", "0x0 + 0", "_lost + 16"}));
  EXPECT_EQ(crashed.frames->at(1)->address, "0x0000000000401234");
  EXPECT_EQ(recorder.messages(TLLogLevelWarning).size(), 2u);
  for (const auto& message : recorder.messages(TLLogLevelWarning)) {
    EXPECT_EQ(message, "Symbol prefix rules are unknown for this OS!");
  }

  ASSERT_NE(crashed.exception, nullptr);
  EXPECT_EQ(crashed.exception->type, "std::out_of_range");
  EXPECT_EQ(crashed.exception->message, "index 3");
  ASSERT_EQ(crashed.exception->frames->size(), 2u);
  EXPECT_EQ(crashed.exception->frames->at(0)->address, "0x0000000000401234");
  EXPECT_FALSE(crashed.exception->frames->at(0)->code);

  EXPECT_EQ(log->registers, (foundation::Dictionary{{"rip", "0x0000000000401234"},
                                                    {"rsp", "0x00007ffd00000000"},
                                                    {"rdi", "0x00007f2000000100"}}));

  // Sorted by base; the application's images always, system images only with an address in
  // them: libc (frames), libm (a register), not libz.
  ASSERT_TRUE(log->binaries);
  std::vector<std::string> listed;
  for (const auto& binary : *log->binaries) listed.push_back(*binary->path);
  EXPECT_EQ(listed, (std::vector<std::string>{kEmptyPlugin, kExecutable, kLibc, kHelper, kLibm}));
  const TLBinary& empty = *(*log->binaries)[0];
  EXPECT_EQ(empty.startAddress, "0x0000000000001000");
  EXPECT_EQ(empty.endAddress, "0x0000000000001000");
  EXPECT_EQ(empty.binaryId, "???");
  EXPECT_EQ(empty.name, "empty.so");
  const TLBinary& executable = *(*log->binaries)[1];
  EXPECT_EQ(executable.binaryId, "00ab102132435465768798a9bacbdced");
  EXPECT_EQ(executable.endAddress, "0x0000000000401fff");
  EXPECT_EQ(executable.primaryArchitectureId, static_cast<std::int64_t>(kX86_64));
  EXPECT_EQ(executable.architectureVariantId, 8);
  EXPECT_EQ((*log->binaries)[3]->architectureVariantId, 0) << "an image without a CPU type";
  EXPECT_EQ((*log->binaries)[3]->primaryArchitectureId, static_cast<std::int64_t>(kX86_64));

  // The whole log is what the ingestion will receive.
  const Value json = test::parseJson(*log->serializeLogWithPrettyPrinting(false));
  EXPECT_EQ(json["timestamp"], Value("2023-11-14T22:13:20.999Z"));
  EXPECT_EQ(json["threads"][std::size_t{1}]["exception"]["type"], Value("std::out_of_range"));
}

// ---- The steps' edge cases ------------------------------------------------------------------------

TEST_F(TLErrorLogFormatterTest, ReportWithoutProcessInformation) {
  ReportRecord record = linuxReport();
  record.processInfo.reset();
  const auto log = convert(record);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->processId, 0);
  EXPECT_EQ(log->processName, "???");
  EXPECT_EQ(log->applicationPath, "???");
  EXPECT_EQ(log->parentProcessName, "???");
  EXPECT_FALSE(log->parentProcessId);
  EXPECT_EQ(log->appLaunchTimestamp, foundation::Date::fromTimeIntervalSince1970(1700000000));
  // Without a process path no image is the application's: only the ones with addresses stay.
  EXPECT_EQ(log->binaries->size(), 4u);
}

TEST_F(TLErrorLogFormatterTest, WholeSecondCrashTimesEndJustBeforeTheNextSecond) {
  struct Case {
    std::int64_t seconds;
    double expected;
  };
  const std::vector<Case> cases = {
      {1000, 1000.999},
      {-5, -4.001},
      // Past 2038 a 32-bit cut of the time would be undefined; the offset is still added.
      {4102444800, 4102444800.999},
      {253402300799, 253402300799.999},
  };
  for (const Case& c : cases) {
    ReportRecord record = linuxReport();
    record.systemInfo->timestamp = c.seconds;
    const auto log = convert(record);
    ASSERT_NE(log, nullptr);
    ASSERT_TRUE(log->timestamp());
    EXPECT_NEAR(log->timestamp()->timeIntervalSince1970(), c.expected, 1e-4) << c.seconds;
  }

  // A report that could not tell the time gives a log without one, which is not valid.
  ReportRecord record = linuxReport();
  record.systemInfo->timestamp = 0;
  const auto log = convert(record);
  ASSERT_NE(log, nullptr);
  EXPECT_FALSE(log->timestamp());
  EXPECT_FALSE(log->isValid());
}

TEST_F(TLErrorLogFormatterTest, ReportWithoutCrashedThread) {
  ReportRecord record = linuxReport();
  record.threads[1].crashed = false;
  const auto log = convert(record);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->errorThreadId, 0);
  ASSERT_TRUE(log->registers);
  EXPECT_TRUE(log->registers->empty());
  for (const auto& thread : *log->threads) EXPECT_FALSE(thread->exception);
  EXPECT_EQ(test::parseJson(*log->serializeLogWithPrettyPrinting(false))["registers"], Value(foundation::Dictionary{}));
}

TEST_F(TLErrorLogFormatterTest, UncaughtExceptionVariants) {
  struct Case {
    const char* name;
    std::optional<test::ExceptionRecord> exception;
    std::optional<std::string> exceptionType;
    std::optional<std::string> threadExceptionType;  // none: the crashed thread carries none
  };
  const std::vector<Case> cases = {
      {"none", std::nullopt, std::nullopt, std::nullopt},
      {"without frames", test::ExceptionRecord{"E", "why", {}}, "E", std::nullopt},
      {"without a name", test::ExceptionRecord{"", "why", {{0x401000, std::nullopt}}}, "", "SIGSEGV"},
  };
  for (const Case& c : cases) {
    ReportRecord record = linuxReport();
    record.exception = c.exception;
    const auto log = convert(record);
    ASSERT_NE(log, nullptr) << c.name;
    EXPECT_EQ(log->exceptionType, c.exceptionType) << c.name;
    EXPECT_EQ(log->exceptionReason.has_value(), c.exception.has_value()) << c.name;
    const auto& exception = (*log->threads)[1]->exception;
    EXPECT_EQ(exception ? exception->type : std::nullopt, c.threadExceptionType) << c.name;
  }
}

TEST_F(TLErrorLogFormatterTest, CodeTypeFromImagesOrArchitecture) {
  struct Case {
    const char* name;
    std::int32_t architecture;
    std::vector<std::optional<ProcessorRecord>> codeTypes;  // one image each
    std::optional<std::uint64_t> expected;
    bool is64bit;
  };
  const std::vector<Case> cases = {
      {"first image's Mach type", 1, {ProcessorRecord{1, kARM64, 0}, ProcessorRecord{1, kX86_64, 3}}, kARM64, true},
      {"architecture when the image says nothing", 0, {std::nullopt}, 7, false},
      {"architecture when the type is not Mach", 5, {ProcessorRecord{0, 99, 0}}, 12, false},
      {"ppc", 3, {std::nullopt}, 18, false},
      {"unknown architecture asks the next image", 6, {std::nullopt, ProcessorRecord{1, kX86_64, 3}}, kX86_64, true},
      {"ppc64 has no entry", 4, {std::nullopt}, std::nullopt, false},
  };
  for (const Case& c : cases) {
    ReportRecord record = linuxReport();
    record.systemInfo->architecture = c.architecture;
    record.images.clear();
    std::uint64_t base = 0x10000;
    for (const auto& codeType : c.codeTypes) {
      record.images.push_back(ImageRecord{base, 0x1000, "/usr/lib/lib.so", std::nullopt, codeType});
      base += 0x10000;
    }
    const auto report = decode(record);
    ASSERT_NE(report, nullptr) << c.name;
    const auto codeType = TLErrorLogFormatter::extractCodeTypeFromReport(*report);
    EXPECT_EQ(codeType, c.expected) << c.name;
    EXPECT_EQ(TLErrorLogFormatter::isCodeType64bit(codeType), c.is64bit) << c.name;
  }
  EXPECT_TRUE(TLErrorLogFormatter::isCodeType64bit(kARM64));
  EXPECT_FALSE(TLErrorLogFormatter::isCodeType64bit(12));
  EXPECT_FALSE(TLErrorLogFormatter::isCodeType64bit(std::nullopt));
}

TEST_F(TLErrorLogFormatterTest, ReportWithoutAMachCPUTypeGivesAnInvalidLog) {
  ReportRecord record = linuxReport();
  for (auto& image : record.images) image.codeType.reset();
  const auto log = convert(record);
  ASSERT_NE(log, nullptr);
  EXPECT_FALSE(log->primaryArchitectureId);
  EXPECT_FALSE(log->isValid());
  // The binaries still carry the report's code type, taken from its architecture.
  EXPECT_EQ((*log->binaries)[0]->primaryArchitectureId, static_cast<std::int64_t>(kX86_64));
}

TEST_F(TLErrorLogFormatterTest, SymbolPrefixIsDroppedOnlyForTheSimulator) {
  ReportRecord record = linuxReport();
  record.systemInfo->operatingSystem = 2;
  test::TLLogRecorder recorder;
  const auto log = convert(record);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(codesOf(*(*log->threads)[0])[0], "pthread_cond_wait + 80");
  EXPECT_EQ(codesOf(*(*log->threads)[1])[3], "lost + 16");
  EXPECT_TRUE(recorder.messages(TLLogLevelWarning).empty());

  // A lone "_" is no prefix.
  record.threads[0].frames[0].symbol->name = "_";
  const auto lone = convert(record);
  ASSERT_NE(lone, nullptr);
  EXPECT_EQ(codesOf(*(*lone->threads)[0])[0], "_ + 80");
}

TEST_F(TLErrorLogFormatterTest, ReportWithoutUUIDGetsARandomErrorId) {
  ReportRecord record = linuxReport();
  record.reportInfo.reset();
  const auto first = convert(record);
  const auto second = convert(record);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(first->errorId);
  const auto parsed = foundation::UUID::fromString(*first->errorId);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->UUIDString(), *first->errorId);
  EXPECT_NE(first->errorId, second->errorId);
}

// ---- Paths and addresses --------------------------------------------------------------------------

TEST_F(TLErrorLogFormatterTest, ImageKindsFollowTheInstallPrefix) {
  struct Case {
    std::optional<std::string> image;
    std::optional<std::string> process;
    TLBinaryImageType expected;
  };
  const std::vector<Case> cases = {
      {kExecutable, kExecutable, TLBinaryImageTypeAppBinary},
      {"/OPT/quillmere/QUILLMERE", kExecutable, TLBinaryImageTypeAppBinary},
      {"/opt/Quillmere/lib/../quillmere", kExecutable, TLBinaryImageTypeAppBinary},
      {kHelper, kExecutable, TLBinaryImageTypeAppFramework},
      {"/opt/Quillmere//plugins/./x.so", kExecutable, TLBinaryImageTypeAppFramework},
      {"/opt/Quillmere/Frameworks/libswiftCore.dylib", kExecutable, TLBinaryImageTypeOther},
      {kLibc, kExecutable, TLBinaryImageTypeOther},
      {"/opt/QuillmereOld/quillmere", kExecutable, TLBinaryImageTypeOther},
      {"/opt/Quillmere/../elsewhere/lib.so", kExecutable, TLBinaryImageTypeOther},
      {std::nullopt, kExecutable, TLBinaryImageTypeOther},
      {kExecutable, std::nullopt, TLBinaryImageTypeOther},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TLErrorLogFormatter::imageTypeForImagePath(c.image, c.process), c.expected)
        << c.image.value_or("(none)") << " in " << c.process.value_or("(none)");
  }
  // Without a prefix that can be told, no image counts as the application's.
  TLErrorLogFormatter::setInstallPrefixForTesting("");
  EXPECT_EQ(TLErrorLogFormatter::imageTypeForImagePath(kExecutable, kExecutable), TLBinaryImageTypeOther);
}

TEST_F(TLErrorLogFormatterTest, UserFoldersAreAnonymised) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/home/alice/Apps/Quillmere/quillmere", "/home/USER/Apps/Quillmere/quillmere"},
      {"/home/alice/x/home/bob/y.so", "/home/USER/x/home/USER/y.so"},
      {"/home/alice", "/home/alice"},  // no user folder below it yet
      {"/mnt/home/alice/lib.so", ""},
      {"/homes/alice/lib.so", ""},
      {"", ""},
      {"/usr/lib/x86_64-linux-gnu/libc.so.6", "/usr/lib/x86_64-linux-gnu/libc.so.6"},
      {"/opt/Quillmere/quillmere", "/opt/Quillmere/quillmere"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(TLErrorLogFormatter::anonymizedPathFromPath(path), expected) << path;

  ReportRecord record = linuxReport();
  record.processInfo->path = "/home/alice/Quillmere/quillmere";
  record.images[1].name = "/home/alice/Quillmere/quillmere";
  TLErrorLogFormatter::setInstallPrefixForTesting("/home/alice/Quillmere");
  const auto log = convert(record);
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(log->applicationPath, "/home/USER/Quillmere/quillmere");
  const std::string json = *log->serializeLogWithPrettyPrinting(false);
  EXPECT_EQ(json.find("alice"), std::string::npos) << json;
}

TEST_F(TLErrorLogFormatterTest, AddressFormats) {
  EXPECT_EQ(TLErrorLogFormatter::formatAddress(26, true), "0x000000000000001a");
  EXPECT_EQ(TLErrorLogFormatter::formatAddress(26, false), "0x0000001a");
  EXPECT_EQ(TLErrorLogFormatter::formatAddress(0x1234567890, false), "0x1234567890");
  EXPECT_EQ(TLErrorLogFormatter::formatAddress(~0ull, true), "0xffffffffffffffff");
  EXPECT_TRUE(TLErrorLogFormatter::isBinaryWithStart(0x1000, 0x1fff, {0x10, 0x1fff}));
  EXPECT_FALSE(TLErrorLogFormatter::isBinaryWithStart(0x1000, 0x1fff, {0xfff, 0x2000}));
  EXPECT_FALSE(TLErrorLogFormatter::uuidRefToString(std::nullopt));
}

// ---- The error report -----------------------------------------------------------------------------

TEST_F(TLErrorLogFormatterTest, ErrorReportOfALog) {
  const auto report = decode(linuxReport());
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(TLErrorLogFormatter::errorReportFromCrashReport(nullptr), nullptr);

  const auto withoutInstallId = TLErrorLogFormatter::errorReportFromCrashReport(report);
  ASSERT_NE(withoutInstallId, nullptr);
  EXPECT_EQ(withoutInstallId->reporterKey(), "");

  const auto installId = foundation::UUID();
  TLErrorLogFormatter::setInstallIdProvider([installId] { return installId; });
  const auto errorReport = TLErrorLogFormatter::errorReportFromCrashReport(report);
  ASSERT_NE(errorReport, nullptr);
  EXPECT_EQ(errorReport->incidentIdentifier(), kReportUUIDText);
  EXPECT_EQ(errorReport->reporterKey(), installId.UUIDString());
  EXPECT_EQ(errorReport->signal(), "SIGSEGV");
  EXPECT_EQ(errorReport->exceptionName(), "std::out_of_range");
  EXPECT_EQ(errorReport->exceptionReason(), "index 3");
  EXPECT_EQ(errorReport->appStartTime(), foundation::Date::fromTimeIntervalSince1970(1699999990));
  ASSERT_TRUE(errorReport->appErrorTime());
  EXPECT_NEAR(errorReport->appErrorTime()->timeIntervalSince1970(), 1700000000.999, 1e-6);
  EXPECT_EQ(errorReport->appProcessIdentifier(), 4321u);
  ASSERT_NE(errorReport->device(), nullptr);
  EXPECT_TRUE(errorReport->device()->isValid());
  EXPECT_FALSE(errorReport->isAppKill());

  TLAppleErrorLog bare;
  const auto bareReport = TLErrorLogFormatter::errorReportFromLog(bare);
  EXPECT_EQ(bareReport->appProcessIdentifier(), 0u);
  EXPECT_FALSE(bareReport->incidentIdentifier());
}

TEST_F(TLErrorLogFormatterTest, StoredWrapperExceptionIsJoinedByTheReportId) {
  std::vector<std::string> asked;
  auto wrapper = std::make_shared<TLWrapperException>();
  wrapper->modelException = std::make_shared<TLException>();
  wrapper->modelException->type = "System.NullReferenceException";
  TLErrorLogFormatter::setWrapperExceptionLoader([&](const std::string& id) -> std::shared_ptr<TLWrapperException> {
    asked.push_back(id);
    return id == kReportUUIDText ? wrapper : nullptr;
  });

  const auto log = convert(linuxReport());
  ASSERT_NE(log, nullptr);
  EXPECT_EQ(asked, (std::vector<std::string>{kReportUUIDText}));
  EXPECT_EQ(log->exception, wrapper->modelException);

  // A report without a UUID has a random id, under which nothing can be stored.
  ReportRecord record = linuxReport();
  record.reportInfo.reset();
  const auto withoutId = convert(record);
  ASSERT_NE(withoutId, nullptr);
  EXPECT_EQ(asked.size(), 1u);
  EXPECT_FALSE(withoutId->exception);
}

// ---- The selector register ------------------------------------------------------------------------

// A crash whose crashed thread's selector register points into the method-name section of a
// Mach-O image, which this process has loaded at another address.
class SelectorLookup : public TLErrorLogFormatterTest {
 protected:
  static constexpr std::uint64_t kReportBase = 0x100000000;

  void SetUp() override {
    TLErrorLogFormatterTest::SetUp();
    ASSERT_TRUE(loaded_.loaded());
    const auto expected = test::readExpectations("libobjc-fixture.dylib");
    section_ = expected.section("__TEXT", "__objc_methname");
    uuid_ = expected.uuid;
    TLErrorLogFormatter::setLoadedImagesForTesting(
        std::vector<TLErrorLogFormatter::LoadedImage>{{0, ""}, {loaded_.header(), loaded_.path()}});
  }

  // The bytes of the fixture's UUID.
  std::vector<std::uint8_t> uuidBytes() const {
    const auto parsed = foundation::UUID::fromString(uuid_);
    return std::vector<std::uint8_t>(parsed->bytes().begin(), parsed->bytes().end());
  }

  ReportRecord report(std::uint64_t codeType, std::vector<test::RegisterRecord> registers) const {
    ReportRecord record = linuxReport();
    record.threads[1].registers = std::move(registers);
    record.images.push_back(ImageRecord{kReportBase, 0x4000, loaded_.path(), uuidBytes(), std::nullopt});
    for (auto& image : record.images) image.codeType = ProcessorRecord{1, codeType, 0};
    return record;
  }

  // The text the fixture holds at `offset` into its method-name section.
  std::string textAt(std::uint64_t offset) const {
    return reinterpret_cast<const char*>(loaded_.bytes(section_.addr + offset));
  }

  test::LoadedMachO loaded_{"libobjc-fixture.dylib", 0};
  test::MachOExpectations::Section section_;
  std::string uuid_;
};

TEST_F(SelectorLookup, ReadsTheSelectorFromThisProcesssCopyOfTheImage) {
  const std::uint64_t address = kReportBase + section_.addr;
  const auto log = convert(report(kARM64, {{"x0", 1}, {"x1", address}}));
  ASSERT_NE(log, nullptr);
  ASSERT_FALSE(textAt(0).empty());
  EXPECT_EQ(log->selectorRegisterValue, textAt(0));
}

TEST_F(SelectorLookup, FindsNothingWhereTheRegisterOrImageDoesNotFit) {
  const std::uint64_t inSection = kReportBase + section_.addr;
  struct Case {
    const char* name;
    std::uint64_t codeType;
    std::vector<test::RegisterRecord> registers;
    std::function<void(ReportRecord&)> change;
    std::optional<std::string> expected;
  };
  const auto noChange = [](ReportRecord&) {};
  const std::vector<Case> cases = {
      {"32-bit code reads r1", 12, {{"r1", inSection}}, noChange, "found"},
      {"32-bit code falls back to r2", 12, {{"r1", 0}, {"r2", inSection}}, noChange, "found"},
      {"64-bit code reads only x1", kARM64, {{"r1", inSection}}, noChange, std::nullopt},
      {"register 0", kARM64, {{"x1", 0}}, noChange, std::nullopt},
      {"before the section", kARM64, {{"x1", inSection - 1}}, noChange, std::nullopt},
      {"past the section", kARM64, {{"x1", inSection + section_.size}}, noChange, std::nullopt},
      {"in no image", kARM64, {{"x1", 0x9000000000}}, noChange, std::nullopt},
      {"another UUID", kARM64, {{"x1", inSection}},
       [](ReportRecord& r) { r.images.back().uuid->at(0) ^= 1; }, std::nullopt},
      {"no UUID", kARM64, {{"x1", inSection}}, [](ReportRecord& r) { r.images.back().uuid.reset(); }, std::nullopt},
      {"another path", kARM64, {{"x1", inSection}},
       [](ReportRecord& r) { r.images.back().name = "/usr/lib/libother.dylib"; }, std::nullopt},
  };
  for (const Case& c : cases) {
    ReportRecord record = report(c.codeType, c.registers);
    c.change(record);
    const auto log = convert(record);
    ASSERT_NE(log, nullptr) << c.name;
    const std::optional<std::string> expected = c.expected ? std::optional(textAt(0)) : std::nullopt;
    EXPECT_EQ(log->selectorRegisterValue, expected) << c.name;
  }
}

TEST_F(SelectorLookup, TextMustEndInsideTheSection) {
  // The section's last byte is its last name's terminator: the address of that byte has nothing
  // after it in the section, so no terminator follows.
  const std::uint64_t last = kReportBase + section_.addr + section_.size - 1;
  const auto log = convert(report(kARM64, {{"x1", last}}));
  ASSERT_NE(log, nullptr);
  EXPECT_FALSE(log->selectorRegisterValue);
  // The byte before it starts a name's last character, which ends in the section.
  const auto before = convert(report(kARM64, {{"x1", last - 1}}));
  ASSERT_NE(before, nullptr);
  EXPECT_EQ(before->selectorRegisterValue, textAt(section_.size - 2));
}

}  // namespace
