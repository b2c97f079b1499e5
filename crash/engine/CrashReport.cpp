#include "crash/engine/CrashReport.h"

#include <cstring>
#include <string>
#include <utility>

#include "crash/engine/CrashReporterError.h"
#include "crash/engine/crashreport.pb-c.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/String.h"

namespace {

constexpr char kMagic[] = "crshrpt";
constexpr std::size_t kMagicLength = 7;
constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kHeaderLength = kMagicLength + 1;
constexpr std::size_t kMaxMachExceptionCodes = 255;

using Message = Crashreport__CrashReport;

// The first fault met while decoding; caught in initWithData and turned into the error.
struct DecodeFailure {
  std::string description;
};

std::string localized(const std::string& text) {
  return foundation::Bundle::mainBundle()->localizedStringForKey(text, "", "");
}

[[noreturn]] void fail(std::string description) { throw DecodeFailure{std::move(description)}; }

// Texts that begin with "Crash report" are looked up for translation; the others stand as they are.
[[noreturn]] void failLocalized(const std::string& text) { fail(localized(text)); }

std::optional<std::string> optionalString(const char* text) {
  if (text == nullptr) return std::nullopt;
  return std::string(text);
}

// The file's enumeration values as stored. The runtime keeps any 32-bit number it reads for an
// enumeration, and reading one outside the generated type's range through that type is undefined,
// so the bytes are read as a plain integer.
template <typename Enum>
std::int32_t enumValue(const Enum& field) {
  static_assert(sizeof(Enum) == sizeof(std::int32_t));
  std::int32_t value;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

struct UnpackedDeleter {
  void operator()(Message* message) const { crashreport__crash_report__free_unpacked(message, nullptr); }
};

}  // namespace

// Builds the sections of a report from the unpacked message, one after the other in a fixed
// order, and throws DecodeFailure at the first fault, so that the error names the first one met.
class CrashReportDecoder {
 public:
  static void decode(const Message& message, CrashReport& report) {
    report.uuidRef_ = reportUUID(message.report_info);
    report.systemInfo_ = systemInfo(message.system_info);
    if (message.machine_info != nullptr) report.machineInfo_ = machineInfo(message.machine_info);
    report.applicationInfo_ = applicationInfo(message.application_info);
    if (message.process_info != nullptr) report.processInfo_ = processInfo(message.process_info);
    report.signalInfo_ = signalInfo(message.signal);
    if (message.signal->mach_exception != nullptr) {
      report.machExceptionInfo_ = machExceptionInfo(message.signal->mach_exception);
    }
    report.threads_ = threads(message);
    report.images_ = images(message);
    if (message.exception != nullptr) report.exceptionInfo_ = exceptionInfo(message.exception);
  }

 private:
  static std::optional<foundation::UUID> reportUUID(const Crashreport__CrashReport__ReportInfo* info) {
    if (info == nullptr || !info->has_uuid) return std::nullopt;
    if (info->uuid.len != 16) fail("Report UUID value is not a standard 16 bytes");
    foundation::UUID::Bytes bytes;
    std::memcpy(bytes.data(), info->uuid.data, bytes.size());
    return foundation::UUID(bytes);
  }

  static std::shared_ptr<const CrashReportSystemInfo> systemInfo(const Crashreport__CrashReport__SystemInfo* info) {
    if (info == nullptr) failLocalized("Crash report is missing System Information section");
    if (info->os_version == nullptr) failLocalized("Crash report is missing System Information OS version field");
    std::optional<foundation::Date> timestamp;
    if (info->timestamp != 0) {
      timestamp = foundation::Date::fromTimeIntervalSince1970(static_cast<double>(info->timestamp));
    }
    return std::make_shared<CrashReportSystemInfo>(
        static_cast<CrashReportOperatingSystem>(enumValue(info->operating_system)), info->os_version,
        optionalString(info->os_build), static_cast<CrashReportArchitecture>(enumValue(info->architecture)),
        timestamp);
  }

  static std::shared_ptr<const CrashReportProcessorInfo> processorInfo(
      const Crashreport__CrashReport__Processor* processor) {
    if (processor == nullptr) failLocalized("Crash report is missing processor info section");
    return std::make_shared<CrashReportProcessorInfo>(
        static_cast<CrashReportProcessorTypeEncoding>(enumValue(processor->encoding)), processor->type,
        processor->subtype);
  }

  static std::shared_ptr<const CrashReportMachineInfo> machineInfo(const Crashreport__CrashReport__MachineInfo* info) {
    std::shared_ptr<const CrashReportProcessorInfo> processor;
    if (info->processor != nullptr) processor = processorInfo(info->processor);
    return std::make_shared<CrashReportMachineInfo>(optionalString(info->model), std::move(processor),
                                                    info->processor_count, info->logical_processor_count);
  }

  static std::shared_ptr<const CrashReportApplicationInfo> applicationInfo(
      const Crashreport__CrashReport__ApplicationInfo* info) {
    if (info == nullptr) failLocalized("Crash report is missing Application Information section");
    if (info->identifier == nullptr) {
      failLocalized("Crash report is missing Application Information app identifier field");
    }
    if (info->version == nullptr) failLocalized("Crash report is missing Application Information app version field");
    return std::make_shared<CrashReportApplicationInfo>(info->identifier, info->version,
                                                        optionalString(info->marketing_version));
  }

  static std::shared_ptr<const CrashReportProcessInfo> processInfo(const Crashreport__CrashReport__ProcessInfo* info) {
    std::optional<foundation::Date> startTime;
    if (info->has_start_time) {
      startTime = foundation::Date::fromTimeIntervalSince1970(static_cast<double>(info->start_time));
    }
    return std::make_shared<CrashReportProcessInfo>(
        optionalString(info->process_name), info->process_id, optionalString(info->process_path), startTime,
        optionalString(info->parent_process_name), info->parent_process_id, info->native != 0);
  }

  static std::shared_ptr<const CrashReportSignalInfo> signalInfo(const Crashreport__CrashReport__Signal* signal) {
    if (signal == nullptr) failLocalized("Crash report is missing Signal Information section");
    if (signal->name == nullptr) failLocalized("Crash report is missing signal name field");
    if (signal->code == nullptr) failLocalized("Crash report is missing signal code field");
    return std::make_shared<CrashReportSignalInfo>(signal->name, signal->code, signal->address);
  }

  static std::shared_ptr<const CrashReportMachExceptionInfo> machExceptionInfo(
      const Crashreport__CrashReport__Signal__MachException* exception) {
    if (exception->n_codes > kMaxMachExceptionCodes) {
      failLocalized("Crash report includes too many Mach Exception codes");
    }
    return std::make_shared<CrashReportMachExceptionInfo>(
        exception->type, std::vector<std::uint64_t>(exception->codes, exception->codes + exception->n_codes));
  }

  static std::shared_ptr<const CrashReportSymbolInfo> symbolInfo(const Crashreport__CrashReport__Symbol* symbol) {
    if (symbol == nullptr) failLocalized("Crash report is missing symbol information");
    return std::make_shared<CrashReportSymbolInfo>(symbol->name, symbol->start_address,
                                                   symbol->has_end_address ? symbol->end_address : 0);
  }

  static std::shared_ptr<const CrashReportStackFrameInfo> stackFrame(
      const Crashreport__CrashReport__Thread__StackFrame* frame) {
    if (frame == nullptr) failLocalized("Crash report is missing stack frame information");
    std::shared_ptr<const CrashReportSymbolInfo> symbol;
    if (frame->symbol != nullptr) symbol = symbolInfo(frame->symbol);
    return std::make_shared<CrashReportStackFrameInfo>(frame->pc, std::move(symbol));
  }

  static CrashReportStackFrames stackFrames(Crashreport__CrashReport__Thread__StackFrame* const* frames,
                                            std::size_t count) {
    CrashReportStackFrames result;
    result.reserve(count);
    for (std::size_t i = 0; i < count; ++i) result.push_back(stackFrame(frames[i]));
    return result;
  }

  static std::vector<std::shared_ptr<const CrashReportThreadInfo>> threads(const Message& message) {
    if (message.n_threads == 0) failLocalized("Crash report is missing thread state information");
    std::vector<std::shared_ptr<const CrashReportThreadInfo>> result;
    result.reserve(message.n_threads);
    for (std::size_t i = 0; i < message.n_threads; ++i) {
      const auto* thread = message.threads[i];
      CrashReportStackFrames frames = stackFrames(thread->frames, thread->n_frames);
      std::vector<std::shared_ptr<const CrashReportRegisterInfo>> registers;
      registers.reserve(thread->n_registers);
      for (std::size_t r = 0; r < thread->n_registers; ++r) {
        const auto* value = thread->registers[r];
        if (value->name == nullptr) fail("Missing register name in register value");
        registers.push_back(std::make_shared<CrashReportRegisterInfo>(value->name, value->value));
      }
      result.push_back(std::make_shared<CrashReportThreadInfo>(thread->thread_number, std::move(frames),
                                                               thread->crashed != 0, std::move(registers)));
    }
    return result;
  }

  static std::vector<std::shared_ptr<const CrashReportBinaryImageInfo>> images(const Message& message) {
    if (message.n_binary_images == 0) failLocalized("Crash report is missing binary image information");
    std::vector<std::shared_ptr<const CrashReportBinaryImageInfo>> result;
    result.reserve(message.n_binary_images);
    for (std::size_t i = 0; i < message.n_binary_images; ++i) {
      const auto* image = message.binary_images[i];
      if (image->name == nullptr) fail("Missing image name in image record");
      std::optional<foundation::Data> uuid;
      if (image->has_uuid) uuid = foundation::Data(image->uuid.data, image->uuid.data + image->uuid.len);
      std::shared_ptr<const CrashReportProcessorInfo> codeType;
      if (image->code_type != nullptr) codeType = processorInfo(image->code_type);
      result.push_back(std::make_shared<CrashReportBinaryImageInfo>(std::move(codeType), image->base_address,
                                                                    image->size, image->name, uuid));
    }
    return result;
  }

  static std::shared_ptr<const CrashReportExceptionInfo> exceptionInfo(
      const Crashreport__CrashReport__Exception* exception) {
    if (exception->name == nullptr) failLocalized("Crash report is missing exception name field");
    if (exception->reason == nullptr) failLocalized("Crash report is missing exception reason field");
    std::optional<CrashReportStackFrames> frames;
    if (exception->n_frames > 0) frames = stackFrames(exception->frames, exception->n_frames);
    return std::make_shared<CrashReportExceptionInfo>(exception->name, exception->reason, std::move(frames));
  }
};

std::shared_ptr<const CrashReport> CrashReport::initWithData(std::span<const std::uint8_t> data,
                                                             foundation::Error* error) {
  try {
    if (data.size() <= kHeaderLength) fail(localized("Could not decode truncated crash log"));
    if (std::memcmp(data.data(), kMagic, kMagicLength) != 0) {
      fail(localized("Could not decode invalid crash log header"));
    }
    if (data[kMagicLength] != kVersion) {
      fail(foundation::stringWithFormat(localized("Could not decode unsupported crash report version: %d"),
                                        static_cast<int>(data[kMagicLength])));
    }
    std::unique_ptr<Message, UnpackedDeleter> message(
        crashreport__crash_report__unpack(nullptr, data.size() - kHeaderLength, data.data() + kHeaderLength));
    if (message == nullptr) failLocalized("An unknown error occured decoding the crash report");

    // Every value is copied out of the message, which is freed on return.
    std::shared_ptr<CrashReport> report(new CrashReport());
    CrashReportDecoder::decode(*message, *report);
    return report;
  } catch (const DecodeFailure& failure) {
    if (error != nullptr) {
      *error = foundation::Error::withDescription(CrashReporterErrorDomain, CrashReporterErrorCrashReportInvalid,
                                                  failure.description);
    }
    return nullptr;
  }
}

std::shared_ptr<const CrashReportBinaryImageInfo> CrashReport::imageForAddress(std::uint64_t address) const {
  for (const auto& image : images_) {
    // Measured from the base, so that an image at the top of the address space (where base + size
    // would wrap past zero) still holds its addresses.
    if (address >= image->imageBaseAddress() && address - image->imageBaseAddress() < image->imageSize()) {
      return image;
    }
  }
  return nullptr;
}
