#pragma once
// CrashHostInfo holds the running kernel's release as three numbers, which decides what the
// reporter may ask of the system (exception types the kernel knows).
//
// Made in healthy code; immutable afterwards and safe to read from any thread.
#include <cstdint>
#include <memory>
#include <string_view>

struct CrashHostInfoVersion {
  std::uint64_t major;
  std::uint64_t minor;
  std::uint64_t revision;
};

class CrashHostInfo {
 public:
  // The running kernel, from "kern.osrelease"; null when that cannot be read ("Failed to fetch
  // kern.osrelease value %d: %s" is logged).
  static std::shared_ptr<const CrashHostInfo> currentHostInfo();
  // The release text `release`: an integer, ".", an integer, ".", an integer, with anything after
  // it ignored ("6.1.0-18-amd64" is 6.1.0). A text of another form keeps the numbers read before
  // the form broke (0 for the others) and is logged "Unexpected kern.osrelease string format: %@".
  static std::shared_ptr<const CrashHostInfo> initWithRelease(std::string_view release);

  // Named after the kernel whose release numbers the reporter's rules were written against.
  CrashHostInfoVersion darwinVersion() const { return version_; }

 private:
  CrashHostInfo() = default;
  CrashHostInfoVersion version_{};
};
