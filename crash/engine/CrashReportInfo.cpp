#include "crash/engine/CrashReportInfo.h"

#include <utility>

CrashReportSystemInfo::CrashReportSystemInfo(CrashReportOperatingSystem operatingSystem,
                                             std::string operatingSystemVersion,
                                             std::optional<std::string> operatingSystemBuild,
                                             CrashReportArchitecture architecture,
                                             std::optional<foundation::Date> timestamp)
    : operatingSystem_(operatingSystem),
      operatingSystemVersion_(std::move(operatingSystemVersion)),
      operatingSystemBuild_(std::move(operatingSystemBuild)),
      architecture_(architecture),
      timestamp_(timestamp) {}

CrashReportMachineInfo::CrashReportMachineInfo(std::optional<std::string> modelName,
                                               std::shared_ptr<const CrashReportProcessorInfo> processorInfo,
                                               std::uint64_t processorCount,
                                               std::uint64_t logicalProcessorCount)
    : modelName_(std::move(modelName)),
      processorInfo_(std::move(processorInfo)),
      processorCount_(processorCount),
      logicalProcessorCount_(logicalProcessorCount) {}

CrashReportApplicationInfo::CrashReportApplicationInfo(std::string applicationIdentifier,
                                                       std::string applicationVersion,
                                                       std::optional<std::string> applicationMarketingVersion)
    : applicationIdentifier_(std::move(applicationIdentifier)),
      applicationVersion_(std::move(applicationVersion)),
      applicationMarketingVersion_(std::move(applicationMarketingVersion)) {}

CrashReportProcessInfo::CrashReportProcessInfo(std::optional<std::string> processName,
                                               std::uint64_t processID,
                                               std::optional<std::string> processPath,
                                               std::optional<foundation::Date> processStartTime,
                                               std::optional<std::string> parentProcessName,
                                               std::uint64_t parentProcessID, bool native)
    : processName_(std::move(processName)),
      processID_(processID),
      processPath_(std::move(processPath)),
      processStartTime_(processStartTime),
      parentProcessName_(std::move(parentProcessName)),
      parentProcessID_(parentProcessID),
      native_(native) {}

CrashReportSignalInfo::CrashReportSignalInfo(std::string name, std::string code, std::uint64_t address)
    : name_(std::move(name)), code_(std::move(code)), address_(address) {}

CrashReportMachExceptionInfo::CrashReportMachExceptionInfo(std::uint64_t type,
                                                           std::vector<std::uint64_t> codes)
    : type_(type), codes_(std::move(codes)) {}

CrashReportSymbolInfo::CrashReportSymbolInfo(std::string symbolName, std::uint64_t startAddress,
                                             std::uint64_t endAddress)
    : symbolName_(std::move(symbolName)), startAddress_(startAddress), endAddress_(endAddress) {}

CrashReportStackFrameInfo::CrashReportStackFrameInfo(std::uint64_t instructionPointer,
                                                     std::shared_ptr<const CrashReportSymbolInfo> symbolInfo)
    : instructionPointer_(instructionPointer), symbolInfo_(std::move(symbolInfo)) {}

CrashReportRegisterInfo::CrashReportRegisterInfo(std::string registerName, std::uint64_t registerValue)
    : registerName_(std::move(registerName)), registerValue_(registerValue) {}

CrashReportThreadInfo::CrashReportThreadInfo(
    std::int64_t threadNumber, CrashReportStackFrames stackFrames, bool crashed,
    std::vector<std::shared_ptr<const CrashReportRegisterInfo>> registers)
    : threadNumber_(threadNumber),
      stackFrames_(std::move(stackFrames)),
      crashed_(crashed),
      registers_(std::move(registers)) {}

CrashReportExceptionInfo::CrashReportExceptionInfo(std::string exceptionName, std::string exceptionReason,
                                                   std::optional<CrashReportStackFrames> stackFrames)
    : exceptionName_(std::move(exceptionName)),
      exceptionReason_(std::move(exceptionReason)),
      stackFrames_(std::move(stackFrames)) {}

CrashReportBinaryImageInfo::CrashReportBinaryImageInfo(std::shared_ptr<const CrashReportProcessorInfo> codeType,
                                                       std::uint64_t baseAddress, std::uint64_t size,
                                                       std::string name,
                                                       const std::optional<foundation::Data>& uuid)
    : codeType_(std::move(codeType)), imageBaseAddress_(baseAddress), imageSize_(size), imageName_(std::move(name)) {
  if (!uuid) return;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(uuid->size() * 2);
  for (const std::uint8_t byte : *uuid) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0x0F];
  }
  imageUUID_ = std::move(hex);
}
