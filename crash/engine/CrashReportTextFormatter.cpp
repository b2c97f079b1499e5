#include "crash/engine/CrashReportTextFormatter.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "platform/foundation/Log.h"
#include "platform/foundation/String.h"

namespace {

constexpr const char* kUnknown = "???";

// The Mach CPU types the text names.
constexpr std::uint64_t kCPUArchABI64 = 0x01000000;
constexpr std::uint64_t kCPUArchMask = 0xFF000000;
constexpr std::uint64_t kCPUTypeX86 = 7;
constexpr std::uint64_t kCPUTypeARM = 12;
constexpr std::uint64_t kCPUTypePowerPC = 18;
constexpr std::uint64_t kCPUTypeX86_64 = kCPUTypeX86 | kCPUArchABI64;
constexpr std::uint64_t kCPUTypeARM64 = kCPUTypeARM | kCPUArchABI64;

struct CodeType {
  std::string name;
  bool lp64;
};

std::string orUnknown(const std::optional<std::string>& text) { return text ? *text : kUnknown; }

bool isMach(const std::shared_ptr<const CrashReportProcessorInfo>& processor) {
  return processor != nullptr && processor->typeEncoding() == CrashReportProcessorTypeEncoding::Mach;
}

// The last component of a path, as the platform's path functions give it ("/a/b/" gives "b").
std::string lastPathComponent(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  if (path == "/") return "/";
  const std::size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string operatingSystemName(CrashReportOperatingSystem os) {
  switch (os) {
    case CrashReportOperatingSystem::MacOSX:
    case CrashReportOperatingSystem::iPhoneSimulator:
      return "Mac OS X";
    case CrashReportOperatingSystem::iPhoneOS:
      return "iPhone OS";
    case CrashReportOperatingSystem::AppleTVOS:
      return "Apple tvOS";
    default:
      return foundation::stringWithFormat("Unknown (%d)", static_cast<int>(os));
  }
}

// The code type of the process: that of the first image with a known Mach CPU type, else the
// one the system architecture implies.
CodeType codeTypeOf(const CrashReport& report) {
  for (const auto& image : report.images()) {
    if (!isMach(image->codeType())) continue;
    switch (image->codeType()->type()) {
      case kCPUTypeX86: return {"X86", false};
      case kCPUTypeARM: return {"ARM", false};
      case kCPUTypePowerPC: return {"PPC", false};
      case kCPUTypeX86_64: return {"X86-64", true};
      case kCPUTypeARM64: return {"ARM-64", true};
      default: break;
    }
  }
  const auto architecture = report.systemInfo()->architecture();
  switch (architecture) {
    case CrashReportArchitecture::X86_32: return {"X86", false};
    case CrashReportArchitecture::X86_64: return {"X86-64", true};
    case CrashReportArchitecture::ARMv6:
    case CrashReportArchitecture::ARMv7: return {"ARM", false};
    case CrashReportArchitecture::PPC: return {"PPC", false};
    default: return {foundation::stringWithFormat("Unknown (%d)", static_cast<int>(architecture)), true};
  }
}

std::string imageArchitectureName(const std::shared_ptr<const CrashReportProcessorInfo>& codeType) {
  if (!isMach(codeType)) return kUnknown;
  const std::uint64_t subtype = codeType->subtype();
  switch (codeType->type()) {
    case kCPUTypeX86: return "i386";
    case kCPUTypeARM:
      if (subtype == 6) return "armv6";
      if (subtype == 9) return "armv7";
      if (subtype == 11) return "armv7s";
      return "arm-unknown";
    case kCPUTypePowerPC: return "powerpc";
    case kCPUTypeX86_64: return "x86_64";
    case kCPUTypeARM64:
      if (subtype == 0) return "arm64";
      if (subtype == 13) return "armv8";
      return "arm64-unknown";
    default: return kUnknown;
  }
}

std::string header(const CrashReport& report, const CodeType& codeType) {
  const auto& system = *report.systemInfo();
  const auto& application = *report.applicationInfo();
  const auto& process = report.processInfo();
  std::string out;

  out += foundation::stringWithFormat("Incident Identifier: %@\n",
                                      report.uuidRef() ? report.uuidRef()->UUIDString() : kUnknown);
  out += "CrashReporter Key:   TODO\n";
  std::optional<std::string> model;
  if (report.machineInfo()) model = report.machineInfo()->modelName();
  out += foundation::stringWithFormat("Hardware Model:      %@\n", orUnknown(model));

  std::string processName = kUnknown, processID = kUnknown, processPath = kUnknown;
  std::string parentName = kUnknown, parentID = kUnknown;
  if (process) {
    processName = orUnknown(process->processName());
    processID = std::to_string(process->processID());
    processPath = orUnknown(process->processPath());
    parentName = orUnknown(process->parentProcessName());
    parentID = std::to_string(process->parentProcessID());
  }
  out += foundation::stringWithFormat("Process:         %@ [%@]\n", processName, processID);
  out += foundation::stringWithFormat("Path:            %@\n", processPath);
  out += foundation::stringWithFormat("Identifier:      %@\n", application.applicationIdentifier());
  const std::string version =
      application.applicationMarketingVersion()
          ? foundation::stringWithFormat("%@ (%@)", *application.applicationMarketingVersion(),
                                         application.applicationVersion())
          : application.applicationVersion();
  out += foundation::stringWithFormat("Version:         %@\n", version);
  out += foundation::stringWithFormat("Code Type:       %@\n", codeType.name);
  out += foundation::stringWithFormat("Parent Process:  %@ [%@]\n", parentName, parentID);
  out += "\n";

  // A missing date shows as a missing object does.
  const std::string date = system.timestamp() ? foundation::Value(*system.timestamp()).description() : "(null)";
  out += foundation::stringWithFormat("Date/Time:       %@\n", date);
  out += foundation::stringWithFormat("OS Version:      %@ %@ (%@)\n", operatingSystemName(system.operatingSystem()),
                                      system.operatingSystemVersion(), orUnknown(system.operatingSystemBuild()));
  out += "Report Version:  104\n";
  out += "\n";

  const auto& signal = *report.signalInfo();
  out += foundation::stringWithFormat("Exception Type:  %@\n", signal.name());
  out += foundation::stringWithFormat("Exception Codes: %@ at 0x%llx\n", signal.code(), signal.address());
  for (const auto& thread : report.threads()) {
    if (thread->crashed()) {
      out += foundation::stringWithFormat("Crashed Thread:  %ld\n", thread->threadNumber());
      break;
    }
  }
  out += "\n";
  return out;
}

std::string stackFrames(const CrashReportStackFrames& frames, const CrashReport& report, bool lp64) {
  std::string out;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    out += CrashReportTextFormatter::formatStackFrame(*frames[i], static_cast<std::int64_t>(i), report, lp64);
  }
  return out;
}

std::string threadState(const CrashReportThreadInfo& thread, const CrashReport& report, const CodeType& codeType) {
  std::string out = foundation::stringWithFormat("Thread %ld crashed with %@ Thread State:\n", thread.threadNumber(),
                                                 codeType.name);
  // ARM names its intra-procedure scratch register ip.
  bool arm = false;
  if (report.machineInfo() && isMach(report.machineInfo()->processorInfo())) {
    arm = (report.machineInfo()->processorInfo()->type() & ~kCPUArchMask) == kCPUTypeARM;
  }
  const char* format = codeType.lp64 ? "%6s: 0x%016llx " : "%6s: 0x%08llx ";
  const auto& registers = thread.registers();
  for (std::size_t i = 0; i < registers.size(); ++i) {
    std::string name = registers[i]->registerName();
    if (arm && name == "r12") name = "ip";
    out += foundation::stringWithFormat(format, name, registers[i]->registerValue());
    if ((i + 1) % 4 == 0) out += "\n";
  }
  if (registers.size() % 4 != 0) out += "\n";
  out += "\n";
  return out;
}

std::string binaryImages(const CrashReport& report, const CodeType& codeType) {
  std::vector<std::shared_ptr<const CrashReportBinaryImageInfo>> images = report.images();
  std::stable_sort(images.begin(), images.end(), [](const auto& a, const auto& b) {
    return a->imageBaseAddress() < b->imageBaseAddress();
  });
  const std::optional<std::string> processPath =
      report.processInfo() ? report.processInfo()->processPath() : std::nullopt;
  const char* format = codeType.lp64 ? "%#18llx - %#18llx %@%@ %@  <%@> %@\n" : "%#10llx - %#10llx %@%@ %@  <%@> %@\n";

  std::string out = "Binary Images:\n";
  for (const auto& image : images) {
    const std::uint64_t base = image->imageBaseAddress();
    const std::uint64_t end = image->imageSize() == 0 ? base : base + image->imageSize() - 1;
    const char* marker = processPath && *processPath == image->imageName() ? "+" : " ";
    out += foundation::stringWithFormat(format, base, end, marker, lastPathComponent(image->imageName()),
                                        imageArchitectureName(image->codeType()), orUnknown(image->imageUUID()),
                                        image->imageName());
  }
  return out;
}

}  // namespace

std::optional<foundation::Data> CrashReportTextFormatter::formatReport(const CrashReport& report,
                                                                       foundation::Error*) const {
  return foundation::dataUsingEncoding(stringValueForCrashReport(report, textFormat_), stringEncoding_, true);
}

std::string CrashReportTextFormatter::stringValueForCrashReport(const CrashReport& report, CrashReportTextFormat) {
  const CodeType codeType = codeTypeOf(report);
  std::string out = header(report, codeType);

  if (const auto& exception = report.exceptionInfo()) {
    out += "Application Specific Information:\n";
    out += foundation::stringWithFormat("*** Terminating app due to uncaught exception '%@', reason: '%@'\n",
                                        exception->exceptionName(), exception->exceptionReason());
    out += "\n";
    if (exception->stackFrames() && !exception->stackFrames()->empty()) {
      out += "Last Exception Backtrace:\n";
      out += stackFrames(*exception->stackFrames(), report, codeType.lp64);
      out += "\n";
    }
  }

  std::shared_ptr<const CrashReportThreadInfo> crashed;
  for (const auto& thread : report.threads()) {
    if (thread->crashed()) {
      out += foundation::stringWithFormat("Thread %ld Crashed:\n", thread->threadNumber());
      crashed = thread;
    } else {
      out += foundation::stringWithFormat("Thread %ld:\n", thread->threadNumber());
    }
    out += stackFrames(thread->stackFrames(), report, codeType.lp64);
    out += "\n";
  }

  if (crashed) out += threadState(*crashed, report, codeType);
  out += binaryImages(report, codeType);
  return out;
}

std::string CrashReportTextFormatter::formatStackFrame(const CrashReportStackFrameInfo& frame,
                                                       std::int64_t frameIndex, const CrashReport& report,
                                                       bool lp64) {
  const std::uint64_t pc = frame.instructionPointer();
  const auto image = report.imageForAddress(pc);
  const std::string imageName = image ? lastPathComponent(image->imageName()) : kUnknown;

  std::string location;
  if (const auto& symbol = frame.symbolInfo()) {
    std::string name = symbol->symbolName();
    switch (report.systemInfo()->operatingSystem()) {
      case CrashReportOperatingSystem::MacOSX:
      case CrashReportOperatingSystem::iPhoneOS:
      case CrashReportOperatingSystem::iPhoneSimulator:
      case CrashReportOperatingSystem::AppleTVOS:
        // These systems prefix C symbol names with "_".
        if (name.size() > 1 && name.front() == '_') name.erase(0, 1);
        break;
      default:
        foundation::NSLog("Symbol prefix rules are unknown for this OS!");
        break;
    }
    location = foundation::stringWithFormat("%@ + %lld", name, static_cast<std::int64_t>(pc - symbol->startAddress()));
  } else {
    const std::uint64_t base = image ? image->imageBaseAddress() : 0;
    const std::int64_t offset = image ? static_cast<std::int64_t>(pc - base) : 0;
    location = foundation::stringWithFormat("0x%llx + %lld", base, offset);
  }

  return foundation::stringWithFormat("%-4ld%-35S 0x%0*llx %@\n", frameIndex, foundation::utf16(imageName),
                                      lp64 ? 16 : 8, pc, location);
}
