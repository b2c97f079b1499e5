#include "telemetry/crashes/Internals/TLCrashesCXXExceptionWrapperException.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

std::vector<std::uint64_t> framesOf(const CXXExceptionCaptureInfo* info) {
  if (info->frames == nullptr) return {};
  return std::vector<std::uint64_t>(info->frames, info->frames + info->frameCount);
}

}  // namespace

TLCrashesCXXExceptionWrapperException::TLCrashesCXXExceptionWrapperException(const CXXExceptionCaptureInfo* info)
    : foundation::Exception(demangledTypeName(info->typeName), info->message != nullptr ? info->message : "",
                            framesOf(info)),
      info_(info) {}

std::string TLCrashesCXXExceptionWrapperException::demangledTypeName(const char* typeName) {
  if (typeName == nullptr) return {};
  int status = 0;
  char* demangled = abi::__cxa_demangle(typeName, nullptr, nullptr, &status);
  if (demangled == nullptr || status != 0) {
    free(demangled);
    return typeName;
  }
  std::string name(demangled);
  free(demangled);
  return name;
}

void TLCrashesReportUncaughtCXXException(const CXXExceptionCaptureInfo* info) {
  const TLCrashesCXXExceptionWrapperException exception(info);
  const foundation::UncaughtExceptionHandler handler = foundation::NSGetUncaughtExceptionHandler();
  if (handler != nullptr) handler(exception);
  // Nobody took it (or the handler returned): say what ends the process, as the runtime would.
  std::fprintf(stderr, "terminate called after throwing an instance of '%s'\n  what():  %s\n", exception.name().c_str(),
               exception.reason().c_str());
  abort();
}
