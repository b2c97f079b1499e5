#pragma once
// The crash engine's error domain and codes, carried by foundation::Error objects whose user
// information holds the description under the localized-description key.

inline constexpr const char* CrashReporterErrorDomain = "CrashReporterErrorDomain";

enum CrashReporterError : long {
  CrashReporterErrorUnknown = 0,             // general failure
  CrashReporterErrorOperatingSystem = 1,     // an operating-system call failed (underlying error given)
  CrashReporterErrorCrashReportInvalid = 2,  // a crash report could not be decoded
  CrashReporterErrorResourceBusy = 3,        // a reporter is already enabled in the process
};
