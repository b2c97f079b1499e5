#include "platform/foundation/DeviceInfo.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Locale.h"
#include "platform/foundation/ProcessInfo.h"
#include "platform/foundation/String.h"

namespace foundation {

namespace {

// Caps what is read of one system file: the facts are a line each.
constexpr std::streamsize kMaximumFileSize = 64 * 1024;

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  std::string contents(kMaximumFileSize, '\0');
  file.read(contents.data(), kMaximumFileSize);
  contents.resize(static_cast<std::size_t>(file.gcount()));
  return contents;
}

struct Uname {
  std::string sysname, release, machine;
};

Uname kernel() {
  utsname names{};
  if (uname(&names) != 0) return {"Linux", "0.0.0", "unknown"};  // uname does not fail on Linux
  return {names.sysname, names.release, names.machine};
}

std::string bundleString(const char* key) {
  const Value value = Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  const std::string text = value.isString() ? trim(value.stringValue()) : std::string();
  return text.empty() ? std::string(QM_PROJECT_VERSION) : text;
}

std::mutex& screenMutex() {
  static std::mutex mutex;
  return mutex;
}

DeviceInfo::Screen& screen() {
  static DeviceInfo::Screen shared;
  return shared;
}

}  // namespace

DeviceInfo::DeviceInfo(Roots roots, std::optional<Environment> environment)
    : roots_(std::move(roots)), environment_(std::move(environment)) {}

std::optional<std::string> DeviceInfo::readTrimmed(const std::string& path) {
  std::string text = trim(readFile(path));
  if (text.empty()) return std::nullopt;
  return text;
}

DeviceInfo::Environment DeviceInfo::environment() const {
  return environment_ ? *environment_ : ProcessInfo::processInfo().environment();
}

std::string DeviceInfo::model() const {
  return readTrimmed(roots_.sys + "/class/dmi/id/product_name").value_or(kernel().machine);
}

std::optional<std::string> DeviceInfo::vendor() const { return readTrimmed(roots_.sys + "/class/dmi/id/sys_vendor"); }

std::string DeviceInfo::osName() const {
  const auto name = ProcessInfo::shellAssignment(readFile(roots_.etc + "/os-release"), "NAME");
  const std::string text = name ? trim(*name) : std::string();
  return text.empty() ? kernel().sysname : text;
}

std::string DeviceInfo::osVersion() const {
  const OperatingSystemVersion version = ProcessInfo::versionFrom(readFile(roots_.etc + "/os-release"), osBuild());
  return std::to_string(version.majorVersion) + "." + std::to_string(version.minorVersion) + "." +
         std::to_string(version.patchVersion);
}

std::string DeviceInfo::osBuild() const {
  return readTrimmed(roots_.proc + "/sys/kernel/osrelease").value_or(kernel().release);
}

std::string DeviceInfo::locale() const {
  const Environment env = environment();
  // The first preferred language, with the current locale's country when it names none.
  const Locale::Components language = Locale::componentsFromLocaleIdentifier(Locale::preferredLanguages(env).front());
  std::string country = language.country;
  if (country.empty()) country = Locale::componentsFromLocaleIdentifier(Locale::currentLocaleIdentifier(env)).country;
  std::string text = language.language.empty() ? std::string("en") : language.language;
  if (!language.script.empty()) text += "-" + language.script;
  if (!country.empty()) text += "_" + country;
  return text;
}

std::string DeviceInfo::appVersion() const { return bundleString(kCFBundleShortVersionStringKey); }

std::string DeviceInfo::appBuild() const { return bundleString(kCFBundleVersionKey); }

std::optional<std::string> DeviceInfo::appNamespace() const { return Bundle::mainBundle()->bundleIdentifier(); }

bool DeviceInfo::isDebuggerAttached() const {
  // Status lines read "Key:\tvalue"; a tracer's process id other than 0 means one is attached.
  static constexpr std::string_view kKey = "TracerPid:";
  for (const std::string& line : componentsSeparatedByString(readFile(roots_.proc + "/self/status"), "\n")) {
    if (line.compare(0, kKey.size(), kKey) != 0) continue;
    const std::string value = trim(std::string_view(line).substr(kKey.size()));
    return !value.empty() && value != "0";
  }
  return false;
}

int DeviceInfo::timeZoneOffsetMinutes(long secondsFromGMT) { return static_cast<int>(secondsFromGMT / 60); }

int DeviceInfo::timeZoneOffsetMinutes() {
  tzset();  // follow TZ as it is now, not as it was at the first call
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return 0;
  return timeZoneOffsetMinutes(local.tm_gmtoff);
}

DeviceInfo::Screen DeviceInfo::mainScreen() {
  std::lock_guard lock(screenMutex());
  return screen();
}

void DeviceInfo::setMainScreen(Screen value) {
  std::lock_guard lock(screenMutex());
  screen() = value;
}

}  // namespace foundation
