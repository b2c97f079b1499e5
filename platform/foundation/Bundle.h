#pragma once
// Bundle stands in for the platform's application bundle: an identifier, an information
// dictionary and a folder of resources. On Linux the main bundle is the folder of the
// executable; its information dictionary is "Resources/Info.plist" beside the executable (XML or
// binary property list) and its resources are the files under "Resources". An installed
// executable has no such folder: its resources, Info.plist among them, are in the install's
// resource folder, "../share/quillmere" from the executable's folder in the usual layout.
//
// QM_BUNDLE_PATH overrides the location for tests: a folder is taken as the bundle folder, a
// file as the information dictionary itself (its folder then holds the resources).
// setMainBundleForTesting replaces the main bundle outright.
//
// What it leaves out: localization folders (strings come back untranslated), bundles of classes
// and frameworks. A Bundle does not change after it is made, so it is safe across threads.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace foundation {

// The platform's information keys.
inline constexpr const char* kCFBundleIdentifierKey = "CFBundleIdentifier";
inline constexpr const char* kCFBundleNameKey = "CFBundleName";
inline constexpr const char* kCFBundleVersionKey = "CFBundleVersion";
inline constexpr const char* kCFBundleExecutableKey = "CFBundleExecutable";
inline constexpr const char* kCFBundleShortVersionStringKey = "CFBundleShortVersionString";
inline constexpr const char* kCFBundleDevelopmentRegionKey = "CFBundleDevelopmentRegion";

class Bundle {
 public:
  // The process's bundle, found once (see above) and kept for the process's life, unless
  // setMainBundleForTesting replaced it. Never null. Thread-safe.
  static std::shared_ptr<const Bundle> mainBundle();
  // Replaces the main bundle; null makes the next mainBundle() look it up again. For tests.
  static void setMainBundleForTesting(std::shared_ptr<const Bundle> bundle);

  // A bundle whose folder is `bundlePath`, with "Resources/Info.plist" read when present and a
  // valid dictionary (a malformed file counts as none). Null when `bundlePath` is not a folder.
  static std::shared_ptr<const Bundle> bundleWithPath(const std::string& bundlePath);

  // A bundle made from parts: its folder, resource folder, information dictionary (none when
  // absent), executable path, and the identifier to answer when the dictionary has none.
  Bundle(std::string bundlePath, std::string resourcePath, std::optional<Dictionary> infoDictionary,
         std::string executablePath = {}, std::optional<std::string> fallbackIdentifier = std::nullopt);

  // CFBundleIdentifier from the information dictionary; for the main bundle without one, the
  // process name; otherwise nothing.
  std::optional<std::string> bundleIdentifier() const;
  // The information dictionary, or null when the bundle has none. Owned by the bundle.
  const Dictionary* infoDictionary() const;
  // The value under `key`, or null.
  Value objectForInfoDictionaryKey(const std::string& key) const;

  const std::string& bundlePath() const { return bundlePath_; }
  const std::string& resourcePath() const { return resourcePath_; }
  const std::string& executablePath() const { return executablePath_; }

  // The path of the resource "name.type" (type with or without its leading "."; empty type
  // means `name` is the whole file name) in `subdirectory` of the resources ("" or "." for the
  // top), if something (a file or a folder) is there. Names with ".." or a leading "/" find
  // nothing.
  std::optional<std::string> pathForResource(const std::string& name, const std::string& type,
                                             const std::string& subdirectory = {}) const;
  // Paths of the items in `subdirectory` of the resources ("" or "." for the top) whose
  // extension is `type` (with or without its leading "."; exact case; empty: every item),
  // sorted by name; empty when the folder does not exist.
  std::vector<std::string> pathsForResourcesOfType(const std::string& type,
                                                   const std::string& subdirectory = {}) const;

  // `value` when non-empty, else `key`: there are no translation tables.
  std::string localizedStringForKey(const std::string& key, const std::string& value = {},
                                    const std::string& table = {}) const;
  // CFBundleDevelopmentRegion when present, else "en".
  std::vector<std::string> preferredLocalizations() const;

 private:
  std::string bundlePath_;
  std::string resourcePath_;
  std::optional<Dictionary> info_;
  std::string executablePath_;
  std::optional<std::string> fallbackIdentifier_;
};

}  // namespace foundation
