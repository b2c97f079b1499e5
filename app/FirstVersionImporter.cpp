#include "app/FirstVersionImporter.h"

#include "app/TelemetrySeam.h"
#include "coredata/DataStack.h"
#include "hostfiles/ApplicationExtras.h"
#include "hostfiles/HostGroup.h"
#include "platform/appkit/Alert.h"
#include "platform/foundation/FileManager.h"

namespace app {
namespace {

std::string lastPathComponent(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

FirstVersionImporter::FirstVersionImporter(std::function<void()> imported) : imported_(std::move(imported)) {}

bool FirstVersionImporter::hasFilesToImport() { return !filesToImport(ApplicationExtras::v1HostsPath()).empty(); }

bool FirstVersionImporter::askToImport(QWidget* window) {
  // A question whose "Yes" could only do nothing is not worth the user's time.
  if (!hasFilesToImport()) return false;
  appkit::Alert alert;
  alert.setMessageText(kQuestion);
  alert.addButtonWithTitle("Yes");
  alert.addButtonWithTitle("No");
  std::weak_ptr<int> alive = lifetime_;
  alert.beginSheetModalForWindow(window, [this, alive](long answer) {
    if (alive.expired() || answer != appkit::kAlertFirstButtonReturn) return;
    trackEvent("importV1");
    importV1HostFiles();
  });
  return true;
}

void FirstVersionImporter::importV1HostFiles() {
  std::weak_ptr<int> alive = lifetime_;
  for (const std::string& path : filesToImport(ApplicationExtras::v1HostsPath())) {
    DataStack::saveWithBlock(
        [path](const coredata::ManagedObjectContextPtr& local) {
          // Read on the save's queue, as the record is made there. A file that is not text (or
          // went away since the listing) is skipped rather than imported empty.
          const auto contents = foundation::FileManager::defaultManager().readText(path);
          if (!contents) return;
          HostGroup::insertLocalHostfile(local, lastPathComponent(path), *contents);
        },
        [this, alive](bool, const std::optional<foundation::Error>&) {
          if (!alive.expired() && imported_) imported_();
        });
  }
}

std::vector<std::string> FirstVersionImporter::filesToImport(const std::string& folder) {
  std::vector<std::string> files;
  foundation::FileManager::defaultManager().enumerate(
      folder,
      foundation::DirectoryEnumerationSkipsHiddenFiles | foundation::DirectoryEnumerationSkipsSubdirectoryDescendants,
      [&](const std::string& relativePath, bool isDirectory) {
        if (!isDirectory) files.push_back(folder + "/" + relativePath);
        return true;
      });
  return files;
}

}  // namespace app
