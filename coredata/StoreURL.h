#pragma once
// StoreURL is a file URL naming a store file: what the URL forms of the stack set-up take, and
// what DSPersistentStore::DS_urlForStoreName gives. It keeps the plain path (the coordinator
// accepts paths), and prints as "file://" + path. A plain value, safe to copy across threads.
#include <string>
#include <variant>

class StoreURL {
 public:
  StoreURL() = default;
  // The URL of the file at `path` (an absolute path).
  static StoreURL fileURLWithPath(std::string path) { return StoreURL(std::move(path)); }

  const std::string& path() const { return path_; }
  bool empty() const { return path_.empty(); }
  // "file://" followed by the path.
  std::string absoluteString() const { return "file://" + path_; }
  // The last "/"-separated component of the path.
  std::string lastPathComponent() const {
    const auto slash = path_.find_last_of('/');
    return slash == std::string::npos ? path_ : path_.substr(slash + 1);
  }
  // The path less its last component ("/" for a file at the top).
  std::string deletingLastPathComponent() const {
    const auto slash = path_.find_last_of('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? std::string("/") : path_.substr(0, slash);
  }
  // The URL of this path with `suffix` appended to its text (the store's "-shm" and "-wal").
  StoreURL appendingToPath(const std::string& suffix) const { return StoreURL(path_ + suffix); }

  bool operator==(const StoreURL&) const = default;

 private:
  explicit StoreURL(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// A store named relative to the application's storage folder, or given by its URL: the add
// operations tell the two apart, so the named and URL forms share one code path.
using DSStoreNameOrURL = std::variant<std::string, StoreURL>;
