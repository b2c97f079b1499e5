#pragma once
// TLCrashesCXXExceptionWrapperException presents a C++ exception that nobody caught to the crash
// engine as an uncaught exception: its name is the exception's type in readable form, its reason
// the exception's text, and its call stack the frames of the throw. It lives only while the
// terminate path reports it, on that thread.
#include <cstdint>
#include <string>

#include "platform/foundation/Exception.h"
#include "telemetry/crashes/Internals/TLCrashesUncaughtCXXExceptionHandlerManager.h"

class TLCrashesCXXExceptionWrapperException : public foundation::Exception {
 public:
  // The exception of `info` (not null): the demangled type name ("" without one; the mangled name
  // when it does not demangle), the message ("" without one) and the frames, in order. Keeps the
  // pointer, not what it points to.
  explicit TLCrashesCXXExceptionWrapperException(const CXXExceptionCaptureInfo* info);

  // The record it was made from; valid only while the terminate path runs.
  const CXXExceptionCaptureInfo* info() const { return info_; }

  // `typeName` demangled by the C++ runtime, or unchanged when it does not demangle.
  static std::string demangledTypeName(const char* typeName);

 private:
  const CXXExceptionCaptureInfo* info_;
};

// The crash service's handler of uncaught C++ exceptions: gives the exception of `info` to the
// process's uncaught-exception handler (the crash engine's, which writes it into the report and
// ends the process); when there is none, or it returns, writes the exception's name and reason to
// standard error. Then aborts.
[[noreturn]] void TLCrashesReportUncaughtCXXException(const CXXExceptionCaptureInfo* info);
