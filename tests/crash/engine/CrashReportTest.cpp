// Decoding report files made the way the crash-time writer makes them.
#include "crash/engine/CrashReport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "crash/engine/CrashReportTextFormatter.h"
#include "crash/engine/CrashReporterError.h"
#include "tests/crash/engine/ReportEncoder.h"
#include "tests/support/LogCapture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// Decodes `file` and checks that it fails with `description` as the reader's error.
void expectRejected(const Bytes& file, const std::string& description) {
  foundation::Error error;
  EXPECT_EQ(CrashReport::initWithData(file, &error), nullptr);
  EXPECT_EQ(error.domain(), CrashReporterErrorDomain);
  EXPECT_EQ(error.code(), CrashReporterErrorCrashReportInvalid);
  EXPECT_EQ(error.localizedDescription(), description);
}

TEST(CrashReportTest, DecodesEveryFieldOfAWrittenReport) {
  foundation::Error error;
  const auto report = CrashReport::initWithData(test::encodeReportFile(test::sampleReport()), &error);
  ASSERT_NE(report, nullptr) << error.description();

  ASSERT_TRUE(report->uuidRef());
  EXPECT_EQ(report->uuidRef()->UUIDString(), "6B1F2E90-3C4D-4E11-9A0B-C2D3E4F50617");

  const auto& system = *report->systemInfo();
  EXPECT_EQ(system.operatingSystem(), CrashReportOperatingSystem::MacOSX);
  EXPECT_EQ(system.operatingSystemVersion(), "10.15.7");
  EXPECT_EQ(system.operatingSystemBuild(), "19H15");
  EXPECT_EQ(system.architecture(), CrashReportArchitecture::X86_64);
  ASSERT_TRUE(system.timestamp());
  EXPECT_EQ(system.timestamp()->timeIntervalSince1970(), 1700000000.0);

  ASSERT_TRUE(report->hasMachineInfo());
  const auto& machine = *report->machineInfo();
  EXPECT_EQ(machine.modelName(), "MacBookPro16,1");
  ASSERT_NE(machine.processorInfo(), nullptr);
  EXPECT_EQ(machine.processorInfo()->typeEncoding(), CrashReportProcessorTypeEncoding::Mach);
  EXPECT_EQ(machine.processorInfo()->type(), 0x01000007u);
  EXPECT_EQ(machine.processorInfo()->subtype(), 3u);
  EXPECT_EQ(machine.processorCount(), 8u);
  EXPECT_EQ(machine.logicalProcessorCount(), 16u);

  const auto& application = *report->applicationInfo();
  EXPECT_EQ(application.applicationIdentifier(), "org.example.app");
  EXPECT_EQ(application.applicationVersion(), "42");
  EXPECT_EQ(application.applicationMarketingVersion(), "2.0.1");

  ASSERT_TRUE(report->hasProcessInfo());
  const auto& process = *report->processInfo();
  EXPECT_EQ(process.processName(), "Example");
  EXPECT_EQ(process.processID(), 4321u);
  EXPECT_EQ(process.processPath(), "/Applications/Example.app/Contents/MacOS/Example");
  ASSERT_TRUE(process.processStartTime());
  EXPECT_EQ(process.processStartTime()->timeIntervalSince1970(), 1699999990.0);
  EXPECT_EQ(process.parentProcessName(), "launchd");
  EXPECT_EQ(process.parentProcessID(), 1u);
  EXPECT_TRUE(process.native());

  EXPECT_EQ(report->signalInfo()->name(), "SIGSEGV");
  EXPECT_EQ(report->signalInfo()->code(), "SEGV_MAPERR");
  EXPECT_EQ(report->signalInfo()->address(), 0x18u);
  ASSERT_NE(report->machExceptionInfo(), nullptr);
  EXPECT_EQ(report->machExceptionInfo()->type(), 1u);
  EXPECT_EQ(report->machExceptionInfo()->codes(), (std::vector<std::uint64_t>{1, 0x18}));

  ASSERT_EQ(report->threads().size(), 2u);
  const auto& idle = *report->threads()[0];
  EXPECT_EQ(idle.threadNumber(), 0);
  EXPECT_FALSE(idle.crashed());
  EXPECT_TRUE(idle.registers().empty());
  ASSERT_EQ(idle.stackFrames().size(), 3u);
  EXPECT_EQ(idle.stackFrames()[0]->instructionPointer(), 0x7fff203c0b4eu);
  EXPECT_EQ(idle.stackFrames()[0]->symbolInfo(), nullptr);
  const auto& crashed = *report->threads()[1];
  EXPECT_EQ(crashed.threadNumber(), 1);
  EXPECT_TRUE(crashed.crashed());
  ASSERT_EQ(crashed.registers().size(), 9u);
  EXPECT_EQ(crashed.registers()[2]->registerName(), "rcx");
  EXPECT_EQ(crashed.registers()[2]->registerValue(), 0x7ffee3b4a7c8u);
  ASSERT_EQ(crashed.stackFrames().size(), 2u);
  const auto& symbol = crashed.stackFrames()[0]->symbolInfo();
  ASSERT_NE(symbol, nullptr);
  EXPECT_EQ(symbol->symbolName(), "_main");
  EXPECT_EQ(symbol->startAddress(), 0x100001200u);
  EXPECT_EQ(symbol->endAddress(), 0x100001300u);

  ASSERT_EQ(report->images().size(), 3u);
  const auto& executable = *report->images()[0];
  EXPECT_EQ(executable.imageBaseAddress(), 0x100000000u);
  EXPECT_EQ(executable.imageSize(), 0x2000u);
  EXPECT_EQ(executable.imageName(), "/Applications/Example.app/Contents/MacOS/Example");
  EXPECT_TRUE(executable.hasImageUUID());
  EXPECT_EQ(executable.imageUUID(), "00ab102132435465768798a9bacbdced");
  ASSERT_NE(executable.codeType(), nullptr);
  EXPECT_EQ(executable.codeType()->type(), 0x01000007u);
  EXPECT_FALSE(report->images()[2]->hasImageUUID());
  EXPECT_EQ(report->images()[2]->codeType(), nullptr);

  ASSERT_TRUE(report->hasExceptionInfo());
  const auto& exception = *report->exceptionInfo();
  EXPECT_EQ(exception.exceptionName(), "NSRangeException");
  EXPECT_EQ(exception.exceptionReason(), "index 3 beyond bounds [0 .. 2]");
  ASSERT_TRUE(exception.stackFrames());
  ASSERT_EQ(exception.stackFrames()->size(), 2u);
  EXPECT_EQ((*exception.stackFrames())[1]->symbolInfo()->endAddress(), 0u);  // none in the file
}

TEST(CrashReportTest, OptionalSectionsAndValuesMayBeAbsent) {
  test::ReportRecord record;
  record.systemInfo->timestamp = 0;
  record.systemInfo->operatingSystem.reset();
  record.processInfo = test::ProcessInfoRecord{};  // no names, path or start time
  record.threads = {test::ThreadRecord{}};          // no frames, no registers
  record.images = {test::ImageRecord{0x1000, 0x10, "/bin/x", std::nullopt, std::nullopt}};
  record.exception = test::ExceptionRecord{"E", "R", {}};
  record.signal->machException = test::MachExceptionRecord{2, {}};

  foundation::Error error;
  const auto report = CrashReport::initWithData(test::encodeReportFile(record), &error);
  ASSERT_NE(report, nullptr) << error.description();
  EXPECT_FALSE(report->uuidRef());
  EXPECT_FALSE(report->hasMachineInfo());
  EXPECT_EQ(report->systemInfo()->operatingSystem(), CrashReportOperatingSystem::Unknown);
  EXPECT_FALSE(report->systemInfo()->operatingSystemBuild());
  EXPECT_FALSE(report->systemInfo()->timestamp());
  EXPECT_FALSE(report->applicationInfo()->applicationMarketingVersion());
  ASSERT_TRUE(report->hasProcessInfo());
  EXPECT_FALSE(report->processInfo()->processName());
  EXPECT_FALSE(report->processInfo()->processPath());
  EXPECT_FALSE(report->processInfo()->parentProcessName());
  EXPECT_FALSE(report->processInfo()->processStartTime());
  EXPECT_TRUE(report->threads()[0]->stackFrames().empty());
  EXPECT_TRUE(report->threads()[0]->registers().empty());
  EXPECT_FALSE(report->exceptionInfo()->stackFrames());
  ASSERT_NE(report->machExceptionInfo(), nullptr);
  EXPECT_TRUE(report->machExceptionInfo()->codes().empty());
}

TEST(CrashReportTest, HeaderIsCheckedBeforeDecoding) {
  const std::string body = "\x0a\x00";
  struct Case {
    std::string file;
    std::string description;
  } cases[] = {
      {"", "Could not decode truncated crash log"},
      {"crshrpt", "Could not decode truncated crash log"},
      {std::string("crshrpt\x01", 8), "Could not decode truncated crash log"},
      {std::string("crshrpx\x01", 8) + body, "Could not decode invalid crash log header"},
      {std::string("CRSHRPT\x01", 8) + body, "Could not decode invalid crash log header"},
      {std::string("crshrpt\x02", 8) + body, "Could not decode unsupported crash report version: 2"},
      {std::string("crshrpt\x00", 8) + body, "Could not decode unsupported crash report version: 0"},
      {std::string("crshrpt\x01\x00", 9), "An unknown error occured decoding the crash report"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.description);
    expectRejected(bytesOf(c.file), c.description);
  }
}

TEST(CrashReportTest, MissingOrMalformedSectionsAreRejected) {
  const std::string unknown = "An unknown error occured decoding the crash report";
  struct Case {
    const char* name;
    std::function<void(test::ReportRecord&)> change;
    std::string description;
  } cases[] = {
      {"no system information", [](auto& r) { r.systemInfo.reset(); }, unknown},
      {"no OS version", [](auto& r) { r.systemInfo->osVersion.reset(); }, unknown},
      {"no application information", [](auto& r) { r.applicationInfo.reset(); }, unknown},
      {"no application version", [](auto& r) { r.applicationInfo->version.reset(); }, unknown},
      {"no signal", [](auto& r) { r.signal.reset(); }, unknown},
      {"no signal code", [](auto& r) { r.signal->code.reset(); }, unknown},
      {"register without name", [](auto& r) { r.threads[1].registers[0].name.reset(); }, unknown},
      {"image without name", [](auto& r) { r.images[1].name.reset(); }, unknown},
      {"exception without reason", [](auto& r) { r.exception->reason.reset(); }, unknown},
      {"no threads", [](auto& r) { r.threads.clear(); }, "Crash report is missing thread state information"},
      {"no images", [](auto& r) { r.images.clear(); }, "Crash report is missing binary image information"},
      {"15-byte report UUID", [](auto& r) { r.reportInfo->uuid->pop_back(); },
       "Report UUID value is not a standard 16 bytes"},
      {"empty report UUID", [](auto& r) { r.reportInfo->uuid->clear(); },
       "Report UUID value is not a standard 16 bytes"},
      {"256 Mach exception codes", [](auto& r) { r.signal->machException->codes.assign(256, 7); },
       "Crash report includes too many Mach Exception codes"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::ReportRecord record = test::sampleReport();
    c.change(record);
    expectRejected(test::encodeReportFile(record), c.description);
  }
}

TEST(CrashReportTest, AFailureWithoutAnErrorPointerOnlyReturnsNull) {
  EXPECT_EQ(CrashReport::initWithData(bytesOf("crshrpt"), nullptr), nullptr);
}

TEST(CrashReportTest, TheMostMachExceptionCodesDecodeInOrder) {
  test::ReportRecord record = test::sampleReport();
  std::vector<std::uint64_t> codes(255);
  for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = i * 3;
  record.signal->machException->codes = codes;
  const auto report = CrashReport::initWithData(test::encodeReportFile(record));
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->machExceptionInfo()->codes(), codes);
}

TEST(CrashReportTest, ImageForAddressFindsTheFirstImageHoldingIt) {
  test::ReportRecord record = test::sampleReport();
  record.images = {
      {0x1000, 0x1000, "/a", std::nullopt, std::nullopt},
      {0x1800, 0x1000, "/overlaps-a", std::nullopt, std::nullopt},
      {0x3000, 0, "/empty", std::nullopt, std::nullopt},
      {0xFFFFFFFFFFFFF000, 0x1000, "/top", std::nullopt, std::nullopt},
  };
  const auto report = CrashReport::initWithData(test::encodeReportFile(record));
  ASSERT_NE(report, nullptr);

  const struct {
    std::uint64_t address;
    const char* image;  // null: none
  } cases[] = {
      {0x0FFF, nullptr},
      {0x1000, "/a"},
      {0x1FFF, "/a"},
      {0x2000, "/overlaps-a"},  // the end of /a belongs to the next image that holds it
      {0x27FF, "/overlaps-a"},
      {0x2800, nullptr},
      {0x3000, nullptr},  // an image of size 0 holds nothing
      {0xFFFFFFFFFFFFEFFF, nullptr},
      {0xFFFFFFFFFFFFF000, "/top"},
      {0xFFFFFFFFFFFFFFFF, "/top"},  // base + size wraps to 0
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const auto image = report->imageForAddress(c.address);
    if (c.image == nullptr) {
      EXPECT_EQ(image, nullptr);
    } else {
      ASSERT_NE(image, nullptr);
      EXPECT_EQ(image->imageName(), c.image);
    }
  }
}

// Decoding must end in a report or in the reader's error, never in a crash; a decoded report must
// render.
void expectHandled(const Bytes& file) {
  foundation::Error error;
  const auto report = CrashReport::initWithData(file, &error);
  if (report) {
    EXPECT_FALSE(CrashReportTextFormatter::stringValueForCrashReport(*report, CrashReportTextFormat::Standard).empty());
  } else {
    ASSERT_EQ(error.domain(), CrashReporterErrorDomain);
    ASSERT_EQ(error.code(), CrashReporterErrorCrashReportInvalid);
    ASSERT_FALSE(error.localizedDescription().empty());
  }
}

TEST(CrashReportTest, EveryTruncationOfAReportIsRejected) {
  const Bytes file = test::encodeReportFile(test::sampleReport());
  ASSERT_NE(CrashReport::initWithData(file), nullptr);
  // The signal comes last, so every cut loses it or leaves it short.
  for (std::size_t length = 0; length < file.size(); ++length) {
    foundation::Error error;
    ASSERT_EQ(CrashReport::initWithData(std::span(file.data(), length), &error), nullptr) << length;
    ASSERT_EQ(error.code(), CrashReporterErrorCrashReportInvalid);
  }
}

TEST(CrashReportTest, MutatedReportsAreDecodedOrRejectedWithoutFault) {
  const test::LogCapture quiet;  // mutated systems make the formatter log
  const Bytes original = test::encodeReportFile(test::sampleReport());
  std::mt19937 random(20240611);
  auto below = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
  int decoded = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes file = original;
    const int mutations = 1 + static_cast<int>(below(4));
    for (int m = 0; m < mutations && file.size() > 8; ++m) {
      const std::size_t at = 8 + below(file.size() - 8);  // keep the header, so the message is tried
      switch (below(5)) {
        case 0: file[at] ^= static_cast<std::uint8_t>(1u << below(8)); break;
        case 1: file[at] = static_cast<std::uint8_t>(below(256)); break;
        case 2: file.resize(at); break;
        case 3:
          file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(below(256)));
          break;
        case 4: {  // repeat a piece, as a torn write might
          const std::size_t length = below(std::min<std::size_t>(32, file.size() - at)) + 1;
          const Bytes piece(file.begin() + static_cast<std::ptrdiff_t>(at),
                            file.begin() + static_cast<std::ptrdiff_t>(at + length));
          file.insert(file.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
          break;
        }
      }
    }
    expectHandled(file);
    if (::testing::Test::HasFatalFailure()) return;
    decoded += CrashReport::initWithData(file) != nullptr;
  }
  // Most mutations break a message; some (a flipped value bit) leave it readable.
  EXPECT_GT(decoded, 0);
  EXPECT_LT(decoded, 20000);
}

TEST(CrashReportTest, RandomBytesAfterAValidHeaderAreHandled) {
  const test::LogCapture quiet;
  std::mt19937 random(7);
  for (int round = 0; round < 5000; ++round) {
    Bytes file{'c', 'r', 's', 'h', 'r', 'p', 't', 1};
    const std::size_t length = std::uniform_int_distribution<std::size_t>(1, 300)(random);
    for (std::size_t i = 0; i < length; ++i) file.push_back(static_cast<std::uint8_t>(random()));
    expectHandled(file);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(CrashReportTest, KeptFuzzInputsAreHandled) {
  const std::filesystem::path folder = QM_TEST_FIXTURES;
  const test::LogCapture quiet;
  int kept = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() != ".crash") continue;
    SCOPED_TRACE(entry.path().string());
    std::ifstream in(entry.path(), std::ios::binary);
    expectHandled(Bytes(std::istreambuf_iterator<char>(in), {}));
    ++kept;
  }
  EXPECT_GT(kept, 0);
}

}  // namespace
