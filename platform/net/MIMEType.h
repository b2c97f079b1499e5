#pragma once
// The MIME type for a file-name extension, read from the system's type table (/etc/mime.types),
// standing in for the platform's type-identifier lookup.
#include <string>
#include <string_view>

namespace net {

// The MIME type that the table lists for `pathExtension` (compared without case, no leading
// dot), or "application/octet-stream" when it lists none or the extension is empty. The table is
// read once, on first use; safe from any thread.
std::string mimeTypeForPathExtension(std::string_view pathExtension);

// Points the lookup at another table file, for tests; the next lookup reads it. Thread-safe.
void setMIMETypesFileForTesting(std::string path);

}  // namespace net
