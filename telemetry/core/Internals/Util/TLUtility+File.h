#pragma once
// File helpers of TLUtility: the SDK's private directory and the files and folders inside it,
// addressed by path components relative to it ("logs/Logs.sqlite"). The log store's database and
// the crash service's buffers, markers and attachments live there.
//
// The directory is $XDG_DATA_HOME (the user's application-support folder) / the main bundle's
// identifier / "com.telemetry.sdk", fixed at first use for the process's life. A component with a
// ".." segment would leave it: such components are refused with an ERROR line, as failures.
//
// Nothing here throws; each failure is a log line and a nil or false answer. The operations that
// create, write, read, list or remove hold one process-wide recursive lock for their whole run,
// so they never interleave; the others take no lock. All are safe from any thread.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/net/URL.h"

namespace TLUtility {

// The SDK directory, created (with its parents) on first use; answered even when creating it
// failed, in which case later writes below it fail.
net::URL telemetryDirectoryURL();

// Writes `data` (an empty file for none) to the component's file, making its parent folders
// first, when `forceOverwrite` is set or nothing is there yet; an existing item is otherwise left
// untouched. Writes are atomic whether or not `atomically` asks for it (a temporary file renamed
// over the target). Answers the file's URL, or nothing for no component or, with an ERROR line, a
// failed write.
std::optional<net::URL> createFileAtPathComponent(std::optional<std::string_view> pathComponent,
                                                  const std::optional<foundation::Data>& data, bool atomically,
                                                  bool forceOverwrite);
// Removes the component's file or whole folder. False for no component or, with a DEBUG line,
// when nothing could be removed (also when nothing was there).
bool deleteItemForPathComponent(std::optional<std::string_view> pathComponent);
// Removes the file or folder at a file URL anywhere. False for no URL or, with a DEBUG line, when
// nothing could be removed or the URL is not a file URL.
bool deleteFileAtURL(const std::optional<net::URL>& url);
// Creates the component's folder with its parents (see createDirectoryAtURL); its URL, or nothing.
std::optional<net::URL> createDirectoryForPathComponent(std::optional<std::string_view> pathComponent);
// The bytes of the component's file; nothing for no component or a file that cannot be read.
std::optional<foundation::Data> loadDataForPathComponent(std::optional<std::string_view> pathComponent);
// The URLs of the items in the component's folder, sorted by name (folders with a trailing "/").
// Nothing for no or an empty component, or, with a DEBUG line, when the folder cannot be listed.
// `propertiesForKeys` names resource values to prefetch; nothing is cached here, so it is unused.
std::optional<std::vector<net::URL>> contentsOfDirectory(
    std::optional<std::string_view> pathComponent, const std::optional<std::vector<std::string>>& propertiesForKeys);
// Whether something is at the component.
bool fileExistsForPathComponent(std::optional<std::string_view> pathComponent);
// The component's URL; nothing is created. Nothing for no component.
std::optional<net::URL> fullURLForPathComponent(std::optional<std::string_view> pathComponent);

// Creates the folder at a file URL with all missing parents (an existing folder is success) and
// excludes it from backups. False for no URL or, with an ERROR line, when it cannot be created.
bool createDirectoryAtURL(const std::optional<net::URL>& url);
// Excludes the item from backups. Linux desktops have no such flag for backup tools to honour, so
// nothing is marked: true for an existing item; false with an ERROR line for no URL or a missing
// item.
bool disableBackupForDirectoryURL(const std::optional<net::URL>& url);

}  // namespace TLUtility
