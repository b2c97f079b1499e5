#include "platform/foundation/FileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <random>

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include "platform/foundation/String.h"

namespace foundation {

namespace {

// ---- paths ----

std::string lastComponent(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const auto slash = trimmed.rfind('/');
  return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

std::string parentOf(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  const auto slash = trimmed.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return trimmed.substr(0, slash);
}

std::string joined(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string environmentPath(const char* name) {
  const char* value = std::getenv(name);
  // The XDG rules say relative values are invalid and must be ignored.
  if (!value || value[0] != '/') return {};
  std::string path(value);
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// ---- errors ----

long codeFor(int errnoValue, bool writing) {
  if (!writing) {
    switch (errnoValue) {
      case ENOENT: return kFileReadNoSuchFileError;
      case EACCES:
      case EPERM: return kFileReadNoPermissionError;
      default: return kFileReadUnknownError;
    }
  }
  switch (errnoValue) {
    case ENOENT: return kFileNoSuchFileError;
    case EACCES:
    case EPERM: return kFileWriteNoPermissionError;
    case EEXIST:
    case ENOTEMPTY: return kFileWriteFileExistsError;
    case ENOSPC:
    case EDQUOT: return kFileWriteOutOfSpaceError;
    case EROFS: return kFileWriteVolumeReadOnlyError;
    case ENAMETOOLONG: return kFileWriteInvalidFileNameError;
    default: return kFileWriteUnknownError;
  }
}

std::string describe(long code, const std::string& path) {
  const std::string name = "\u201c" + lastComponent(path) + "\u201d";
  switch (code) {
    case kFileNoSuchFileError: return "The file " + name + " doesn\u2019t exist.";
    case kFileReadNoSuchFileError: return "The file " + name + " couldn\u2019t be opened because there is no such file.";
    case kFileReadNoPermissionError:
      return "The file " + name + " couldn\u2019t be opened because you don\u2019t have permission to view it.";
    case kFileReadInapplicableStringEncodingError:
      return "The file " + name + " couldn\u2019t be opened because the text encoding of its contents can\u2019t be determined.";
    case kFileWriteNoPermissionError:
      return "You don\u2019t have permission to save the file " + name + " in the folder \u201c" +
             lastComponent(parentOf(path)) + "\u201d.";
    case kFileWriteFileExistsError:
      return "The file " + name + " couldn\u2019t be saved because a file with the same name already exists.";
    case kFileWriteOutOfSpaceError:
      return "The file " + name + " couldn\u2019t be saved because there isn\u2019t enough space.";
    case kFileWriteVolumeReadOnlyError:
      return "The file " + name + " couldn\u2019t be saved because the volume is read only.";
    case kFileWriteInvalidFileNameError: return "The file name " + name + " is invalid.";
    case kFileWriteUnknownError: return "The file " + name + " couldn\u2019t be saved.";
    default: return "The file " + name + " couldn\u2019t be opened.";
  }
}

bool fail(Error* error, int errnoValue, const std::string& path, bool writing) {
  if (error) *error = FileManager::fileError(errnoValue, path, writing);
  return false;
}

bool failWithCode(Error* error, long code, const std::string& path) {
  if (error) {
    *error = Error(kCocoaErrorDomain, code,
                   Dictionary{{kFilePathErrorKey, Value(path)}, {kLocalizedDescriptionKey, Value(describe(code, path))}});
  }
  return false;
}

// ---- small POSIX helpers ----

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now so that a failure of close (a late write error) can be reported.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

bool writeAll(int fd, const std::uint8_t* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Reads to the end of `fd` straight into `out` (no bounce buffer: hosts files run to megabytes).
// `expected` is the size the file reported; one byte more is asked for, so the read that meets
// the end needs no growth, and a file that grows or reports no size (as under /proc) still reads
// whole.
template <typename Bytes>
bool readAll(int fd, Bytes& out, std::size_t expected) {
  std::size_t filled = 0;
  out.resize(expected + 1);
  for (;;) {
    if (filled == out.size()) out.resize(out.size() + std::max<std::size_t>(out.size(), 65536));
    const ssize_t got = ::read(fd, out.data() + filled, out.size() - filled);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (got == 0) {
      out.resize(filled);
      return true;
    }
    filled += static_cast<std::size_t>(got);
  }
}

std::string randomSuffix() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string suffix;
  for (int i = 0; i < 8; ++i) suffix += kAlphabet[generator() % (sizeof kAlphabet - 1)];
  return suffix;
}

// A name beside `path` for a temporary item; hidden so that listings skip it, and short enough
// that a target whose own name is near the file-name limit can still be written.
std::string temporarySibling(const std::string& path) {
  return joined(parentOf(path), "." + lastComponent(path).substr(0, 200) + ".tmp-" + randomSuffix());
}

// Creates a new file beside `path` and returns its descriptor and name; errno is set on failure.
int createTemporarySibling(const std::string& path, mode_t mode, std::string& temporaryPath) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    temporaryPath = temporarySibling(path);
    const int fd = ::open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void syncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the rename is already done
  ::close(fd);
}

// The file that a write to `path` should replace: the target of a symbolic link, so that a
// linked file is updated rather than the link swapped for a plain file.
std::string writeTarget(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved)) return resolved;
  return path;
}

std::vector<std::string> namesIn(DIR* folder) {
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(folder);
  return names;
}

bool removeTree(const std::string& path, int& errnoValue) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) {
    errnoValue = errno;
    return false;
  }
  if (S_ISDIR(info.st_mode)) {
    DIR* folder = ::opendir(path.c_str());
    if (!folder) {
      errnoValue = errno;
      return false;
    }
    for (const std::string& name : namesIn(folder)) {
      if (!removeTree(joined(path, name), errnoValue)) return false;
    }
    if (::rmdir(path.c_str()) != 0) {
      errnoValue = errno;
      return false;
    }
    return true;
  }
  if (::unlink(path.c_str()) != 0) {
    errnoValue = errno;
    return false;
  }
  return true;
}

// Where a copy failed: the errno, the path it concerns and whether writing failed.
struct CopyFailure {
  int errnoValue = 0;
  std::string path;
  bool writing = true;
};

bool failed(CopyFailure& failure, const std::string& path, bool writing) {
  failure = {errno, path, writing};
  return false;
}

bool copyFile(const std::string& source, const std::string& destination, mode_t mode, CopyFailure& failure) {
  FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) return failed(failure, source, false);
  FileDescriptor out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (out.get() < 0) return failed(failure, destination, true);
  std::uint8_t buffer[65536];
  for (;;) {
    const ssize_t got = ::read(in.get(), buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return failed(failure, source, false);
    if (got == 0) break;
    if (!writeAll(out.get(), buffer, static_cast<std::size_t>(got))) return failed(failure, destination, true);
  }
  if (::fchmod(out.get(), mode & 07777) != 0 || out.close() != 0) return failed(failure, destination, true);
  return true;
}

bool copyTree(const std::string& source, const std::string& destination, CopyFailure& failure) {
  struct stat info;
  if (::lstat(source.c_str(), &info) != 0) return failed(failure, source, false);
  if (S_ISLNK(info.st_mode)) {
    std::vector<char> target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : PATH_MAX) + 1);
    const ssize_t length = ::readlink(source.c_str(), target.data(), target.size() - 1);
    if (length < 0) return failed(failure, source, false);
    target[static_cast<std::size_t>(length)] = '\0';
    if (::symlink(target.data(), destination.c_str()) != 0) return failed(failure, destination, true);
    return true;
  }
  if (S_ISREG(info.st_mode)) return copyFile(source, destination, info.st_mode, failure);
  if (!S_ISDIR(info.st_mode)) {
    errno = ENOTSUP;  // sockets, devices and pipes are not copied
    return failed(failure, source, false);
  }
  if (::mkdir(destination.c_str(), 0700) != 0) return failed(failure, destination, true);
  DIR* folder = ::opendir(source.c_str());
  if (!folder) return failed(failure, source, false);
  for (const std::string& name : namesIn(folder)) {
    if (!copyTree(joined(source, name), joined(destination, name), failure)) return false;
  }
  if (::chmod(destination.c_str(), info.st_mode & 07777) != 0) return failed(failure, destination, true);
  return true;
}

// Whether `path` would lie inside the folder `folder` (or be it): a folder cannot be copied
// into itself, the copy would never end.
bool isInside(const std::string& path, const std::string& folder) {
  char resolvedFolder[PATH_MAX];
  char resolvedParent[PATH_MAX];
  if (!::realpath(folder.c_str(), resolvedFolder) || !::realpath(parentOf(path).c_str(), resolvedParent)) return false;
  const std::string inner = std::string(resolvedParent) + "/";
  const std::string outer = std::string(resolvedFolder) + "/";
  return inner.compare(0, outer.size(), outer) == 0;
}

// Renames without replacing an existing destination.
int renameNoReplace(const std::string& source, const std::string& destination) {
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, destination.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // The file system cannot refuse replacing itself: check, then rename.
  struct stat info;
  if (::lstat(destination.c_str(), &info) == 0) {
    errno = EEXIST;
    return -1;
  }
  return ::rename(source.c_str(), destination.c_str());
}

// ---- text ----

// Runs of ASCII are skipped a word at a time; ICU checks what lies between them. ICU's macros
// count in int32_t, so a long non-ASCII stretch is checked in slices, and a sequence cut by a
// slice's end is checked again at the start of the next slice.
bool isValidUTF8(const std::uint8_t* bytes, std::size_t size) {
  constexpr std::size_t kSlice = std::size_t{1} << 30;
  std::size_t offset = 0;
  while (offset < size) {
    offset += asciiPrefixLength(std::string_view(reinterpret_cast<const char*>(bytes) + offset, size - offset));
    if (offset == size) break;
    const bool last = size - offset <= kSlice;
    const auto length = static_cast<int32_t>(last ? size - offset : kSlice);
    int32_t i = 0;
    while (i < length && bytes[offset + static_cast<std::size_t>(i)] >= 0x80) {
      const int32_t start = i;
      UChar32 c;
      U8_NEXT(bytes + offset, i, length, c);
      if (c >= 0) continue;
      if (last || start < length - 3) return false;
      i = start;
      break;
    }
    offset += static_cast<std::size_t>(i);
  }
  return true;
}

void appendUTF8(std::string& out, UChar32 c) {
  char buffer[4];
  int32_t length = 0;
  UBool failed = false;
  U8_APPEND(buffer, length, 4, c, failed);
  if (!failed) out.append(buffer, static_cast<std::size_t>(length));
}

std::optional<std::string> decodeUTF16(const std::uint8_t* bytes, std::size_t size, bool bigEndian) {
  if (size % 2 != 0) return std::nullopt;
  std::string out;
  out.reserve(size);
  const std::size_t units = size / 2;
  auto unitAt = [&](std::size_t i) -> char16_t {
    const std::uint8_t a = bytes[2 * i], b = bytes[2 * i + 1];
    return static_cast<char16_t>(bigEndian ? (a << 8) | b : (b << 8) | a);
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t unit = unitAt(i);
    if (U16_IS_LEAD(unit)) {
      if (i + 1 >= units || !U16_IS_TRAIL(unitAt(i + 1))) return std::nullopt;
      appendUTF8(out, U16_GET_SUPPLEMENTARY(unit, unitAt(i + 1)));
      ++i;
    } else if (U16_IS_TRAIL(unit)) {
      return std::nullopt;
    } else {
      appendUTF8(out, unit);
    }
  }
  return out;
}

std::string decodeLatin1(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  out.reserve(size + size / 4);
  for (std::size_t i = 0; i < size; ++i) appendUTF8(out, bytes[i]);
  return out;
}

FileType typeOf(mode_t mode) {
  if (S_ISREG(mode)) return FileType::Regular;
  if (S_ISDIR(mode)) return FileType::Directory;
  if (S_ISLNK(mode)) return FileType::SymbolicLink;
  return FileType::Other;
}

bool collect(const std::string& root, const std::string& relative, unsigned options,
             const std::function<bool(const std::string&, bool)>& visit, std::vector<std::string>& out,
             bool& stopped, int& errnoValue) {
  DIR* folder = ::opendir(joined(root, relative).c_str());
  if (!folder) {
    errnoValue = errno;
    return false;
  }
  std::vector<std::string> names;
  while (dirent* entry = ::readdir(folder)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if ((options & DirectoryEnumerationSkipsHiddenFiles) && name[0] == '.') continue;
    names.push_back(name);
  }
  ::closedir(folder);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = relative.empty() ? name : relative + "/" + name;
    struct stat info;
    const bool isDirectory = ::lstat(joined(root, path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
    out.push_back(path);
    if (visit && !visit(path, isDirectory)) {
      stopped = true;
      return true;
    }
    if (!isDirectory || (options & DirectoryEnumerationSkipsSubdirectoryDescendants)) continue;
    int ignored = 0;
    // A folder below that cannot be read is skipped, as the platform's enumerator does.
    collect(root, path, options, visit, out, stopped, ignored);
    if (stopped) return true;
  }
  return true;
}

}  // namespace

Dictionary FileAttributes::dictionary() const {
  const char* typeName = "NSFileTypeUnknown";
  switch (type) {
    case FileType::Regular: typeName = "NSFileTypeRegular"; break;
    case FileType::Directory: typeName = "NSFileTypeDirectory"; break;
    case FileType::SymbolicLink: typeName = "NSFileTypeSymbolicLink"; break;
    case FileType::Other: break;
  }
  return Dictionary{{"NSFileSize", Value(static_cast<unsigned long long>(size))},
                    {"NSFileModificationDate", Value(modificationDate)},
                    {"NSFileType", Value(typeName)},
                    {"NSFilePosixPermissions", Value(posixPermissions)}};
}

FileManager& FileManager::defaultManager() {
  static FileManager manager;
  return manager;
}

Error FileManager::fileError(int errnoValue, const std::string& path, bool writing) {
  const long code = codeFor(errnoValue, writing);
  Dictionary info{{kFilePathErrorKey, Value(path)}, {kLocalizedDescriptionKey, Value(describe(code, path))}};
  return Error(kCocoaErrorDomain, code, std::move(info), std::make_shared<Error>(Error::posix(errnoValue, path)));
}

bool FileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
  struct stat info;
  if (path.empty() || ::stat(path.c_str(), &info) != 0) return false;
  if (isDirectory) *isDirectory = S_ISDIR(info.st_mode);
  return true;
}

bool FileManager::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories, Error* error,
                                        std::optional<unsigned> permissions) const {
  if (path.empty()) return fail(error, ENOENT, path, true);
  // Made no wider than asked, then set exactly: the umask may not narrow what the caller chose,
  // and the folder is never open to others in between.
  const mode_t mode = permissions ? static_cast<mode_t>(*permissions & 0777) : 0777;
  const auto make = [&](const std::string& folder) {
    if (::mkdir(folder.c_str(), mode) != 0) return false;
    if (permissions) ::chmod(folder.c_str(), static_cast<mode_t>(*permissions));
    return true;
  };
  if (!withIntermediateDirectories) {
    if (!make(path)) return fail(error, errno, path, true);
    return true;
  }
  std::size_t position = 0;
  while (position != std::string::npos) {
    position = path.find('/', position + 1);
    const std::string prefix = path.substr(0, position);
    if (prefix.empty() || prefix.back() == '/') continue;
    if (make(prefix)) continue;
    const int mkdirErrno = errno;
    struct stat info;
    if (::stat(prefix.c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode)) continue;
      return fail(error, EEXIST, prefix, true);
    }
    return fail(error, mkdirErrno, prefix, true);
  }
  return true;
}

bool FileManager::removeItemAtPath(const std::string& path, Error* error) const {
  int errnoValue = 0;
  if (path.empty() || !removeTree(path, errnoValue)) return fail(error, path.empty() ? ENOENT : errnoValue, path, true);
  return true;
}

bool FileManager::moveItemAtPath(const std::string& source, const std::string& destination, Error* error) const {
  struct stat info;
  if (::lstat(source.c_str(), &info) != 0) return fail(error, errno, source, true);
  if (renameNoReplace(source, destination) == 0) return true;
  if (errno != EXDEV) return fail(error, errno, errno == EEXIST ? destination : source, true);
  // Another file system: copy, then remove the original only once the copy is complete.
  if (!copyItemAtPath(source, destination, error)) return false;
  int errnoValue = 0;
  if (!removeTree(source, errnoValue)) return fail(error, errnoValue, source, true);
  return true;
}

bool FileManager::copyItemAtPath(const std::string& source, const std::string& destination, Error* error) const {
  struct stat info;
  if (::lstat(source.c_str(), &info) != 0) return fail(error, errno, source, false);
  if (::lstat(destination.c_str(), &info) == 0) return fail(error, EEXIST, destination, true);
  if (isInside(destination, source)) return fail(error, EINVAL, destination, true);
  // Build the copy under a hidden name and rename it into place, so that a failure half way
  // leaves nothing at the destination.
  const std::string staging = temporarySibling(destination);
  CopyFailure failure;
  if (!copyTree(source, staging, failure)) {
    int ignored = 0;
    removeTree(staging, ignored);
    // The staging name means nothing to the caller; report the destination instead.
    return fail(error, failure.errnoValue, failure.writing ? destination : failure.path, failure.writing);
  }
  if (renameNoReplace(staging, destination) != 0) {
    const int errnoValue = errno;
    int ignored = 0;
    removeTree(staging, ignored);
    return fail(error, errnoValue, destination, true);
  }
  return true;
}

std::optional<FileAttributes> FileManager::attributesOfItemAtPath(const std::string& path, Error* error,
                                                                  bool traverseLink) const {
  struct stat info;
  if ((traverseLink ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info)) != 0) {
    fail(error, errno, path, false);
    return std::nullopt;
  }
  FileAttributes attributes;
  attributes.size = static_cast<std::uint64_t>(info.st_size);
  attributes.modificationDate = Date::fromTimeIntervalSince1970(static_cast<double>(info.st_mtim.tv_sec) +
                                                                static_cast<double>(info.st_mtim.tv_nsec) / 1e9);
  attributes.type = typeOf(info.st_mode);
  attributes.posixPermissions = info.st_mode & 07777;
  return attributes;
}

std::optional<std::vector<std::string>> FileManager::contentsOfDirectoryAtPath(const std::string& path,
                                                                               Error* error) const {
  std::vector<std::string> names;
  bool stopped = false;
  int errnoValue = 0;
  if (!collect(path, {}, DirectoryEnumerationSkipsSubdirectoryDescendants, {}, names, stopped, errnoValue)) {
    fail(error, errnoValue, path, false);
    return std::nullopt;
  }
  return names;
}

std::optional<std::vector<std::string>> FileManager::enumerate(
    const std::string& path, unsigned options, const std::function<bool(const std::string&, bool)>& visit,
    Error* error) const {
  std::vector<std::string> paths;
  bool stopped = false;
  int errnoValue = 0;
  if (!collect(path, {}, options, visit, paths, stopped, errnoValue)) {
    fail(error, errnoValue, path, false);
    return std::nullopt;
  }
  return paths;
}

bool FileManager::writeData(const Data& data, const std::string& path, Error* error,
                            std::optional<unsigned> permissions) const {
  if (path.empty()) return fail(error, ENOENT, path, true);
  const std::string target = writeTarget(path);
  struct stat existing;
  const bool replacing = ::stat(target.c_str(), &existing) == 0;
  if (replacing && S_ISDIR(existing.st_mode)) return fail(error, EISDIR, path, true);

  std::string temporaryPath;
  // Without explicit permissions, 0666 lets the umask decide, as for any new file.
  FileDescriptor fd(createTemporarySibling(target, permissions ? (*permissions & 0777) : 0666, temporaryPath));
  if (fd.get() < 0) return fail(error, errno, path, true);

  int failure = 0;
  if (permissions || replacing) {
    if (::fchmod(fd.get(), permissions ? (*permissions & 07777) : (existing.st_mode & 07777)) != 0) failure = errno;
  }
  if (!failure && !writeAll(fd.get(), data.data(), data.size())) failure = errno;
  if (!failure && ::fsync(fd.get()) != 0) failure = errno;
  if (!failure && fd.close() != 0) failure = errno;
  if (!failure && ::rename(temporaryPath.c_str(), target.c_str()) != 0) failure = errno;
  if (failure) {
    ::unlink(temporaryPath.c_str());
    return fail(error, failure, path, true);
  }
  syncFolder(parentOf(target));
  return true;
}

bool FileManager::writeText(const std::string& text, const std::string& path, Error* error,
                            std::optional<unsigned> permissions) const {
  return writeData(Data(text.begin(), text.end()), path, error, permissions);
}

namespace {

// The whole file at `path` into `out`; false with the read errors of contentsAtPath.
template <typename Bytes>
bool readFile(const std::string& path, Bytes& out, Error* error) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    fail(error, errno, path, false);
    return false;
  }
  struct stat info;
  const bool known = ::fstat(fd.get(), &info) == 0;
  if (known && S_ISDIR(info.st_mode)) {
    fail(error, EISDIR, path, false);
    return false;
  }
  if (!readAll(fd.get(), out, known && info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0)) {
    fail(error, errno, path, false);
    return false;
  }
  return true;
}

}  // namespace

std::optional<Data> FileManager::contentsAtPath(const std::string& path, Error* error) const {
  Data data;
  if (!readFile(path, data, error)) return std::nullopt;
  return data;
}

std::optional<std::string> FileManager::readText(const std::string& path, Error* error,
                                                 StringEncoding* detectedEncoding) const {
  // Read as text from the start: valid UTF-8 without a mark, nearly every file, is then
  // returned as read, with no copy.
  std::string text;
  if (!readFile(path, text, error)) return std::nullopt;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  auto found = [&](StringEncoding encoding, std::optional<std::string> decoded) -> std::optional<std::string> {
    if (!decoded) {
      failWithCode(error, kFileReadInapplicableStringEncodingError, path);
      return std::nullopt;
    }
    if (detectedEncoding) *detectedEncoding = encoding;
    return decoded;
  };
  if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) {
    if (!isValidUTF8(bytes + 3, size - 3)) return found(StringEncoding::UTF8, std::nullopt);
    text.erase(0, 3);
    return found(StringEncoding::UTF8, std::move(text));
  }
  if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
    return found(StringEncoding::UTF16LittleEndian, decodeUTF16(bytes + 2, size - 2, false));
  }
  if (size >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
    return found(StringEncoding::UTF16BigEndian, decodeUTF16(bytes + 2, size - 2, true));
  }
  if (isValidUTF8(bytes, size)) return found(StringEncoding::UTF8, std::move(text));
  return found(StringEncoding::ISOLatin1, decodeLatin1(bytes, size));
}

std::string FileManager::homeDirectory() const {
  std::string home = environmentPath("HOME");
  if (!home.empty()) return home;
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* result = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &result) == 0 && result && result->pw_dir) {
    return result->pw_dir;
  }
  return "/";
}

std::string FileManager::temporaryDirectory() const {
  std::string folder = environmentPath("TMPDIR");
  return folder.empty() ? "/tmp" : folder;
}

std::string FileManager::searchPathDirectory(SearchPathDirectory kind) const {
  auto fromEnvironment = [&](const char* name, const char* fallback) {
    std::string folder = environmentPath(name);
    return folder.empty() ? joined(homeDirectory(), fallback) : folder;
  };
  switch (kind) {
    case SearchPathDirectory::Documents: return fromEnvironment("XDG_DOCUMENTS_DIR", "Documents");
    case SearchPathDirectory::Caches: return fromEnvironment("XDG_CACHE_HOME", ".cache");
    case SearchPathDirectory::ApplicationSupport: return fromEnvironment("XDG_DATA_HOME", ".local/share");
    case SearchPathDirectory::Temporary: return temporaryDirectory();
  }
  return temporaryDirectory();
}

}  // namespace foundation
