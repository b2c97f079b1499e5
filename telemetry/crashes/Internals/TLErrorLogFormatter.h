#pragma once
// TLErrorLogFormatter turns a decoded crash report into the error log the crash service sends
// (with its threads, frames, registers and the images that matter) and such a log into the error
// report its delegate is shown. It runs at the next launch, when the service processes stored
// reports, and whenever the service needs the report of a log it is sending.
//
// Images are told apart by where they live. The application is installed in one folder, the
// install prefix (the folder of the running executable): the crashed executable is the
// application binary, any other image in that folder the application's own library, and every
// other image a system library. Paths that name a user's home folder ("/home/<name>/") are
// anonymised before they leave the machine.
//
// The formatter keeps no state of its own and takes no lock while it converts; every operation is
// class-level and may be called from any thread. The few sources it reads from elsewhere (the
// installation id, the stored wrapper-SDK exceptions, and for tests the install prefix and the
// loaded images) are set through the setters below, which are thread-safe.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crash/engine/CrashReport.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/UUID.h"
#include "platform/foundation/Value.h"
#include "telemetry/crashes/Internals/Model/TLAppleErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLWrapperException.h"
#include "telemetry/crashes/TLErrorReport.h"

// The kind of a loaded image, as the crash conversion sees it.
enum TLBinaryImageType : int {
  TLBinaryImageTypeAppBinary = 0,     // the crashed process's executable
  TLBinaryImageTypeAppFramework = 1,  // another image installed with the application
  TLBinaryImageTypeOther = 2,         // system libraries and everything else
};

class TLErrorLogFormatter {
 public:
  TLErrorLogFormatter() = delete;

  // One image mapped into this process: its header's address and the file it was loaded from.
  struct LoadedImage {
    std::uint64_t header = 0;
    std::string path;
  };

  // ---- Conversions --------------------------------------------------------------------------

  // The error log of `report`: id, process, crashed thread, times (a crash time of whole seconds
  // gets 0.999 seconds added, so that it sorts after the logs of its last second), CPU, signal,
  // uncaught exception, selector, threads, registers, images, the device of the crash time and
  // any wrapper-SDK exception stored for the report. A report without CPU information gives a
  // log that is not valid. Never null; owned by the caller.
  static std::shared_ptr<TLAppleErrorLog> errorLogFromCrashReport(const CrashReport& report);
  // The error report of `report`'s error log; null for a null report. Owned by the caller.
  static std::shared_ptr<TLErrorReport> errorReportFromCrashReport(const std::shared_ptr<const CrashReport>& report);
  // The error report of `log`: its id, the installation id ("" without one), the signal, the
  // exception, the launch and crash times, the device of the crash time from the shared device
  // tracker and the process id (0 without one). Never null; owned by the caller.
  static std::shared_ptr<TLErrorReport> errorReportFromLog(const TLAppleErrorLog& log);

  // ---- The steps of a conversion, each usable alone -----------------------------------------

  // The report's UUID as upper-case text with dashes; a new random one when it has none.
  static std::string errorIdForCrashReport(const CrashReport& report);
  // Sets process id 0, process name, parent name and application path "???" and no parent id,
  // then whatever the report's process information holds (the path anonymised). Returns `log`.
  static const std::shared_ptr<TLAppleErrorLog>& addProcessInfoAndApplicationPathTo(
      const std::shared_ptr<TLAppleErrorLog>& log, const CrashReport& report);
  // The process's start time when the report has process information, else the crash time.
  static std::optional<foundation::Date> getAppLaunchTimeFromReport(const CrashReport& report);
  // The crash time the report was written with.
  static std::optional<foundation::Date> getCrashTimeFromReport(const CrashReport& report);
  // The first thread marked as crashed; null when none is.
  static std::shared_ptr<const CrashReportThreadInfo> findCrashedThreadInReport(const CrashReport& report);
  // The CPU type of the report: the first image's Mach CPU type, else its architecture's; the
  // next image is asked when neither is known; nothing when no image answers.
  static std::optional<std::uint64_t> extractCodeTypeFromReport(const CrashReport& report);
  // Whether `codeType` is a 64-bit CPU type (x86-64, ARM64); false for others and for none.
  static bool isCodeType64bit(std::optional<std::uint64_t> codeType);
  // The uncaught exception's reason; nothing without exception information.
  static std::optional<std::string> extractExceptionReasonFromReport(const CrashReport& report);
  // The method selector named by the selector register of the crashed thread ("x1" for 64-bit
  // code, else "r1" and then "r2"); nothing when there is none to read.
  static std::optional<std::string> selectorRegisterValueFromReport(
      const CrashReport& report, const std::shared_ptr<const CrashReportThreadInfo>& crashedThread, bool is64bit);
  // The text that register `name` of `thread` points to inside the method-name section of the
  // image it points into, read from this process's own copy of that image (the same file with the
  // same UUID). Nothing when the register is missing or 0, when no image of the report holds it,
  // when this process has no such copy or the copy has no such section (ELF images have none),
  // or when the address lies outside the section or no terminator follows it there.
  static std::optional<std::string> selectorForRegisterWithName(const std::string& name,
                                                                const CrashReportThreadInfo& thread,
                                                                const CrashReport& report);
  // Every thread of the report, in order, with its frames; the crashed thread also carries the
  // uncaught exception when the exception has frames.
  static std::vector<std::shared_ptr<TLThread>> extractThreadsFromReport(
      const CrashReport& report, const std::shared_ptr<const CrashReportThreadInfo>& crashedThread, bool is64bit);
  // The code of a frame: "<symbol> + <offset>" for a symbolicated frame in a system image (the
  // symbol's leading "_" kept, with a warning, except on the simulator), else
  // "0x<image base> + <offset>" (0 and 0 outside every image).
  static std::string formatStackFrame(const CrashReportStackFrameInfo& frame, const CrashReport& report);
  // The registers of the crashed thread, name to formatted value; empty without a crashed thread.
  static foundation::Dictionary extractRegistersFromCrashedThread(
      const std::shared_ptr<const CrashReportThreadInfo>& crashedThread, bool is64bit);
  // The images sorted by base address, keeping the application's own images and those that a
  // frame or a register points into.
  static std::vector<std::shared_ptr<TLBinary>> extractBinaryImagesFromReport(const CrashReport& report,
                                                                             std::optional<std::uint64_t> codeType,
                                                                             bool is64bit);
  // The exception's frame addresses, then each thread's frame addresses and register values.
  static std::vector<std::uint64_t> addressesFromReport(const CrashReport& report, bool is64bit);
  // Whether some address lies in [start, end].
  static bool isBinaryWithStart(std::uint64_t start, std::uint64_t end, const std::vector<std::uint64_t>& addresses);
  // The kind of the image at `imagePath` for the process at `processPath`; TLBinaryImageTypeOther
  // when either is absent.
  static TLBinaryImageType imageTypeForImagePath(const std::optional<std::string>& imagePath,
                                                 const std::optional<std::string>& processPath);
  // `path` with every "/home/<name>/" made "/home/USER/" when it starts with "/home/"; "" for an
  // empty path and for one that names "home" anywhere else; other paths unchanged.
  static std::string anonymizedPathFromPath(const std::string& path);
  // The UUID as upper-case text with dashes; nothing for none.
  static std::optional<std::string> uuidRefToString(const std::optional<foundation::UUID>& uuid);
  // The address unchanged.
  static std::uint64_t normalizeAddress(std::uint64_t address, bool is64bit);
  // "0x" and the address in lower-case hex, 16 digits for 64-bit code and at least 8 otherwise.
  static std::string formatAddress(std::uint64_t address, bool is64bit);

  // ---- Sources ------------------------------------------------------------------------------

  // The installation id that error reports name as their reporter; without a provider, or when
  // it answers nothing, reports carry "". The crash service sets it when it starts.
  static void setInstallIdProvider(std::function<std::optional<foundation::UUID>()> provider);
  // Looks up the wrapper-SDK exception stored under an error's id; without a loader, logs carry
  // none. The crash service sets it when it starts.
  static void setWrapperExceptionLoader(
      std::function<std::shared_ptr<TLWrapperException>(const std::string& incidentIdentifier)> loader);
  // Replaces the install prefix (nothing: the folder of the running executable again).
  static void setInstallPrefixForTesting(std::optional<std::string> prefix);
  // Replaces the images this process is searched for (nothing: those the loader mapped).
  static void setLoadedImagesForTesting(std::optional<std::vector<LoadedImage>> images);
};
