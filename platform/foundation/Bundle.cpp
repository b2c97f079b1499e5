#include "platform/foundation/Bundle.h"

#include <errno.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <mutex>

#include "platform/foundation/FileManager.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace foundation {

namespace {

std::mutex mainBundleMutex;
std::shared_ptr<const Bundle> mainBundleInstance;

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string executablePath() {
  char buffer[PATH_MAX];
  const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (length <= 0) return {};
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string processName() {
  const char* name = program_invocation_short_name;
  return name && *name ? name : "quillmere";
}

// The dictionary in the property list at `path`; nothing when the file is missing, malformed
// or holds something else.
std::optional<Dictionary> readInfoDictionary(const std::string& path) {
  std::optional<Data> data = FileManager::defaultManager().contentsAtPath(path);
  if (!data) return std::nullopt;
  std::optional<Value> value = PropertyListSerialization::propertyListWithData(*data);
  if (!value || !value->isDictionary()) return std::nullopt;
  return value->dictionaryValue();
}

bool isFolder(const std::string& path) {
  bool isDirectory = false;
  return FileManager::defaultManager().fileExistsAtPath(path, &isDirectory) && isDirectory;
}

// The resources of the executable in `folder`: "Resources" beside it, as the build lays them out,
// else the installed resources folder when there is one, else "Resources" all the same.
std::string resourceFolderBeside(const std::string& folder) {
  const std::string beside = folder + "/Resources";
  if (isFolder(beside)) return beside;
  const std::string installed = folder + "/" QM_INSTALLED_RESOURCES;
  return isFolder(installed) ? installed : beside;
}

std::shared_ptr<const Bundle> discoverMainBundle() {
  const std::string executable = executablePath();
  const char* override = std::getenv("QM_BUNDLE_PATH");
  bool isDirectory = false;
  if (override && *override && FileManager::defaultManager().fileExistsAtPath(override, &isDirectory)) {
    const std::string path(override);
    if (isDirectory) {
      return std::make_shared<Bundle>(path, path + "/Resources", readInfoDictionary(path + "/Resources/Info.plist"),
                                      executable, processName());
    }
    const std::string folder = parentOf(path);
    return std::make_shared<Bundle>(folder, folder, readInfoDictionary(path), executable, processName());
  }
  const std::string folder = executable.empty() ? "." : parentOf(executable);
  const std::string resources = resourceFolderBeside(folder);
  return std::make_shared<Bundle>(folder, resources, readInfoDictionary(resources + "/Info.plist"), executable,
                                  processName());
}

bool isSafeRelative(const std::string& path) {
  if (!path.empty() && path[0] == '/') return false;
  std::size_t start = 0;
  while (start <= path.size()) {
    const auto slash = path.find('/', start);
    const std::string component = path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (component == "..") return false;
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

std::string withoutLeadingDot(const std::string& type) {
  return !type.empty() && type[0] == '.' ? type.substr(1) : type;
}

}  // namespace

std::shared_ptr<const Bundle> Bundle::mainBundle() {
  std::lock_guard<std::mutex> lock(mainBundleMutex);
  if (!mainBundleInstance) mainBundleInstance = discoverMainBundle();
  return mainBundleInstance;
}

void Bundle::setMainBundleForTesting(std::shared_ptr<const Bundle> bundle) {
  std::lock_guard<std::mutex> lock(mainBundleMutex);
  mainBundleInstance = std::move(bundle);
}

std::shared_ptr<const Bundle> Bundle::bundleWithPath(const std::string& bundlePath) {
  bool isDirectory = false;
  if (!FileManager::defaultManager().fileExistsAtPath(bundlePath, &isDirectory) || !isDirectory) return nullptr;
  const std::string resources = bundlePath + "/Resources";
  return std::make_shared<Bundle>(bundlePath, resources, readInfoDictionary(resources + "/Info.plist"));
}

Bundle::Bundle(std::string bundlePath, std::string resourcePath, std::optional<Dictionary> infoDictionary,
               std::string executablePath, std::optional<std::string> fallbackIdentifier)
    : bundlePath_(std::move(bundlePath)),
      resourcePath_(std::move(resourcePath)),
      info_(std::move(infoDictionary)),
      executablePath_(std::move(executablePath)),
      fallbackIdentifier_(std::move(fallbackIdentifier)) {}

std::optional<std::string> Bundle::bundleIdentifier() const {
  const Value identifier = objectForInfoDictionaryKey(kCFBundleIdentifierKey);
  if (identifier.isString() && !identifier.stringValue().empty()) return identifier.stringValue();
  return fallbackIdentifier_;
}

const Dictionary* Bundle::infoDictionary() const { return info_ ? &*info_ : nullptr; }

Value Bundle::objectForInfoDictionaryKey(const std::string& key) const {
  return info_ ? info_->get(key) : Value();
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type,
                                                   const std::string& subdirectory) const {
  const std::string extension = withoutLeadingDot(type);
  const std::string file = extension.empty() ? name : name + "." + extension;
  if (name.empty() || !isSafeRelative(file) || !isSafeRelative(subdirectory)) return std::nullopt;
  const std::string folder = subdirectory.empty() || subdirectory == "." ? resourcePath_ : resourcePath_ + "/" + subdirectory;
  const std::string path = folder + "/" + file;
  if (!FileManager::defaultManager().fileExistsAtPath(path)) return std::nullopt;
  return path;
}

std::vector<std::string> Bundle::pathsForResourcesOfType(const std::string& type, const std::string& subdirectory) const {
  if (!isSafeRelative(subdirectory)) return {};
  const std::string folder = subdirectory.empty() || subdirectory == "." ? resourcePath_ : resourcePath_ + "/" + subdirectory;
  const std::string extension = withoutLeadingDot(type);
  std::vector<std::string> paths;
  for (const std::string& name : FileManager::defaultManager().contentsOfDirectoryAtPath(folder).value_or(
           std::vector<std::string>{})) {
    const auto dot = name.rfind('.');
    const bool matches = extension.empty() || (dot != std::string::npos && dot > 0 && name.substr(dot + 1) == extension);
    if (matches) paths.push_back(folder + "/" + name);
  }
  return paths;
}

std::string Bundle::localizedStringForKey(const std::string& key, const std::string& value, const std::string&) const {
  return value.empty() ? key : value;
}

std::vector<std::string> Bundle::preferredLocalizations() const {
  const Value region = objectForInfoDictionaryKey(kCFBundleDevelopmentRegionKey);
  if (region.isString() && !region.stringValue().empty()) return {region.stringValue()};
  return {"en"};
}

}  // namespace foundation
