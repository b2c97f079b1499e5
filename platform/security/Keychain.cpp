#include "platform/security/Keychain.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/security/Crypto.h"

namespace security {
namespace {

using foundation::Data;
using foundation::Dictionary;
using foundation::Value;

constexpr const char* kItemSuffix = ".item";
constexpr const char* kLockName = ".lock";

struct Item {
  std::string service;
  std::string account;
  Data data;
};

// A query's identity fields: each absent field matches any item.
struct Match {
  std::optional<std::string> service;
  std::optional<std::string> account;
  bool matches(const Item& item) const {
    return (!service || *service == item.service) && (!account || *account == item.account);
  }
  bool isExact() const { return service && account; }
};

// One file per identity. The digest keeps any service and account text out of the file name; the
// length prefix keeps ("ab", "c") and ("a", "bc") apart.
std::string fileNameFor(const std::string& service, const std::string& account) {
  return sha256Hex(std::to_string(service.size()) + ":" + service + account) + kItemSuffix;
}

std::mutex& processMutex() {
  static std::mutex mutex;
  return mutex;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  void reset(int fd) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool makeFolders(const std::string& folder) {
  if (folder.empty() || folder == "/" || folder == ".") return true;
  struct stat info {};
  if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  if (!makeFolders(folderOf(folder))) return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// Checks an open folder or item file before use: it must be of `type` and the user's own, and it
// loses any group or other access it has. Nothing ever gains access here.
OSStatus securePrivate(int fd, mode_t type) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || (info.st_mode & S_IFMT) != type || info.st_uid != geteuid()) return errSecIO;
  if ((info.st_mode & 077) != 0 && fchmod(fd, info.st_mode & 0700) != 0) return errSecIO;
  return errSecSuccess;
}

// The keychain folder, opened (never through a symbolic link) and checked. With `create`, a missing
// folder is made with mode 0700; without, it is errSecItemNotFound.
OSStatus openFolder(const std::string& path, bool create, Fd& folder) {
  if (create && !makeFolders(folderOf(path))) return errSecIO;
  if (create && mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errSecIO;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? errSecItemNotFound : errSecIO;
  folder.reset(fd);
  return securePrivate(fd, S_IFDIR);
}

// Holds the keychain's lock file for one read-modify-write, across threads and processes.
class ChangeLock {
 public:
  explicit ChangeLock(int folder) : guard_(processMutex()) {
    fd_ = openat(folder, kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~ChangeLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  ChangeLock(const ChangeLock&) = delete;
  ChangeLock& operator=(const ChangeLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  std::lock_guard<std::mutex> guard_;
  int fd_ = -1;
};

bool readAll(int fd, std::string& bytes) {
  char buffer[8192];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return false;
    if (count == 0) return true;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
}

bool writeAll(int fd, const Data& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Reads one item file. errSecItemNotFound when there is none; errSecDecode when it is not an item
// (it is then left alone, so that nothing overwrites what might still be recovered).
OSStatus readItem(int folder, const std::string& name, Item& item) {
  const Fd fd(openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT ? errSecItemNotFound : errSecIO;
  if (OSStatus status = securePrivate(fd.get(), S_IFREG); status != errSecSuccess) return status;
  std::string bytes;
  if (!readAll(fd.get(), bytes)) return errSecIO;
  const auto plist = foundation::PropertyListSerialization::propertyListWithData(Data(bytes.begin(), bytes.end()));
  if (!plist || !plist->isDictionary()) return errSecDecode;
  const Value& service = (*plist)["service"];
  const Value& account = (*plist)["account"];
  const Value& data = (*plist)["data"];
  if ((*plist)["class"] != Value(kSecClassGenericPassword) || !service.isString() || !account.isString() ||
      !data.isData() || fileNameFor(service.stringValue(), account.stringValue()) != name) {
    return errSecDecode;
  }
  item = {service.stringValue(), account.stringValue(), data.dataValue()};
  return errSecSuccess;
}

// Writes the item to a fresh private file, syncs it and renames it over the item's file, so a reader
// sees the old item or the new one and never a part.
OSStatus writeItem(int folder, const Item& item) {
  const Dictionary record{{"class", kSecClassGenericPassword}, {"service", item.service},
                          {"account", item.account}, {"data", item.data}};
  const auto bytes = foundation::PropertyListSerialization::dataWithPropertyList(
      Value(record), foundation::PropertyListFormat::Binary);
  if (!bytes) return errSecParam;  // text that is not UTF-8
  static std::atomic<unsigned> counter{0};
  const std::string name = fileNameFor(item.service, item.account);
  const std::string temporary = "." + name + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
  const int fd = openat(folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return errSecIO;
  const bool ok = fchmod(fd, 0600) == 0 && writeAll(fd, *bytes) && fsync(fd) == 0;
  if (close(fd) != 0 || !ok || renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
    unlinkat(folder, temporary.c_str(), 0);
    return errSecIO;
  }
  fsync(folder);
  return errSecSuccess;
}

OSStatus removeItem(int folder, const std::string& name) {
  if (unlinkat(folder, name.c_str(), 0) != 0) return errno == ENOENT ? errSecItemNotFound : errSecIO;
  fsync(folder);
  return errSecSuccess;
}

// Every item the query matches, ordered by service and account. An exact query reads the one file
// it names; any other reads them all, and fails on the first damaged one, since it cannot tell
// whether that one would have matched.
OSStatus findItems(int folder, const Match& match, std::vector<Item>& found) {
  found.clear();
  if (match.isExact()) {
    Item item;
    const OSStatus status = readItem(folder, fileNameFor(*match.service, *match.account), item);
    if (status == errSecSuccess) found.push_back(std::move(item));
    return status == errSecItemNotFound ? errSecSuccess : status;
  }
  const int copy = dup(folder);
  DIR* listing = copy >= 0 ? fdopendir(copy) : nullptr;
  if (!listing) {
    if (copy >= 0) close(copy);
    return errSecIO;
  }
  std::vector<std::string> names;
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.size() > 5 && name[0] != '.' && name.ends_with(kItemSuffix)) names.push_back(name);
  }
  closedir(listing);
  for (const auto& name : names) {
    Item item;
    const OSStatus status = readItem(folder, name, item);
    if (status == errSecItemNotFound) continue;  // removed meanwhile by another process
    if (status != errSecSuccess) return status;
    if (match.matches(item)) found.push_back(std::move(item));
  }
  std::sort(found.begin(), found.end(), [](const Item& a, const Item& b) {
    return std::tie(a.service, a.account) < std::tie(b.service, b.account);
  });
  return errSecSuccess;
}

// Reads an optional string attribute; false when it is present with another type.
bool stringField(const Dictionary& dictionary, const char* key, std::optional<std::string>& out) {
  const Value* value = dictionary.find(key);
  if (!value) return true;
  if (!value->isString()) return false;
  out = value->stringValue();
  return true;
}

// The class check every call shares, then the identity fields of the query.
OSStatus parseQuery(const Dictionary& query, Match& match) {
  const Value* itemClass = query.find(kSecClass);
  if (!itemClass || !itemClass->isString()) return errSecParam;
  if (itemClass->stringValue() != kSecClassGenericPassword) return errSecUnimplemented;
  if (!stringField(query, kSecAttrService, match.service) || !stringField(query, kSecAttrAccount, match.account)) {
    return errSecParam;
  }
  return errSecSuccess;
}

bool dataField(const Dictionary& dictionary, std::optional<Data>& out) {
  const Value* value = dictionary.find(kSecValueData);
  if (!value) return true;
  if (value->isData()) {
    out = value->dataValue();
    return true;
  }
  if (value->isString()) {  // the platform takes text where it expects data; keep its bytes
    out = Data(value->stringValue().begin(), value->stringValue().end());
    return true;
  }
  return false;
}

Value resultFor(const Item& item, bool wantData, bool wantAttributes) {
  if (!wantAttributes) return Value(item.data);
  Dictionary attributes{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, item.service},
                        {kSecAttrAccount, item.account}};
  if (wantData) attributes.set(kSecValueData, item.data);
  return Value(std::move(attributes));
}

bool sameIdentity(const Item& a, const Item& b) { return a.service == b.service && a.account == b.account; }

// $XDG_DATA_HOME when it is an absolute path, else ~/.local/share, as the XDG rules ask.
std::string dataDirectory() {
  const char* xdg = std::getenv("XDG_DATA_HOME");
  if (xdg && xdg[0] == '/') return xdg;
  const char* home = std::getenv("HOME");
  return std::string(home && home[0] ? home : "") + "/.local/share";
}

}  // namespace

std::string Keychain::defaultPath() {
  // The information key, not bundleIdentifier(): that falls back to the process name, which would
  // give every tool and test binary a keychain of its own.
  const Value identifier =
      foundation::Bundle::mainBundle()->objectForInfoDictionaryKey(foundation::kCFBundleIdentifierKey);
  const std::string folder =
      identifier.isString() && !identifier.stringValue().empty() ? identifier.stringValue() : "quillmere";
  return dataDirectory() + "/" + folder + "/keychain";
}

Keychain Keychain::defaultKeychain() { return Keychain(defaultPath()); }

Keychain::Keychain(std::string path) : path_(std::move(path)) {}

OSStatus Keychain::add(const Dictionary& attributes) const {
  Match match;
  if (OSStatus status = parseQuery(attributes, match); status != errSecSuccess) return status;
  std::optional<Data> data;
  if (!dataField(attributes, data)) return errSecParam;
  Fd folder;
  if (OSStatus status = openFolder(path_, true, folder); status != errSecSuccess) return status;
  const ChangeLock lock(folder.get());
  if (!lock.held()) return errSecIO;
  const Item item{match.service.value_or(""), match.account.value_or(""), data.value_or(Data{})};
  Item existing;
  const OSStatus status = readItem(folder.get(), fileNameFor(item.service, item.account), existing);
  if (status == errSecSuccess) return errSecDuplicateItem;
  if (status != errSecItemNotFound) return status;
  return writeItem(folder.get(), item);
}

OSStatus Keychain::copyMatching(const Dictionary& query, Value* result) const {
  if (result) *result = Value();
  Match match;
  if (OSStatus status = parseQuery(query, match); status != errSecSuccess) return status;
  const bool wantData = query.get(kSecReturnData).boolValue();
  const bool wantAttributes = query.get(kSecReturnAttributes).boolValue();
  const Value& limit = query.get(kSecMatchLimit);
  const bool all = limit.isString() && limit.stringValue() == kSecMatchLimitAll;
  // Reads take no lock: every change renames a whole file into place.
  Fd folder;
  if (OSStatus status = openFolder(path_, false, folder); status != errSecSuccess) return status;
  std::vector<Item> items;
  if (OSStatus status = findItems(folder.get(), match, items); status != errSecSuccess) return status;
  if (items.empty()) return errSecItemNotFound;
  if (!result || !(wantData || wantAttributes)) return errSecSuccess;
  if (!all) {
    *result = resultFor(items.front(), wantData, wantAttributes);
    return errSecSuccess;
  }
  foundation::Array found;
  for (const auto& item : items) found.push_back(resultFor(item, wantData, wantAttributes));
  *result = Value(std::move(found));
  return errSecSuccess;
}

OSStatus Keychain::update(const Dictionary& query, const Dictionary& changes) const {
  Match match;
  if (OSStatus status = parseQuery(query, match); status != errSecSuccess) return status;
  std::optional<std::string> service, account;
  std::optional<Data> data;
  if (!stringField(changes, kSecAttrService, service) || !stringField(changes, kSecAttrAccount, account) ||
      !dataField(changes, data)) {
    return errSecParam;
  }
  Fd folder;
  if (OSStatus status = openFolder(path_, false, folder); status != errSecSuccess) return status;
  const ChangeLock lock(folder.get());
  if (!lock.held()) return errSecIO;
  std::vector<Item> all;
  if (OSStatus status = findItems(folder.get(), Match{}, all); status != errSecSuccess) return status;
  std::vector<Item> before, after;
  for (const auto& item : all) {
    if (!match.matches(item)) continue;
    Item changed = item;
    if (service) changed.service = *service;
    if (account) changed.account = *account;
    if (data) changed.data = *data;
    before.push_back(item);
    after.push_back(std::move(changed));
  }
  if (before.empty()) return errSecItemNotFound;
  // A change may not give two items one identity, whether both are changed or one is left alone.
  for (std::size_t i = 0; i < after.size(); ++i) {
    for (std::size_t j = i + 1; j < after.size(); ++j) {
      if (sameIdentity(after[i], after[j])) return errSecDuplicateItem;
    }
    for (const auto& item : all) {
      const bool changedAway = std::any_of(before.begin(), before.end(), [&](const Item& b) { return sameIdentity(b, item); });
      if (!changedAway && sameIdentity(item, after[i])) return errSecDuplicateItem;
    }
  }
  // New files first, old names after: an interruption leaves an item twice, never lost.
  for (const auto& item : after) {
    if (OSStatus status = writeItem(folder.get(), item); status != errSecSuccess) return status;
  }
  for (const auto& item : before) {
    const bool stillThere = std::any_of(after.begin(), after.end(), [&](const Item& a) { return sameIdentity(a, item); });
    if (!stillThere) removeItem(folder.get(), fileNameFor(item.service, item.account));
  }
  return errSecSuccess;
}

OSStatus Keychain::remove(const Dictionary& query) const {
  Match match;
  if (OSStatus status = parseQuery(query, match); status != errSecSuccess) return status;
  Fd folder;
  if (OSStatus status = openFolder(path_, false, folder); status != errSecSuccess) return status;
  const ChangeLock lock(folder.get());
  if (!lock.held()) return errSecIO;
  // The name alone identifies an exact item, so a damaged one can still be deleted.
  if (match.isExact()) return removeItem(folder.get(), fileNameFor(*match.service, *match.account));
  std::vector<Item> items;
  if (OSStatus status = findItems(folder.get(), match, items); status != errSecSuccess) return status;
  if (items.empty()) return errSecItemNotFound;
  for (const auto& item : items) {
    const OSStatus status = removeItem(folder.get(), fileNameFor(item.service, item.account));
    if (status != errSecSuccess && status != errSecItemNotFound) return status;
  }
  return errSecSuccess;
}

OSStatus itemAdd(const Dictionary& attributes) { return Keychain::defaultKeychain().add(attributes); }
OSStatus itemCopyMatching(const Dictionary& query, Value* result) {
  return Keychain::defaultKeychain().copyMatching(query, result);
}
OSStatus itemUpdate(const Dictionary& query, const Dictionary& changes) {
  return Keychain::defaultKeychain().update(query, changes);
}
OSStatus itemDelete(const Dictionary& query) { return Keychain::defaultKeychain().remove(query); }

}  // namespace security
