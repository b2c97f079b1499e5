#pragma once
// CrashReport is a crash report file decoded into read-only sections: system, machine,
// application, process, signal and exception information, the threads with their frames and
// registers, and the loaded images. The crash service reads pending reports through it at the
// next launch, and the text formatter renders it.
//
// A report never changes after decoding and may be read from any thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "crash/engine/CrashReportInfo.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/UUID.h"

class CrashReport {
 public:
  // Decodes the bytes of a report file ("crshrpt", version 1, then the report message). Returns
  // the report, or null on any fault of the data (too short, wrong magic or version, a message
  // that does not decode, a section that is missing or malformed), then setting `*error` when
  // given to the first fault met: domain CrashReporterErrorDomain, code 2, and its description.
  // Reads nothing outside `data` and keeps no reference to it.
  static std::shared_ptr<const CrashReport> initWithData(std::span<const std::uint8_t> data,
                                                         foundation::Error* error = nullptr);

  const std::shared_ptr<const CrashReportSystemInfo>& systemInfo() const { return systemInfo_; }
  bool hasMachineInfo() const { return machineInfo_ != nullptr; }
  // Null when the report has none.
  const std::shared_ptr<const CrashReportMachineInfo>& machineInfo() const { return machineInfo_; }
  const std::shared_ptr<const CrashReportApplicationInfo>& applicationInfo() const { return applicationInfo_; }
  bool hasProcessInfo() const { return processInfo_ != nullptr; }
  // Null when the report has none.
  const std::shared_ptr<const CrashReportProcessInfo>& processInfo() const { return processInfo_; }
  const std::shared_ptr<const CrashReportSignalInfo>& signalInfo() const { return signalInfo_; }
  // Null unless the crash came as a Mach exception.
  const std::shared_ptr<const CrashReportMachExceptionInfo>& machExceptionInfo() const { return machExceptionInfo_; }
  // At least one, in file order.
  const std::vector<std::shared_ptr<const CrashReportThreadInfo>>& threads() const { return threads_; }
  // At least one, in file order.
  const std::vector<std::shared_ptr<const CrashReportBinaryImageInfo>>& images() const { return images_; }
  bool hasExceptionInfo() const { return exceptionInfo_ != nullptr; }
  // Null unless an uncaught exception ended the process.
  const std::shared_ptr<const CrashReportExceptionInfo>& exceptionInfo() const { return exceptionInfo_; }
  // The report's own identifier, when the file carries one.
  const std::optional<foundation::UUID>& uuidRef() const { return uuidRef_; }

  // The first image, in `images()` order, whose range [base, base + size) holds `address`; null
  // when none does. An image reaching the top of the address space holds the addresses up to it.
  std::shared_ptr<const CrashReportBinaryImageInfo> imageForAddress(std::uint64_t address) const;

 private:
  CrashReport() = default;
  friend class CrashReportDecoder;

  std::shared_ptr<const CrashReportSystemInfo> systemInfo_;
  std::shared_ptr<const CrashReportMachineInfo> machineInfo_;
  std::shared_ptr<const CrashReportApplicationInfo> applicationInfo_;
  std::shared_ptr<const CrashReportProcessInfo> processInfo_;
  std::shared_ptr<const CrashReportSignalInfo> signalInfo_;
  std::shared_ptr<const CrashReportMachExceptionInfo> machExceptionInfo_;
  std::vector<std::shared_ptr<const CrashReportThreadInfo>> threads_;
  std::vector<std::shared_ptr<const CrashReportBinaryImageInfo>> images_;
  std::shared_ptr<const CrashReportExceptionInfo> exceptionInfo_;
  std::optional<foundation::UUID> uuidRef_;
};
