#pragma once
// Builds crash report files for the tests the way the crash-time writer does: field by field
// through crash_writer_pack, each nested message sized in a dry run first, top-level sections in
// the writer's order. Required fields are optional here so that a test can leave one out.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "crash/engine/CrashWriterPack.h"

namespace test {

struct SymbolRecord {
  std::string name;
  std::uint64_t start = 0;
  std::optional<std::uint64_t> end;
};

struct FrameRecord {
  std::uint64_t pc = 0;
  std::optional<SymbolRecord> symbol;
};

struct RegisterRecord {
  std::optional<std::string> name;
  std::uint64_t value = 0;
};

struct ThreadRecord {
  std::uint32_t number = 0;
  std::vector<FrameRecord> frames;
  bool crashed = false;
  std::vector<RegisterRecord> registers;
};

struct ProcessorRecord {
  std::int32_t encoding = 1;  // Mach
  std::uint64_t type = 0;
  std::uint64_t subtype = 0;
};

struct ImageRecord {
  std::uint64_t base = 0;
  std::uint64_t size = 0;
  std::optional<std::string> name;
  std::optional<std::vector<std::uint8_t>> uuid;
  std::optional<ProcessorRecord> codeType;
};

struct ReportInfoRecord {
  bool userRequested = false;
  std::optional<std::vector<std::uint8_t>> uuid;
};

struct SystemInfoRecord {
  std::optional<std::int32_t> operatingSystem = 0;  // MAC_OS_X
  std::optional<std::string> osVersion = "10.15.7";
  std::optional<std::string> osBuild;
  std::int32_t architecture = 1;  // X86_64
  std::int64_t timestamp = 0;
};

struct MachineInfoRecord {
  std::optional<std::string> model;
  ProcessorRecord processor;
  std::uint32_t processorCount = 0;
  std::uint32_t logicalProcessorCount = 0;
};

struct ApplicationInfoRecord {
  std::optional<std::string> identifier = "org.example.app";
  std::optional<std::string> version = "1";
  std::optional<std::string> marketingVersion;
};

struct ProcessInfoRecord {
  std::optional<std::string> name;
  std::uint32_t pid = 0;
  std::optional<std::string> path;
  std::optional<std::string> parentName;
  std::uint32_t parentPid = 0;
  bool native = true;
  std::optional<std::uint64_t> startTime;
};

struct MachExceptionRecord {
  std::uint64_t type = 0;
  std::vector<std::uint64_t> codes;
};

struct SignalRecord {
  std::optional<std::string> name = "SIGSEGV";
  std::optional<std::string> code = "SEGV_MAPERR";
  std::uint64_t address = 0;
  std::optional<MachExceptionRecord> machException;
};

struct ExceptionRecord {
  std::optional<std::string> name;
  std::optional<std::string> reason;
  std::vector<FrameRecord> frames;
};

struct ReportRecord {
  std::optional<ReportInfoRecord> reportInfo;
  std::optional<SystemInfoRecord> systemInfo = SystemInfoRecord{};
  std::optional<MachineInfoRecord> machineInfo;
  std::optional<ApplicationInfoRecord> applicationInfo = ApplicationInfoRecord{};
  std::optional<ProcessInfoRecord> processInfo;
  std::vector<ThreadRecord> threads;
  std::vector<ImageRecord> images;
  std::optional<ExceptionRecord> exception;
  std::optional<SignalRecord> signal = SignalRecord{};
};

// An output that appends to `bytes`.
crash_writer_output vectorOutput(std::vector<std::uint8_t>& bytes);

// The message alone, without the file header.
std::vector<std::uint8_t> encodeMessage(const ReportRecord& report);
// The whole file: "crshrpt", version 1, then the message.
std::vector<std::uint8_t> encodeReportFile(const ReportRecord& report);

// A complete report of a crashed 64-bit x86 process: report UUID, machine and process
// information, a Mach exception, an uncaught exception with frames, two threads (the second
// crashed, with nine registers and a symbolicated frame) and three images.
ReportRecord sampleReport();

}  // namespace test
