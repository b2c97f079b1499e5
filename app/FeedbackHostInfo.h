#pragma once
// What a feedback report says about the program that sends it and the system it runs on, read
// from the main bundle's information keys and the system's own version.
//
// Main thread only (systemVersion keeps what it read for the rest of the run).
#include <optional>
#include <string>

namespace app::feedback {

// "CFBundleExecutable", else "CFBundleName", else the name of the main bundle's folder without
// its extension.
std::string hostName();
// "CFBundleDisplayName", else hostName().
std::string hostDisplayName();
// "CFBundleVersion", or nothing when the bundle has none.
std::optional<std::string> hostVersion();
// The running system's version as "major.minor.patch", read on the first call and kept.
std::string systemVersion();

}  // namespace app::feedback
