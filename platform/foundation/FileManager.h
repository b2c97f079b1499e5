#pragma once
// FileManager stands in for the platform's file manager: existence checks, folders, removing,
// moving and copying items, attributes, directory listings, atomic writes of data and text,
// reading text of unknown encoding, and the user's standard folders (search-path directories)
// mapped onto the XDG base directories.
//
// Errors are Cocoa-domain errors with the platform's file codes (below), the path under
// "NSFilePath" and the POSIX error as the underlying error. Every path is read from the
// environment at call time, so tests can point HOME, XDG_* and TMPDIR at temporary folders.
// What it leaves out: extended attributes, ownership changes, file coordination.
//
// The manager holds no state; all member functions are thread-safe.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/StringEncoding.h"
#include "platform/foundation/Value.h"

namespace foundation {

// The platform's file error codes (Cocoa domain).
inline constexpr long kFileNoSuchFileError = 4;
inline constexpr long kFileReadUnknownError = 256;
inline constexpr long kFileReadNoPermissionError = 257;
inline constexpr long kFileReadCorruptFileError = 259;
inline constexpr long kFileReadNoSuchFileError = 260;
inline constexpr long kFileReadInapplicableStringEncodingError = 261;
inline constexpr long kFileWriteUnknownError = 512;
inline constexpr long kFileWriteNoPermissionError = 513;
inline constexpr long kFileWriteInvalidFileNameError = 514;
inline constexpr long kFileWriteFileExistsError = 516;
inline constexpr long kFileWriteOutOfSpaceError = 640;
inline constexpr long kFileWriteVolumeReadOnlyError = 642;

// The platform's search-path directory codes; Temporary is ours (the platform has a function).
enum class SearchPathDirectory {
  Documents = 9,            // $XDG_DOCUMENTS_DIR, else ~/Documents
  Caches = 13,              // $XDG_CACHE_HOME, else ~/.cache
  ApplicationSupport = 14,  // $XDG_DATA_HOME, else ~/.local/share
  Temporary = 1000,         // $TMPDIR, else /tmp
};

enum class FileType { Regular, Directory, SymbolicLink, Other };

// What attributesOfItemAtPath reports about one item (a symbolic link is described itself).
struct FileAttributes {
  std::uint64_t size = 0;
  Date modificationDate;
  FileType type = FileType::Other;
  unsigned posixPermissions = 0;  // the mode's permission bits, e.g. 0644

  // The platform's attribute dictionary: "NSFileSize", "NSFileModificationDate", "NSFileType"
  // ("NSFileTypeRegular", "NSFileTypeDirectory", "NSFileTypeSymbolicLink", "NSFileTypeUnknown")
  // and "NSFilePosixPermissions".
  Dictionary dictionary() const;
};

// Options of enumerate, the platform's bit values.
enum DirectoryEnumerationOptions : unsigned {
  DirectoryEnumerationSkipsSubdirectoryDescendants = 1,
  DirectoryEnumerationSkipsHiddenFiles = 4,
};

class FileManager {
 public:
  // The shared manager.
  static FileManager& defaultManager();

  // Whether something exists at `path` (symbolic links followed); *isDirectory tells whether
  // it is a folder.
  bool fileExistsAtPath(const std::string& path, bool* isDirectory = nullptr) const;

  // Creates the folder at `path` (mode 0777 less the umask, or exactly `permissions` when given,
  // for every folder it makes). Without intermediates the parent must exist and `path` must not;
  // with them, missing parents are made and an existing folder is success (its mode is left as
  // it is). Fails with 516 when a non-folder is in the way, 4 for a missing parent, 513 for no
  // permission, 640 when out of space.
  bool createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories, Error* error = nullptr,
                             std::optional<unsigned> permissions = std::nullopt) const;

  // Removes a file, link or whole folder tree. Fails with 4 when nothing is there.
  bool removeItemAtPath(const std::string& path, Error* error = nullptr) const;

  // Moves `source` to `destination`, across file systems too. Fails with 516 when the
  // destination exists (it is never replaced), 4 when the source is missing.
  bool moveItemAtPath(const std::string& source, const std::string& destination, Error* error = nullptr) const;

  // Copies a file, link or folder tree (keeping permission bits). Fails with 516 when the
  // destination exists, 260 when the source is missing, 512 for a folder copied into itself.
  // A failed copy leaves no partial destination behind.
  bool copyItemAtPath(const std::string& source, const std::string& destination, Error* error = nullptr) const;

  // The item's attributes, or nothing with 260 / 257 / 256. A symbolic link is described itself
  // unless `traverseLink`, which describes what it leads to (the file a URL's resource values
  // would describe).
  std::optional<FileAttributes> attributesOfItemAtPath(const std::string& path, Error* error = nullptr,
                                                       bool traverseLink = false) const;

  // The names in a folder (no "." or ".."; hidden ones included), sorted; nothing with an error.
  std::optional<std::vector<std::string>> contentsOfDirectoryAtPath(const std::string& path,
                                                                    Error* error = nullptr) const;

  // Paths relative to `path` of everything below it, depth first, names sorted within each
  // folder. Folders are listed before their contents. Symbolic links are not followed.
  // `visit`, when given, is called for each entry and may return false to stop. Returns
  // nothing when `path` cannot be listed.
  std::optional<std::vector<std::string>> enumerate(
      const std::string& path, unsigned options = 0,
      const std::function<bool(const std::string& relativePath, bool isDirectory)>& visit = {},
      Error* error = nullptr) const;

  // Replaces the file at `path` atomically: the bytes go to a temporary file in the same
  // folder, which is flushed to disk and renamed over `path`, so readers see the old or the new
  // content, never a mix, even after a crash. The new file takes `permissions` when given, else
  // the replaced file's permission bits, else 0666 less the umask. A symbolic link at `path` is
  // followed: the linked file is replaced and the link kept. On failure the old file is
  // untouched, no temporary file remains and *error says why (513, 4, 640, 512).
  bool writeData(const Data& data, const std::string& path, Error* error = nullptr,
                 std::optional<unsigned> permissions = std::nullopt) const;
  // writeData with the UTF-8 bytes of `text`.
  bool writeText(const std::string& text, const std::string& path, Error* error = nullptr,
                 std::optional<unsigned> permissions = std::nullopt) const;

  // The whole file, or nothing with 260 / 257 / 256 (a folder gives 256).
  std::optional<Data> contentsAtPath(const std::string& path, Error* error = nullptr) const;

  // The file as UTF-8 text: a byte-order mark decides (UTF-8, UTF-16 LE or BE; the mark is
  // dropped), else valid UTF-8 is taken as it is, else the bytes are read as Latin-1. Fails with
  // the read errors above, or 261 for UTF-16 with an odd length or unpaired surrogates, or a
  // UTF-8 mark before invalid UTF-8. *detectedEncoding (when given) says what was used.
  std::optional<std::string> readText(const std::string& path, Error* error = nullptr,
                                      StringEncoding* detectedEncoding = nullptr) const;

  // The user's folder of `kind`, absolute, without trailing "/"; not created. Relative XDG
  // values are ignored, as the XDG rules ask.
  std::string searchPathDirectory(SearchPathDirectory kind) const;
  // The temporary folder: $TMPDIR, else /tmp.
  std::string temporaryDirectory() const;
  // $HOME, else the password database's home folder.
  std::string homeDirectory() const;

  // The Cocoa-domain error for a failed POSIX call on `path`: the code that fits errno for a
  // reading or writing operation, NSFilePath, a description, and the POSIX error underneath.
  static Error fileError(int errnoValue, const std::string& path, bool writing);
};

}  // namespace foundation
