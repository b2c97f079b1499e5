#include "telemetry/core/Internals/Util/TLUtility+File.h"

#include <cerrno>
#include <mutex>

#include "platform/dispatch/Once.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/String.h"
#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr const char* kTelemetryDirectoryName = "com.telemetry.sdk";
// The platform's error for a URL of a scheme that files cannot be reached by.
constexpr long kFileWriteUnsupportedSchemeError = 518;

// The lock that keeps the operations that touch files from interleaving; recursive, as one may
// call another.
std::recursive_mutex& fileLock() {
  static std::recursive_mutex* lock = new std::recursive_mutex();  // usable until the very end
  return *lock;
}

const std::string& telemetryDirectoryPath() {
  static const std::string path = [] {
    const std::optional<std::string> identifier = foundation::Bundle::mainBundle()->bundleIdentifier();
    return foundation::FileManager::defaultManager().searchPathDirectory(
               foundation::SearchPathDirectory::ApplicationSupport) +
           "/" + identifier.value_or("(null)") + "/" + kTelemetryDirectoryName;
  }();
  return path;
}

// The path of `component` inside the SDK directory; nothing for no component or, with an ERROR
// line, for one whose ".." segments would lead out of it.
std::optional<std::string> pathForComponent(std::optional<std::string_view> component) {
  if (!component) return std::nullopt;
  for (const std::string& segment : foundation::componentsSeparatedByString(*component, "/")) {
    if (segment == "..") {
      TLLogError(kTLLogTag, "Path component \"%@\" points outside the SDK directory.", *component);
      return std::nullopt;
    }
  }
  TLUtility::telemetryDirectoryURL();  // makes the directory on first use
  return telemetryDirectoryPath() + "/" + std::string(*component);
}

net::URL fileURL(const std::string& path) {
  bool isDirectory = false;
  const bool exists = foundation::FileManager::defaultManager().fileExistsAtPath(path, &isDirectory);
  return net::URL::fileURLWithPath(path, (exists && isDirectory) || foundation::hasSuffix(path, "/"));
}

std::string parentPath(const std::string& path) {
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  const std::size_t slash = parent.rfind('/');
  return slash == std::string::npos || slash == 0 ? "/" : parent.substr(0, slash);
}

bool removeItem(const net::URL& url) {
  foundation::Error error;
  bool removed = false;
  if (url.isFileURL()) {
    removed = foundation::FileManager::defaultManager().removeItemAtPath(url.path(), &error);
  } else {
    error = foundation::Error::withDescription(foundation::kCocoaErrorDomain, kFileWriteUnsupportedSchemeError,
                                               "The URL is not a file URL.");
  }
  if (!removed) {
    TLLogDebug(kTLLogTag, "Couldn't remove item at %@: %@", url, error.localizedDescription());
  }
  return removed;
}

}  // namespace

namespace TLUtility {

net::URL telemetryDirectoryURL() {
  static dispatch::Once once;
  static net::URL url;
  once([] {
    url = net::URL::fileURLWithPath(telemetryDirectoryPath(), true);
    createDirectoryAtURL(url);
  });
  return url;
}

std::optional<net::URL> createFileAtPathComponent(std::optional<std::string_view> pathComponent,
                                                  const std::optional<foundation::Data>& data, bool /*atomically*/,
                                                  bool forceOverwrite) {
  std::lock_guard guard(fileLock());
  const std::optional<std::string> path = pathForComponent(pathComponent);
  if (!path) return std::nullopt;
  const net::URL url = fileURL(*path);
  const foundation::FileManager& files = foundation::FileManager::defaultManager();
  if (forceOverwrite || !files.fileExistsAtPath(*path)) {
    createDirectoryAtURL(net::URL::fileURLWithPath(parentPath(*path), true));
    // Always atomic: a reader never sees half a file, and the callers that do not ask for it
    // lose nothing by it.
    if (!files.writeData(data.value_or(foundation::Data{}), *path)) {
      TLLogError(kTLLogTag, "Couldn't create new file at path %@", url);
      return std::nullopt;
    }
  }
  return url;
}

bool deleteItemForPathComponent(std::optional<std::string_view> pathComponent) {
  std::lock_guard guard(fileLock());
  const std::optional<std::string> path = pathForComponent(pathComponent);
  if (!path) return false;
  return removeItem(fileURL(*path));
}

bool deleteFileAtURL(const std::optional<net::URL>& url) {
  std::lock_guard guard(fileLock());
  if (!url) return false;
  return removeItem(*url);
}

std::optional<net::URL> createDirectoryForPathComponent(std::optional<std::string_view> pathComponent) {
  std::lock_guard guard(fileLock());
  const std::optional<std::string> path = pathForComponent(pathComponent);
  if (!path) return std::nullopt;
  const net::URL url = net::URL::fileURLWithPath(*path, true);
  if (!createDirectoryAtURL(url)) return std::nullopt;
  return url;
}

std::optional<foundation::Data> loadDataForPathComponent(std::optional<std::string_view> pathComponent) {
  std::lock_guard guard(fileLock());
  const std::optional<std::string> path = pathForComponent(pathComponent);
  if (!path) return std::nullopt;
  return foundation::FileManager::defaultManager().contentsAtPath(*path);
}

std::optional<std::vector<net::URL>> contentsOfDirectory(
    std::optional<std::string_view> pathComponent, const std::optional<std::vector<std::string>>& /*propertiesForKeys*/) {
  std::lock_guard guard(fileLock());
  if (!pathComponent || pathComponent->empty()) return std::nullopt;
  const std::optional<std::string> path = pathForComponent(pathComponent);
  if (!path) return std::nullopt;
  foundation::Error error;
  const auto names = foundation::FileManager::defaultManager().contentsOfDirectoryAtPath(*path, &error);
  if (!names) {
    TLLogDebug(kTLLogTag, "Couldn't get files in the directory \"%@\": %@", *pathComponent,
               error.localizedDescription());
    return std::nullopt;
  }
  std::vector<net::URL> urls;
  urls.reserve(names->size());
  for (const std::string& name : *names) urls.push_back(fileURL(*path + "/" + name));
  return urls;
}

bool fileExistsForPathComponent(std::optional<std::string_view> pathComponent) {
  const std::optional<std::string> path = pathForComponent(pathComponent);
  return path && foundation::FileManager::defaultManager().fileExistsAtPath(*path);
}

std::optional<net::URL> fullURLForPathComponent(std::optional<std::string_view> pathComponent) {
  const std::optional<std::string> path = pathForComponent(pathComponent);
  if (!path) return std::nullopt;
  return fileURL(*path);
}

bool createDirectoryAtURL(const std::optional<net::URL>& url) {
  if (!url) return false;
  foundation::Error error;
  bool created = false;
  if (url->isFileURL()) {
    created = foundation::FileManager::defaultManager().createDirectoryAtPath(url->path(), true, &error);
  } else {
    error = foundation::Error::withDescription(foundation::kCocoaErrorDomain, kFileWriteUnsupportedSchemeError,
                                               "The URL is not a file URL.");
  }
  if (!created) {
    TLLogError(kTLLogTag, "Couldn't create directory at %@: %@", *url, error.localizedDescription());
    return false;
  }
  disableBackupForDirectoryURL(url);
  return true;
}

bool disableBackupForDirectoryURL(const std::optional<net::URL>& url) {
  foundation::Error error = foundation::Error::posix(ENOENT);
  if (url && url->isFileURL()) {
    if (foundation::FileManager::defaultManager().fileExistsAtPath(url->path())) return true;
    error = foundation::FileManager::fileError(ENOENT, url->path(), true);
  }
  TLLogError(kTLLogTag, "Error excluding %@ from iCloud backup %@", url, error.localizedDescription());
  return false;
}

}  // namespace TLUtility
