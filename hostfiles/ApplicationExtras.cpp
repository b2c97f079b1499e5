#include "hostfiles/ApplicationExtras.h"

#include "platform/foundation/FileManager.h"
#include "platform/foundation/SystemPaths.h"

namespace {

std::string dataDirectory() {
  return foundation::FileManager::defaultManager().searchPathDirectory(
      foundation::SearchPathDirectory::ApplicationSupport);
}

}  // namespace

std::string ApplicationExtras::applicationSupportDirectory() {
  const auto& files = foundation::FileManager::defaultManager();
  std::string path = dataDirectory() + "/" + foundation::kApplicationBundleIdentifier;
  if (!files.fileExistsAtPath(path)) files.createDirectoryAtPath(path, true);
  return path;
}

std::string ApplicationExtras::tmpEtcHostsPath() {
  return applicationSupportDirectory() + "/hosts";
}

std::string ApplicationExtras::v1HostsPath() {
  std::string base = dataDirectory();
  if (base.empty()) base = foundation::FileManager::defaultManager().temporaryDirectory();
  return base + "/Quillmere/HostFiles";
}
