#include "app/FeedbackHostInfo.h"

#include <filesystem>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/DeviceInfo.h"

namespace app::feedback {

namespace {

std::optional<std::string> infoString(const char* key) {
  const foundation::Value value = foundation::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

}  // namespace

std::string hostName() {
  if (auto executable = infoString(foundation::kCFBundleExecutableKey)) return *executable;
  if (auto name = infoString(foundation::kCFBundleNameKey)) return *name;
  return std::filesystem::path(foundation::Bundle::mainBundle()->bundlePath()).stem().string();
}

std::string hostDisplayName() {
  if (auto displayName = infoString("CFBundleDisplayName")) return *displayName;
  return hostName();
}

std::optional<std::string> hostVersion() { return infoString(foundation::kCFBundleVersionKey); }

std::string systemVersion() {
  static const std::string version = foundation::DeviceInfo().osVersion();
  return version;
}

}  // namespace app::feedback
