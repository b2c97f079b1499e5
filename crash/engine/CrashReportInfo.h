#pragma once
// The sections of a decoded crash report: plain immutable values that CrashReport builds from a
// report file and hands out through shared pointers (null where a section or value is absent).
// Each constructor takes every property in the order listed. Safe to read from any thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Value.h"

// The operating system a report comes from; the file may hold values outside this list.
enum class CrashReportOperatingSystem : std::int32_t {
  MacOSX = 0,
  iPhoneOS = 1,
  iPhoneSimulator = 2,
  Unknown = 3,
  AppleTVOS = 4,
};

// The architecture of the crashed process; the file may hold values outside this list.
enum class CrashReportArchitecture : std::int32_t {
  X86_32 = 0,
  X86_64 = 1,
  ARMv6 = 2,
  PPC = 3,
  PPC64 = 4,
  ARMv7 = 5,
  Unknown = 6,
};

// How a processor record's type and subtype are to be read.
enum class CrashReportProcessorTypeEncoding : std::int32_t {
  Unknown = 0,  // their meaning is not defined
  Mach = 1,     // a Mach CPU type and CPU subtype
};

// The operating system and architecture the report was written on, and when.
class CrashReportSystemInfo {
 public:
  CrashReportSystemInfo(CrashReportOperatingSystem operatingSystem, std::string operatingSystemVersion,
                        std::optional<std::string> operatingSystemBuild,
                        CrashReportArchitecture architecture, std::optional<foundation::Date> timestamp);
  CrashReportSystemInfo(CrashReportOperatingSystem operatingSystem, std::string operatingSystemVersion,
                        CrashReportArchitecture architecture, std::optional<foundation::Date> timestamp)
      : CrashReportSystemInfo(operatingSystem, std::move(operatingSystemVersion), std::nullopt,
                              architecture, timestamp) {}

  CrashReportOperatingSystem operatingSystem() const { return operatingSystem_; }
  const std::string& operatingSystemVersion() const { return operatingSystemVersion_; }
  const std::optional<std::string>& operatingSystemBuild() const { return operatingSystemBuild_; }
  CrashReportArchitecture architecture() const { return architecture_; }
  // When the crash happened; none when the writer could not tell.
  const std::optional<foundation::Date>& timestamp() const { return timestamp_; }

 private:
  CrashReportOperatingSystem operatingSystem_;
  std::string operatingSystemVersion_;
  std::optional<std::string> operatingSystemBuild_;
  CrashReportArchitecture architecture_;
  std::optional<foundation::Date> timestamp_;
};

// A processor (of the machine, or the code type of an image).
class CrashReportProcessorInfo {
 public:
  CrashReportProcessorInfo(CrashReportProcessorTypeEncoding typeEncoding, std::uint64_t type,
                           std::uint64_t subtype)
      : typeEncoding_(typeEncoding), type_(type), subtype_(subtype) {}

  CrashReportProcessorTypeEncoding typeEncoding() const { return typeEncoding_; }
  std::uint64_t type() const { return type_; }
  std::uint64_t subtype() const { return subtype_; }

 private:
  CrashReportProcessorTypeEncoding typeEncoding_;
  std::uint64_t type_;
  std::uint64_t subtype_;
};

// The computer the process ran on.
class CrashReportMachineInfo {
 public:
  CrashReportMachineInfo(std::optional<std::string> modelName,
                         std::shared_ptr<const CrashReportProcessorInfo> processorInfo,
                         std::uint64_t processorCount, std::uint64_t logicalProcessorCount);

  const std::optional<std::string>& modelName() const { return modelName_; }
  const std::shared_ptr<const CrashReportProcessorInfo>& processorInfo() const { return processorInfo_; }
  std::uint64_t processorCount() const { return processorCount_; }
  std::uint64_t logicalProcessorCount() const { return logicalProcessorCount_; }

 private:
  std::optional<std::string> modelName_;
  std::shared_ptr<const CrashReportProcessorInfo> processorInfo_;
  std::uint64_t processorCount_;
  std::uint64_t logicalProcessorCount_;
};

// The application that crashed, as its bundle names it.
class CrashReportApplicationInfo {
 public:
  CrashReportApplicationInfo(std::string applicationIdentifier, std::string applicationVersion,
                             std::optional<std::string> applicationMarketingVersion);

  const std::string& applicationIdentifier() const { return applicationIdentifier_; }
  const std::string& applicationVersion() const { return applicationVersion_; }
  const std::optional<std::string>& applicationMarketingVersion() const { return applicationMarketingVersion_; }

 private:
  std::string applicationIdentifier_;
  std::string applicationVersion_;
  std::optional<std::string> applicationMarketingVersion_;
};

// The crashed process and its parent.
class CrashReportProcessInfo {
 public:
  CrashReportProcessInfo(std::optional<std::string> processName, std::uint64_t processID,
                         std::optional<std::string> processPath,
                         std::optional<foundation::Date> processStartTime,
                         std::optional<std::string> parentProcessName, std::uint64_t parentProcessID,
                         bool native);

  const std::optional<std::string>& processName() const { return processName_; }
  std::uint64_t processID() const { return processID_; }
  const std::optional<std::string>& processPath() const { return processPath_; }
  const std::optional<foundation::Date>& processStartTime() const { return processStartTime_; }
  const std::optional<std::string>& parentProcessName() const { return parentProcessName_; }
  std::uint64_t parentProcessID() const { return parentProcessID_; }
  bool native() const { return native_; }

 private:
  std::optional<std::string> processName_;
  std::uint64_t processID_;
  std::optional<std::string> processPath_;
  std::optional<foundation::Date> processStartTime_;
  std::optional<std::string> parentProcessName_;
  std::uint64_t parentProcessID_;
  bool native_;
};

// The signal that ended the process, named as the writer named it ("SIGSEGV", "SEGV_MAPERR").
class CrashReportSignalInfo {
 public:
  CrashReportSignalInfo(std::string name, std::string code, std::uint64_t address);

  const std::string& name() const { return name_; }
  const std::string& code() const { return code_; }
  std::uint64_t address() const { return address_; }

 private:
  std::string name_;
  std::string code_;
  std::uint64_t address_;
};

// The Mach exception the signal was mapped from.
class CrashReportMachExceptionInfo {
 public:
  CrashReportMachExceptionInfo(std::uint64_t type, std::vector<std::uint64_t> codes);

  std::uint64_t type() const { return type_; }
  // In file order.
  const std::vector<std::uint64_t>& codes() const { return codes_; }

 private:
  std::uint64_t type_;
  std::vector<std::uint64_t> codes_;
};

// The symbol a stack frame lies in.
class CrashReportSymbolInfo {
 public:
  CrashReportSymbolInfo(std::string symbolName, std::uint64_t startAddress, std::uint64_t endAddress);

  const std::string& symbolName() const { return symbolName_; }
  std::uint64_t startAddress() const { return startAddress_; }
  // 0 when the report has none.
  std::uint64_t endAddress() const { return endAddress_; }

 private:
  std::string symbolName_;
  std::uint64_t startAddress_;
  std::uint64_t endAddress_;
};

// One frame of a call stack.
class CrashReportStackFrameInfo {
 public:
  CrashReportStackFrameInfo(std::uint64_t instructionPointer,
                            std::shared_ptr<const CrashReportSymbolInfo> symbolInfo);

  std::uint64_t instructionPointer() const { return instructionPointer_; }
  // Null when the frame was not symbolicated.
  const std::shared_ptr<const CrashReportSymbolInfo>& symbolInfo() const { return symbolInfo_; }

 private:
  std::uint64_t instructionPointer_;
  std::shared_ptr<const CrashReportSymbolInfo> symbolInfo_;
};

using CrashReportStackFrames = std::vector<std::shared_ptr<const CrashReportStackFrameInfo>>;

// One register of the crashed thread, by name.
class CrashReportRegisterInfo {
 public:
  CrashReportRegisterInfo(std::string registerName, std::uint64_t registerValue);

  const std::string& registerName() const { return registerName_; }
  std::uint64_t registerValue() const { return registerValue_; }

 private:
  std::string registerName_;
  std::uint64_t registerValue_;
};

// One thread of the process at the time of the crash.
class CrashReportThreadInfo {
 public:
  CrashReportThreadInfo(std::int64_t threadNumber, CrashReportStackFrames stackFrames, bool crashed,
                        std::vector<std::shared_ptr<const CrashReportRegisterInfo>> registers);

  std::int64_t threadNumber() const { return threadNumber_; }
  // Innermost frame first.
  const CrashReportStackFrames& stackFrames() const { return stackFrames_; }
  bool crashed() const { return crashed_; }
  // Only the crashed thread carries registers, those of its innermost frame.
  const std::vector<std::shared_ptr<const CrashReportRegisterInfo>>& registers() const { return registers_; }

 private:
  std::int64_t threadNumber_;
  CrashReportStackFrames stackFrames_;
  bool crashed_;
  std::vector<std::shared_ptr<const CrashReportRegisterInfo>> registers_;
};

// An uncaught exception that ended the process.
class CrashReportExceptionInfo {
 public:
  CrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason,
                           std::optional<CrashReportStackFrames> stackFrames = std::nullopt);

  const std::string& exceptionName() const { return exceptionName_; }
  const std::string& exceptionReason() const { return exceptionReason_; }
  // The exception's call stack; none when the report holds no frame for it.
  const std::optional<CrashReportStackFrames>& stackFrames() const { return stackFrames_; }

 private:
  std::string exceptionName_;
  std::string exceptionReason_;
  std::optional<CrashReportStackFrames> stackFrames_;
};

// A loaded image (executable or library) of the crashed process.
class CrashReportBinaryImageInfo {
 public:
  // `uuid` is the image's UUID as bytes, when it has one.
  CrashReportBinaryImageInfo(std::shared_ptr<const CrashReportProcessorInfo> codeType,
                             std::uint64_t baseAddress, std::uint64_t size, std::string name,
                             const std::optional<foundation::Data>& uuid);

  // Null when the report does not say.
  const std::shared_ptr<const CrashReportProcessorInfo>& codeType() const { return codeType_; }
  std::uint64_t imageBaseAddress() const { return imageBaseAddress_; }
  std::uint64_t imageSize() const { return imageSize_; }
  // The image's full path.
  const std::string& imageName() const { return imageName_; }
  bool hasImageUUID() const { return imageUUID_.has_value(); }
  // The UUID bytes as lower-case hexadecimal, two digits a byte, no separators.
  const std::optional<std::string>& imageUUID() const { return imageUUID_; }

 private:
  std::shared_ptr<const CrashReportProcessorInfo> codeType_;
  std::uint64_t imageBaseAddress_;
  std::uint64_t imageSize_;
  std::string imageName_;
  std::optional<std::string> imageUUID_;
};
