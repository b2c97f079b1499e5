#pragma once
// DeviceInfo gathers the facts about the machine, the system and the application that a
// telemetry device description records, from the places Linux keeps them:
//   model          /sys/class/dmi/id/product_name, else the kernel's machine name (uname)
//   vendor         /sys/class/dmi/id/sys_vendor, else nothing
//   OS name        NAME in /etc/os-release, else the kernel's name (uname)
//   OS version     "major.minor.patch" from VERSION_ID in /etc/os-release, else the kernel release
//   OS build       /proc/sys/kernel/osrelease, else the kernel release (uname)
//   locale         "ll[-Script]_CC" from LANGUAGE, LC_ALL, LC_MESSAGES and LANG ("en_US" for C and POSIX)
//   time zone      minutes east of GMT now, truncated toward zero
//   screen         the main screen's size in points and scale, handed in by the GUI; zero until then
//   app version    CFBundleShortVersionString and CFBundleVersion of the main bundle, else the
//                  version this program was built as; the bundle identifier
//   debugger       TracerPid in /proc/self/status
// A missing or blank file gives the fallback named, so every text but the vendor and the
// bundle identifier is always there and never empty.
//
// The /sys, /proc and /etc folders and the environment can be replaced, for tests. Files are
// read at every call. All members are safe from any thread (the screen setter included).
#include <map>
#include <optional>
#include <string>

namespace foundation {

class DeviceInfo {
 public:
  struct Roots {
    std::string sys = "/sys";
    std::string proc = "/proc";
    std::string etc = "/etc";
  };
  using Environment = std::map<std::string, std::string>;

  // The main screen as the platform describes it: its frame in points and its backing scale.
  struct Screen {
    double width = 0;
    double height = 0;
    double scale = 0;
  };

  // Facts from the real system folders and the live environment.
  DeviceInfo() = default;
  // Facts from `roots` and, when given, `environment` in place of the live one.
  explicit DeviceInfo(Roots roots, std::optional<Environment> environment = std::nullopt);

  std::string model() const;
  std::optional<std::string> vendor() const;
  std::string osName() const;
  std::string osVersion() const;
  std::string osBuild() const;
  std::string locale() const;
  std::string appVersion() const;
  std::string appBuild() const;
  // The main bundle's identifier (the process name when it has none).
  std::optional<std::string> appNamespace() const;
  // Whether a debugger (any tracer) is attached to this process; false when it cannot be told.
  bool isDebuggerAttached() const;

  // The local time zone's offset from GMT now, in minutes (UTC+05:45 gives 345, UTC-03:30 -210).
  static int timeZoneOffsetMinutes();
  // `secondsFromGMT` in whole minutes, truncated toward zero.
  static int timeZoneOffsetMinutes(long secondsFromGMT);

  // The main screen, as the GUI last set it; all zero until then. Thread-safe.
  static Screen mainScreen();
  static void setMainScreen(Screen screen);

 private:
  // The trimmed contents of `path`, or nothing when it is missing or blank.
  static std::optional<std::string> readTrimmed(const std::string& path);
  Environment environment() const;

  Roots roots_;
  std::optional<Environment> environment_;
};

}  // namespace foundation
