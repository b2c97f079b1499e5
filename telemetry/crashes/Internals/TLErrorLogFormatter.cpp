#include "telemetry/crashes/Internals/TLErrorLogFormatter.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

#include "crash/engine/CrashAsyncMachO.h"
#include "crash/engine/CrashAsyncMObject.h"
#include "platform/foundation/Path.h"
#include "platform/foundation/RegularExpression.h"
#include "platform/foundation/String.h"
#include "platform/foundation/SystemPaths.h"
#include "platform/kernel/KernelTypes.h"
#include "platform/kernel/LoaderImages.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceTracker.h"
#include "telemetry/core/TLLogger.h"
#include "telemetry/crashes/TLCrashesConstants.h"

namespace {

using foundation::stringWithFormat;

constexpr const char* kUnknown = "???";
constexpr const char* kUserFolderPattern = "(/home/[^/]+/)";
constexpr const char* kAnonymizedUserFolder = "/home/USER/";
// Images loaded from here are the application's own runtime libraries, not its code.
constexpr const char* kSwiftRuntimeFolder = "frameworks/libswift";
constexpr const char* kSelectorSegment = "__TEXT";
constexpr const char* kSelectorSection = "__objc_methname";

// Mach CPU types.
constexpr std::uint64_t kCPUTypeX86 = 7;
constexpr std::uint64_t kCPUTypeX86_64 = 0x1000007;
constexpr std::uint64_t kCPUTypeARM = 12;
constexpr std::uint64_t kCPUTypeARM64 = 0x100000C;
constexpr std::uint64_t kCPUTypePowerPC = 18;

// A whole second of crash time is made to end just before the next, so that the crash sorts
// after the logs written in its last second.
constexpr double kWholeSecondCrashTimeOffset = 0.999;

// The sources set from outside; read under the lock, used after it is let go.
struct Sources {
  std::mutex mutex;
  std::function<std::optional<foundation::UUID>()> installId;
  std::function<std::shared_ptr<TLWrapperException>(const std::string&)> wrapperException;
  std::optional<std::string> installPrefix;
  std::optional<std::vector<TLErrorLogFormatter::LoadedImage>> loadedImages;
};

Sources& sources() {
  static Sources shared;
  return shared;
}

template <class T>
T sourceValue(T Sources::*member) {
  Sources& shared = sources();
  std::lock_guard lock(shared.mutex);
  return shared.*member;
}

template <class T>
void setSource(T Sources::*member, T value) {
  Sources& shared = sources();
  std::lock_guard lock(shared.mutex);
  shared.*member = std::move(value);
}

std::optional<std::uint64_t> codeTypeOfArchitecture(CrashReportArchitecture architecture) {
  switch (architecture) {
    case CrashReportArchitecture::X86_32: return kCPUTypeX86;
    case CrashReportArchitecture::X86_64: return kCPUTypeX86_64;
    case CrashReportArchitecture::ARMv6: return kCPUTypeARM;
    case CrashReportArchitecture::PPC: return kCPUTypePowerPC;
    case CrashReportArchitecture::ARMv7: return kCPUTypeARM;
    default: return std::nullopt;
  }
}

bool hasMachCodeType(const CrashReportBinaryImageInfo& image) {
  return image.codeType() && image.codeType()->typeEncoding() == CrashReportProcessorTypeEncoding::Mach;
}

std::optional<std::string> processPathOf(const CrashReport& report) {
  if (!report.hasProcessInfo()) return std::nullopt;
  return report.processInfo()->processPath();
}

// The folder the application is installed in, standardized, lower-cased and ending in "/";
// nothing when it cannot be told.
std::optional<std::string> installPrefix() {
  std::string prefix = sourceValue(&Sources::installPrefix).value_or(foundation::SystemPaths::executableDirectory());
  if (prefix.empty()) return std::nullopt;
  prefix = foundation::lowercase(foundation::standardizingPath(prefix));
  if (prefix.back() != '/') prefix += '/';
  return prefix;
}

std::vector<TLErrorLogFormatter::LoadedImage> loadedImages() {
  if (auto images = sourceValue(&Sources::loadedImages)) return *images;
  std::vector<TLErrorLogFormatter::LoadedImage> images;
  kernel::loader_images(
      [](const kernel::loader_image& image, void* context) {
        auto* list = static_cast<std::vector<TLErrorLogFormatter::LoadedImage>*>(context);
        list->push_back({image.header_address, image.path != nullptr ? image.path : ""});
      },
      &images);
  return images;
}

std::string hexText(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += stringWithFormat("%02X", static_cast<unsigned>(bytes[i]));
  return text;
}

// The zero-terminated text at `address` inside the mapped section, searched for its terminator
// from the byte after `address` on; nothing when the address is outside or no terminator follows.
std::optional<std::string> textInSection(const crash_async_mobject& section, std::uint64_t address) {
  const std::uint64_t start = crash_async_mobject_base_address(&section);
  const std::uint64_t length = crash_async_mobject_length(&section);
  if (address < start || address - start >= length) return std::nullopt;
  const auto* bytes = static_cast<const char*>(crash_async_mobject_remap_address(&section, start, 0, length));
  if (bytes == nullptr) return std::nullopt;
  const std::uint64_t offset = address - start;
  const void* terminator = std::memchr(bytes + offset + 1, 0, length - offset - 1);
  if (terminator == nullptr) return std::nullopt;
  return std::string(bytes + offset);
}

// The selector text in this process's copy of `path`: the first loaded image of that path,
// whose UUID matches, decides. Step 6 of the search is done on the copy's own addresses.
std::optional<std::string> selectorInLoadedImage(const std::string& path, const std::optional<std::string>& uuid,
                                                 std::uint64_t registerOffset) {
  for (const TLErrorLogFormatter::LoadedImage& loaded : loadedImages()) {
    if (loaded.header == 0 || loaded.path.empty() || loaded.path != path) continue;
    crash_async_macho image{};
    if (crash_nasync_macho_init(&image, kernel::task_self(), loaded.path.c_str(), loaded.header) != CRASH_ESUCCESS) {
      continue;
    }
    std::uint8_t bytes[16];
    const bool sameImage = crash_async_macho_uuid(&image, bytes) == CRASH_ESUCCESS && uuid &&
                           foundation::lowercase(hexText(bytes, sizeof bytes)) == *uuid;
    if (!sameImage) {
      crash_nasync_macho_free(&image);
      continue;
    }
    std::optional<std::string> selector;
    crash_async_mobject section{};
    if (crash_async_macho_map_section(&image, kSelectorSegment, kSelectorSection, &section) == CRASH_ESUCCESS) {
      selector = textInSection(section, loaded.header + registerOffset);
      crash_async_mobject_free(&section);
    }
    crash_nasync_macho_free(&image);
    return selector;
  }
  return std::nullopt;
}

std::shared_ptr<TLStackFrame> frameWithAddress(std::uint64_t address, bool is64bit) {
  auto frame = std::make_shared<TLStackFrame>();
  frame->address = TLErrorLogFormatter::formatAddress(address, is64bit);
  return frame;
}

// The uncaught exception with the frames of where it was thrown; null when it has none.
std::shared_ptr<TLException> lastException(const CrashReport& report, bool is64bit) {
  if (!report.hasExceptionInfo()) return nullptr;
  const CrashReportExceptionInfo& info = *report.exceptionInfo();
  if (!info.stackFrames() || info.stackFrames()->empty()) return nullptr;
  std::vector<std::shared_ptr<TLStackFrame>> frames;
  for (const auto& frame : *info.stackFrames()) frames.push_back(frameWithAddress(frame->instructionPointer(), is64bit));
  auto exception = std::make_shared<TLException>();
  exception->message = info.exceptionReason();
  exception->frames = std::move(frames);
  exception->type = info.exceptionName().empty() ? report.signalInfo()->name() : info.exceptionName();
  return exception;
}

}  // namespace

// ---- Conversions ----------------------------------------------------------------------------------

std::shared_ptr<TLAppleErrorLog> TLErrorLogFormatter::errorLogFromCrashReport(const CrashReport& report) {
  auto log = std::make_shared<TLAppleErrorLog>();
  const std::optional<std::uint64_t> codeType = extractCodeTypeFromReport(report);
  const bool is64bit = isCodeType64bit(codeType);

  log->errorId = errorIdForCrashReport(report);
  addProcessInfoAndApplicationPathTo(log, report);
  const auto crashedThread = findCrashedThreadInReport(report);
  log->errorThreadId = crashedThread ? crashedThread->threadNumber() : 0;
  log->fatal = true;
  log->appLaunchTimestamp = getAppLaunchTimeFromReport(report);

  std::optional<foundation::Date> crashTime = getCrashTimeFromReport(report);
  if (crashTime) {
    // std::trunc rather than a cast: a cast to a narrower integer is undefined for times past its
    // range (2038 for 32 bits).
    const double seconds = crashTime->timeIntervalSince1970();
    if (std::trunc(seconds) == seconds) {
      crashTime = foundation::Date::fromTimeIntervalSince1970(seconds + kWholeSecondCrashTimeOffset);
    }
  }
  log->setTimestamp(crashTime);

  for (const auto& image : report.images()) {
    if (!hasMachCodeType(*image)) continue;
    log->primaryArchitectureId = static_cast<std::int64_t>(image->codeType()->type());
    log->architectureVariantId = static_cast<std::int64_t>(image->codeType()->subtype());
  }

  const CrashReportSignalInfo& signal = *report.signalInfo();
  log->osExceptionType = signal.name();
  log->osExceptionCode = signal.code();
  log->osExceptionAddress = stringWithFormat("0x%llx", static_cast<unsigned long long>(signal.address()));
  log->exceptionReason = extractExceptionReasonFromReport(report);
  if (report.hasExceptionInfo()) log->exceptionType = report.exceptionInfo()->exceptionName();
  log->selectorRegisterValue = selectorRegisterValueFromReport(report, crashedThread, is64bit);
  log->threads = extractThreadsFromReport(report, crashedThread, is64bit);
  log->registers = extractRegistersFromCrashedThread(crashedThread, is64bit);
  log->binaries = extractBinaryImagesFromReport(report, codeType, is64bit);
  log->setDevice(TLDeviceTracker().deviceForTimestamp(log->timestamp()));

  if (const auto incident = uuidRefToString(report.uuidRef())) {
    const auto loader = sourceValue(&Sources::wrapperException);
    if (loader) {
      if (const auto wrapper = loader(*incident)) log->exception = wrapper->modelException;
    }
  }
  return log;
}

std::shared_ptr<TLErrorReport> TLErrorLogFormatter::errorReportFromCrashReport(
    const std::shared_ptr<const CrashReport>& report) {
  if (!report) return nullptr;
  return errorReportFromLog(*errorLogFromCrashReport(*report));
}

std::shared_ptr<TLErrorReport> TLErrorLogFormatter::errorReportFromLog(const TLAppleErrorLog& log) {
  std::string reporterKey;
  if (const auto provider = sourceValue(&Sources::installId)) {
    if (const auto installId = provider()) reporterKey = installId->UUIDString();
  }
  return std::make_shared<TLErrorReport>(
      log.errorId, reporterKey, log.osExceptionType, log.exceptionType, log.exceptionReason, log.appLaunchTimestamp,
      log.timestamp(), TLDeviceTracker::sharedInstance()->deviceForTimestamp(log.timestamp()),
      static_cast<std::uint64_t>(log.processId.value_or(0)));
}

// ---- Steps ----------------------------------------------------------------------------------------

std::string TLErrorLogFormatter::errorIdForCrashReport(const CrashReport& report) {
  return uuidRefToString(report.uuidRef()).value_or(foundation::UUID().UUIDString());
}

const std::shared_ptr<TLAppleErrorLog>& TLErrorLogFormatter::addProcessInfoAndApplicationPathTo(
    const std::shared_ptr<TLAppleErrorLog>& log, const CrashReport& report) {
  log->processId = 0;
  log->processName = kUnknown;
  log->parentProcessName = kUnknown;
  log->parentProcessId.reset();
  log->applicationPath = kUnknown;
  if (!report.hasProcessInfo()) return log;
  const CrashReportProcessInfo& process = *report.processInfo();
  log->processId = static_cast<std::int64_t>(process.processID());
  if (process.processName()) log->processName = *process.processName();
  if (process.processPath()) log->applicationPath = anonymizedPathFromPath(*process.processPath());
  if (process.parentProcessName()) log->parentProcessName = *process.parentProcessName();
  log->parentProcessId = static_cast<std::int64_t>(process.parentProcessID());
  return log;
}

std::optional<foundation::Date> TLErrorLogFormatter::getAppLaunchTimeFromReport(const CrashReport& report) {
  if (report.hasProcessInfo()) return report.processInfo()->processStartTime();
  return report.systemInfo()->timestamp();
}

std::optional<foundation::Date> TLErrorLogFormatter::getCrashTimeFromReport(const CrashReport& report) {
  return report.systemInfo()->timestamp();
}

std::shared_ptr<const CrashReportThreadInfo> TLErrorLogFormatter::findCrashedThreadInReport(const CrashReport& report) {
  for (const auto& thread : report.threads()) {
    if (thread->crashed()) return thread;
  }
  return nullptr;
}

std::optional<std::uint64_t> TLErrorLogFormatter::extractCodeTypeFromReport(const CrashReport& report) {
  for (const auto& image : report.images()) {
    if (hasMachCodeType(*image)) return image->codeType()->type();
    if (const auto codeType = codeTypeOfArchitecture(report.systemInfo()->architecture())) return codeType;
  }
  return std::nullopt;
}

bool TLErrorLogFormatter::isCodeType64bit(std::optional<std::uint64_t> codeType) {
  return codeType == kCPUTypeX86_64 || codeType == kCPUTypeARM64;
}

std::optional<std::string> TLErrorLogFormatter::extractExceptionReasonFromReport(const CrashReport& report) {
  if (!report.hasExceptionInfo()) return std::nullopt;
  return report.exceptionInfo()->exceptionReason();
}

std::optional<std::string> TLErrorLogFormatter::selectorRegisterValueFromReport(
    const CrashReport& report, const std::shared_ptr<const CrashReportThreadInfo>& crashedThread, bool is64bit) {
  if (!crashedThread) return std::nullopt;
  if (is64bit) return selectorForRegisterWithName("x1", *crashedThread, report);
  if (auto selector = selectorForRegisterWithName("r1", *crashedThread, report)) return selector;
  return selectorForRegisterWithName("r2", *crashedThread, report);
}

std::optional<std::string> TLErrorLogFormatter::selectorForRegisterWithName(const std::string& name,
                                                                           const CrashReportThreadInfo& thread,
                                                                           const CrashReport& report) {
  const auto& registers = thread.registers();
  const auto found = std::find_if(registers.begin(), registers.end(),
                                  [&](const auto& candidate) { return candidate->registerName() == name; });
  if (found == registers.end() || (*found)->registerValue() == 0) return std::nullopt;
  const std::uint64_t value = (*found)->registerValue();
  const auto image = report.imageForAddress(value);
  if (!image) return std::nullopt;
  return selectorInLoadedImage(image->imageName(), image->imageUUID(), value - image->imageBaseAddress());
}

std::vector<std::shared_ptr<TLThread>> TLErrorLogFormatter::extractThreadsFromReport(
    const CrashReport& report, const std::shared_ptr<const CrashReportThreadInfo>& crashedThread, bool is64bit) {
  const auto exception = lastException(report, is64bit);
  std::vector<std::shared_ptr<TLThread>> threads;
  for (const auto& info : report.threads()) {
    auto thread = std::make_shared<TLThread>();
    thread->threadId = info->threadNumber();
    if (crashedThread && exception && info->threadNumber() == crashedThread->threadNumber()) {
      thread->exception = exception;
    }
    for (const auto& frameInfo : info->stackFrames()) {
      auto frame = frameWithAddress(frameInfo->instructionPointer(), is64bit);
      frame->code = formatStackFrame(*frameInfo, report);
      thread->frames->push_back(std::move(frame));
    }
    threads.push_back(std::move(thread));
  }
  return threads;
}

std::string TLErrorLogFormatter::formatStackFrame(const CrashReportStackFrameInfo& frame, const CrashReport& report) {
  const std::uint64_t pc = frame.instructionPointer();
  const auto image = report.imageForAddress(normalizeAddress(pc, true));
  const std::uint64_t base = image ? image->imageBaseAddress() : 0;
  const std::uint64_t offset = image ? pc - base : 0;
  const std::optional<std::string> imagePath = image ? std::optional(image->imageName()) : std::nullopt;

  const auto& symbol = frame.symbolInfo();
  if (imageTypeForImagePath(imagePath, processPathOf(report)) == TLBinaryImageTypeOther && symbol) {
    std::string name = symbol->symbolName();
    if (name.size() >= 2 && name.front() == '_') {
      if (report.systemInfo()->operatingSystem() == CrashReportOperatingSystem::iPhoneSimulator) {
        name.erase(0, 1);
      } else {
        TLLogWarning(kTLCrashesLogTag, "Symbol prefix rules are unknown for this OS!");
      }
    }
    return stringWithFormat("%@ + %lld", name, static_cast<long long>(pc - symbol->startAddress()));
  }
  return stringWithFormat("0x%llx + %lld", static_cast<unsigned long long>(base), static_cast<long long>(offset));
}

foundation::Dictionary TLErrorLogFormatter::extractRegistersFromCrashedThread(
    const std::shared_ptr<const CrashReportThreadInfo>& crashedThread, bool is64bit) {
  foundation::Dictionary registers;
  if (!crashedThread) return registers;
  for (const auto& info : crashedThread->registers()) {
    registers.set(info->registerName(), formatAddress(info->registerValue(), is64bit));
  }
  return registers;
}

std::vector<std::shared_ptr<TLBinary>> TLErrorLogFormatter::extractBinaryImagesFromReport(
    const CrashReport& report, std::optional<std::uint64_t> codeType, bool is64bit) {
  const std::vector<std::uint64_t> addresses = addressesFromReport(report, is64bit);
  auto images = report.images();
  std::stable_sort(images.begin(), images.end(), [](const auto& a, const auto& b) {
    return a->imageBaseAddress() < b->imageBaseAddress();
  });

  const std::optional<std::string> processPath = processPathOf(report);
  std::vector<std::shared_ptr<TLBinary>> binaries;
  for (const auto& image : images) {
    const std::uint64_t start = image->imageBaseAddress();
    const std::uint64_t end = start + std::max<std::uint64_t>(image->imageSize(), 1) - 1;
    const bool hasFrame = isBinaryWithStart(start, end, addresses);
    if (!hasFrame && imageTypeForImagePath(image->imageName(), processPath) == TLBinaryImageTypeOther) continue;

    auto binary = std::make_shared<TLBinary>();
    binary->binaryId = image->imageUUID().value_or(kUnknown);
    binary->startAddress = formatAddress(start, is64bit);
    binary->endAddress = formatAddress(end, is64bit);
    binary->path = anonymizedPathFromPath(image->imageName());
    binary->name = foundation::lastPathComponent(image->imageName());
    if (codeType) binary->primaryArchitectureId = static_cast<std::int64_t>(*codeType);
    binary->architectureVariantId = image->codeType() ? static_cast<std::int64_t>(image->codeType()->subtype()) : 0;
    binaries.push_back(std::move(binary));
  }
  return binaries;
}

std::vector<std::uint64_t> TLErrorLogFormatter::addressesFromReport(const CrashReport& report, bool is64bit) {
  std::vector<std::uint64_t> addresses;
  if (report.hasExceptionInfo() && report.exceptionInfo()->stackFrames()) {
    for (const auto& frame : *report.exceptionInfo()->stackFrames()) {
      addresses.push_back(normalizeAddress(frame->instructionPointer(), is64bit));
    }
  }
  for (const auto& thread : report.threads()) {
    for (const auto& frame : thread->stackFrames()) addresses.push_back(normalizeAddress(frame->instructionPointer(), is64bit));
    for (const auto& info : thread->registers()) addresses.push_back(normalizeAddress(info->registerValue(), is64bit));
  }
  return addresses;
}

bool TLErrorLogFormatter::isBinaryWithStart(std::uint64_t start, std::uint64_t end,
                                            const std::vector<std::uint64_t>& addresses) {
  return std::any_of(addresses.begin(), addresses.end(),
                     [&](std::uint64_t address) { return start <= address && address <= end; });
}

TLBinaryImageType TLErrorLogFormatter::imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                                             const std::optional<std::string>& processPath) {
  if (!imagePath || !processPath) return TLBinaryImageTypeOther;
  const std::string standardized = foundation::lowercase(foundation::standardizingPath(*imagePath));
  const std::string image = foundation::lowercase(*imagePath);
  const std::string process = foundation::lowercase(*processPath);
  // Where the image really lies decides, not how its path was written.
  const std::optional<std::string> prefix = installPrefix();
  const bool installed = prefix && standardized.starts_with(*prefix);
  if (!installed || (standardized.find(kSwiftRuntimeFolder) != std::string::npos && standardized.ends_with(".dylib"))) {
    return TLBinaryImageTypeOther;
  }
  if (standardized == process || image.starts_with(process)) return TLBinaryImageTypeAppBinary;
  return TLBinaryImageTypeAppFramework;
}

std::string TLErrorLogFormatter::anonymizedPathFromPath(const std::string& path) {
  if (!path.empty() && path.starts_with("/home/")) {
    foundation::Error error;
    static const auto expression = foundation::RegularExpression::create(kUserFolderPattern, 0, &error);
    if (!expression) {
      TLLogError(kTLCrashesLogTag, "Couldn't create regular expression with pattern\"%@\": %@", kUserFolderPattern,
                 error.description());
      return {};
    }
    return expression->stringByReplacingMatches(path, kAnonymizedUserFolder);
  }
  if (path.empty() || path.find("home") != std::string::npos) return {};
  return path;
}

std::optional<std::string> TLErrorLogFormatter::uuidRefToString(const std::optional<foundation::UUID>& uuid) {
  if (!uuid) return std::nullopt;
  return uuid->UUIDString();
}

std::uint64_t TLErrorLogFormatter::normalizeAddress(std::uint64_t address, bool) { return address; }

std::string TLErrorLogFormatter::formatAddress(std::uint64_t address, bool is64bit) {
  return stringWithFormat("0x%0*llx", is64bit ? 16 : 8, static_cast<unsigned long long>(address));
}

// ---- Sources --------------------------------------------------------------------------------------

void TLErrorLogFormatter::setInstallIdProvider(std::function<std::optional<foundation::UUID>()> provider) {
  setSource(&Sources::installId, std::move(provider));
}

void TLErrorLogFormatter::setWrapperExceptionLoader(
    std::function<std::shared_ptr<TLWrapperException>(const std::string& incidentIdentifier)> loader) {
  setSource(&Sources::wrapperException, std::move(loader));
}

void TLErrorLogFormatter::setInstallPrefixForTesting(std::optional<std::string> prefix) {
  setSource(&Sources::installPrefix, std::move(prefix));
}

void TLErrorLogFormatter::setLoadedImagesForTesting(std::optional<std::vector<LoadedImage>> images) {
  setSource(&Sources::loadedImages, std::move(images));
}
