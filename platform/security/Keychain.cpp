#include "platform/security/Keychain.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/security/Base64.h"

namespace security {
namespace {

using foundation::Data;
using foundation::Dictionary;
using foundation::Value;

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
};

std::mutex& processMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string folderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool makeFolders(const std::string& folder) {
  if (folder.empty() || folder == "/" || folder == ".") return true;
  struct stat info {};
  if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  if (!makeFolders(folderOf(folder))) return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// Holds the keychain's lock file for one read-modify-write, across threads and processes.
class StoreLock {
 public:
  explicit StoreLock(const std::string& storePath) : guard_(processMutex()) {
    if (!makeFolders(folderOf(storePath))) return;
    fd_ = open((storePath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ >= 0 && flock(fd_, LOCK_EX) != 0) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~StoreLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
  }
  StoreLock(const StoreLock&) = delete;
  StoreLock& operator=(const StoreLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  std::lock_guard<std::mutex> guard_;
  int fd_ = -1;
};

// The whole store file; a missing file reads as empty.
OSStatus readStore(const std::string& path, std::string& bytes) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? errSecSuccess : errSecIO;
  char buffer[8192];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      close(fd);
      return errSecIO;
    }
    if (count == 0) break;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  close(fd);
  return errSecSuccess;
}

// Reads every item. A missing file is an empty keychain; a file that cannot be read or parsed is an
// error, so that a damaged store is never overwritten by an empty one.
OSStatus load(const std::string& path, std::vector<Item>& items) {
  items.clear();
  std::string bytes;
  if (OSStatus status = readStore(path, bytes); status != errSecSuccess || bytes.empty()) return status;
  const auto json = nlohmann::json::parse(bytes, nullptr, false);
  if (!json.is_object() || !json.contains("items") || !json["items"].is_array()) return errSecDecode;
  for (const auto& entry : json["items"]) {
    if (!entry.is_object() || !entry.value("service", nlohmann::json()).is_string() ||
        !entry.value("account", nlohmann::json()).is_string() || !entry.value("data", nlohmann::json()).is_string()) {
      return errSecDecode;
    }
    auto data = dataFromBase64(entry["data"].get<std::string>());
    if (!data) return errSecDecode;
    items.push_back({entry["service"].get<std::string>(), entry["account"].get<std::string>(), std::move(*data)});
  }
  return errSecSuccess;
}

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = write(fd, text.data() + done, text.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    done += static_cast<std::size_t>(written);
  }
  return true;
}

// Writes every item to a fresh file made with mode 0600 and renames it over the store, so a reader
// sees the old store or the new one and never a part, and the secrets are never group-readable.
OSStatus save(const std::string& path, const std::vector<Item>& items) {
  nlohmann::json list = nlohmann::json::array();
  for (const auto& item : items) {
    list.push_back({{"class", kSecClassGenericPassword}, {"service", item.service}, {"account", item.account},
                    {"data", base64EncodedString(item.data)}});
  }
  const std::string text = nlohmann::json{{"version", 1}, {"items", list}}.dump();
  const std::string temporary = path + ".tmp-" + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return errSecIO;
  const bool ok = fchmod(fd, 0600) == 0 && writeAll(fd, text) && fsync(fd) == 0;
  if (close(fd) != 0 || !ok || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return errSecIO;
  }
  const int folder = open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    fsync(folder);
    close(folder);
  }
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

bool identityTaken(const std::vector<Item>& items, const Item& candidate, std::size_t except) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != except && items[i].service == candidate.service && items[i].account == candidate.account) return true;
  }
  return false;
}

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
  StoreLock lock(path_);
  if (!lock.held()) return errSecIO;
  std::vector<Item> items;
  if (OSStatus status = load(path_, items); status != errSecSuccess) return status;
  Item item{match.service.value_or(""), match.account.value_or(""), data.value_or(Data{})};
  if (identityTaken(items, item, items.size())) return errSecDuplicateItem;
  items.push_back(std::move(item));
  return save(path_, items);
}

OSStatus Keychain::copyMatching(const Dictionary& query, Value* result) const {
  if (result) *result = Value();
  Match match;
  if (OSStatus status = parseQuery(query, match); status != errSecSuccess) return status;
  const bool wantData = query.get(kSecReturnData).boolValue();
  const bool wantAttributes = query.get(kSecReturnAttributes).boolValue();
  const Value& limit = query.get(kSecMatchLimit);
  const bool all = limit.isString() && limit.stringValue() == kSecMatchLimitAll;
  std::vector<Item> items;
  {
    StoreLock lock(path_);
    if (!lock.held()) return errSecIO;
    if (OSStatus status = load(path_, items); status != errSecSuccess) return status;
  }
  foundation::Array found;
  for (const auto& item : items) {
    if (!match.matches(item)) continue;
    found.push_back(resultFor(item, wantData, wantAttributes));
    if (!all) break;
  }
  if (found.empty()) return errSecItemNotFound;
  if (result && (wantData || wantAttributes)) *result = all ? Value(std::move(found)) : found.front();
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
  StoreLock lock(path_);
  if (!lock.held()) return errSecIO;
  std::vector<Item> items;
  if (OSStatus status = load(path_, items); status != errSecSuccess) return status;
  std::vector<Item> changed = items;
  bool any = false;
  for (auto& item : changed) {
    if (!match.matches(item)) continue;
    any = true;
    if (service) item.service = *service;
    if (account) item.account = *account;
    if (data) item.data = *data;
  }
  if (!any) return errSecItemNotFound;
  for (std::size_t i = 0; i < changed.size(); ++i) {
    if (identityTaken(changed, changed[i], i)) return errSecDuplicateItem;
  }
  return save(path_, changed);
}

OSStatus Keychain::remove(const Dictionary& query) const {
  Match match;
  if (OSStatus status = parseQuery(query, match); status != errSecSuccess) return status;
  StoreLock lock(path_);
  if (!lock.held()) return errSecIO;
  std::vector<Item> items;
  if (OSStatus status = load(path_, items); status != errSecSuccess) return status;
  const auto before = items.size();
  std::erase_if(items, [&](const Item& item) { return match.matches(item); });
  if (items.size() == before) return errSecItemNotFound;
  return save(path_, items);
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
