#include "platform/foundation/UserDefaults.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/PropertyListSerialization.h"

namespace foundation {

namespace {

// How long after a change the background flush waits, so that a burst of changes costs one write.
constexpr auto kFlushDelay = std::chrono::milliseconds(1000);
// Settings are the user's own business: the file is readable by its owner only.
constexpr unsigned kFileMode = 0600;

std::string configHome() {
  FileManager& files = FileManager::defaultManager();
  const char* value = std::getenv("XDG_CONFIG_HOME");
  if (value && value[0] == '/') return value;
  return files.homeDirectory() + "/.config";
}

std::string fileNameFor(const std::string& suiteName) {
  std::string name = suiteName;
  std::replace(name.begin(), name.end(), '/', '_');
  if (name == "." || name == "..") name = "_";
  return name + ".plist";
}

std::string utcStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm parts{};
  gmtime_r(&now, &parts);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%SZ", &parts);
  return buffer;
}

bool equalsIgnoringCase(const std::string& a, const char* b) {
  const std::size_t length = std::char_traits<char>::length(b);
  if (a.size() != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

}  // namespace

// One suite's domains and its file. Every member is used under `mutex`.
class UserDefaults::Store {
 public:
  Store(std::string suite, std::string path) : suite_(std::move(suite)), path_(std::move(path)) {}

  const std::string& path() const { return path_; }

  Value object(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    load();
    if (const Value* value = persistent_.find(key)) return *value;
    return registration_.get(key);
  }

  void registerDefaults(const Dictionary& defaults) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& [key, value] : defaults) registration_.set(key, value);
  }

  void set(const std::string& key, const Value& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    load();
    persistent_.set(key, value);
    dirty_ = true;
  }

  bool remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    load();
    if (!persistent_.remove(key)) return false;
    dirty_ = true;
    return true;
  }

  Dictionary merged() {
    std::lock_guard<std::mutex> lock(mutex_);
    load();
    Dictionary all = registration_;
    for (const auto& [key, value] : persistent_) all.set(key, value);
    return all;
  }

  Dictionary persistent() {
    std::lock_guard<std::mutex> lock(mutex_);
    load();
    return persistent_;
  }

  bool synchronize() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!loaded_ || !dirty_) return writable_;
    if (!writable_) return false;
    auto data = PropertyListSerialization::dataWithPropertyList(Value(persistent_), PropertyListFormat::Binary);
    if (!data) return false;  // set() admits only valid values, so this does not happen
    FileManager& files = FileManager::defaultManager();
    Error error;
    const std::string folder = path_.substr(0, path_.rfind('/'));
    if (!files.createDirectoryAtPath(folder, true, &error) || !files.writeData(*data, path_, &error, kFileMode)) {
      logMessage("UserDefaults: could not save " + path_ + ": " + error.localizedDescription());
      return false;
    }
    dirty_ = false;
    return true;
  }

 private:
  // Reads the file once, at first use.
  void load() {
    if (loaded_) return;
    loaded_ = true;
    FileManager& files = FileManager::defaultManager();
    Error error;
    std::optional<Data> data = files.contentsAtPath(path_, &error);
    if (!data) {
      if (error.code() == kFileReadNoSuchFileError) return;
      // A file we cannot read is not ours to replace: keep it and keep changes in memory only.
      writable_ = false;
      logMessage("UserDefaults: cannot read " + path_ + " (" + error.localizedDescription() +
                 "); changes to " + suite_ + " will not be saved");
      return;
    }
    std::optional<Value> value = PropertyListSerialization::propertyListWithData(*data, 0, nullptr, &error);
    if (value && value->isDictionary()) {
      persistent_ = value->dictionaryValue();
      return;
    }
    setAsideCorruptFile();
  }

  // Moves an unparsable file out of the way so that it is neither lost nor read again.
  void setAsideCorruptFile() {
    FileManager& files = FileManager::defaultManager();
    const std::string base = path_ + ".corrupt-" + utcStamp();
    std::string aside = base;
    Error error;
    for (int attempt = 1; attempt < 100 && files.fileExistsAtPath(aside); ++attempt) {
      aside = base + "-" + std::to_string(attempt);
    }
    if (files.moveItemAtPath(path_, aside, &error)) {
      logMessage("UserDefaults: " + path_ + " could not be read as a property list; moved it to " + aside +
                 " and started from the registered defaults");
      return;
    }
    writable_ = false;
    logMessage("UserDefaults: " + path_ + " could not be read as a property list and could not be moved aside (" +
               error.localizedDescription() + "); changes to " + suite_ + " will not be saved");
  }

  std::mutex mutex_;
  const std::string suite_;
  const std::string path_;
  bool loaded_ = false;
  bool dirty_ = false;
  bool writable_ = true;
  Dictionary registration_;
  Dictionary persistent_;
};

namespace {

// All live stores by file, so that defaults for one suite share one store, and the background
// flush that saves changes soon after they are made and once more at exit.
class Registry {
 public:
  // Never destroyed: a queue still running while the process exits may yet touch a store. Exit
  // only stops the flusher and saves every store once more.
  static Registry& shared() {
    static Registry* registry = [] {
      auto* created = new Registry();
      std::atexit([] { shared().shutdown(); });
      return created;
    }();
    return *registry;
  }

  std::shared_ptr<UserDefaults::Store> storeFor(const std::string& suite, const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::weak_ptr<UserDefaults::Store>& slot = stores_[path];
    std::shared_ptr<UserDefaults::Store> store = slot.lock();
    if (!store) {
      store = std::make_shared<UserDefaults::Store>(suite, path);
      slot = store;
    }
    return store;
  }

  // Asks for a flush of every store a little later.
  void scheduleFlush() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    pending_ = true;
    if (!flusher_) {
      owner_ = ::getpid();
      flusher_ = new std::thread([this] { run(); });
    }
    wake_.notify_all();
  }

  void flushAll() {
    std::vector<std::shared_ptr<UserDefaults::Store>> live;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto it = stores_.begin(); it != stores_.end();) {
        if (auto store = it->second.lock()) {
          live.push_back(std::move(store));
          ++it;
        } else {
          it = stores_.erase(it);
        }
      }
    }
    for (auto& store : live) store->synchronize();
  }

  void shutdown() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
    }
    wake_.notify_all();
    // A forked child that exits normally has no flusher thread of its own: it must neither
    // join nor destroy the parent's thread object.
    if (flusher_ && owner_ == ::getpid()) {
      flusher_->join();
      delete flusher_;
      flusher_ = nullptr;
    }
    flushAll();
  }

 private:
  Registry() = default;

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
      wake_.wait(lock, [this] { return pending_ || stopping_; });
      if (stopping_) break;
      wake_.wait_for(lock, kFlushDelay, [this] { return stopping_; });
      pending_ = false;
      lock.unlock();
      flushAll();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::string, std::weak_ptr<UserDefaults::Store>> stores_;
  std::thread* flusher_ = nullptr;
  pid_t owner_ = 0;
  bool pending_ = false;
  bool stopping_ = false;
};

// Only plain property-list values can be stored: no nulls inside containers, no objects, and
// nothing the binary writer refuses.
bool storable(const Value& value) {
  return PropertyListSerialization::propertyListIsValidForFormat(value, PropertyListFormat::Binary);
}

std::mutex standardMutex;
// Never destroyed at exit, for the same reason as the registry, which saves its store then.
UserDefaults* standardInstance = nullptr;

}  // namespace

UserDefaults& UserDefaults::standardUserDefaults() {
  std::lock_guard<std::mutex> lock(standardMutex);
  if (!standardInstance) standardInstance = new UserDefaults();
  return *standardInstance;
}

void UserDefaults::resetStandardUserDefaultsForTesting() {
  std::lock_guard<std::mutex> lock(standardMutex);
  delete std::exchange(standardInstance, nullptr);
}

UserDefaults::UserDefaults(const std::string& suiteName) {
  std::string suite = suiteName;
  if (suite.empty()) suite = Bundle::mainBundle()->bundleIdentifier().value_or("quillmere");
  store_ = Registry::shared().storeFor(suite, configHome() + "/" + fileNameFor(suite));
}

UserDefaults::~UserDefaults() { store_->synchronize(); }

void UserDefaults::registerDefaults(const Dictionary& defaults) { store_->registerDefaults(defaults); }

Value UserDefaults::objectForKey(const std::string& key) const { return store_->object(key); }

bool UserDefaults::boolForKey(const std::string& key) const {
  const Value value = objectForKey(key);
  if (value.isString()) {
    const std::string& text = value.stringValue();
    if (equalsIgnoringCase(text, "yes") || equalsIgnoringCase(text, "true")) return true;
    return value.intValue() != 0;
  }
  return value.isNumber() && value.boolValue();
}

std::int64_t UserDefaults::integerForKey(const std::string& key) const {
  const Value value = objectForKey(key);
  return value.isNumber() || value.isString() ? value.intValue() : 0;
}

double UserDefaults::doubleForKey(const std::string& key) const {
  const Value value = objectForKey(key);
  return value.isNumber() || value.isString() ? value.doubleValue() : 0.0;
}

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
  const Value value = objectForKey(key);
  if (value.isString()) return value.stringValue();
  if (value.isNumber()) return value.description();
  return std::nullopt;
}

std::optional<Array> UserDefaults::arrayForKey(const std::string& key) const {
  const Value value = objectForKey(key);
  if (!value.isArray()) return std::nullopt;
  return value.arrayValue();
}

std::optional<Dictionary> UserDefaults::dictionaryForKey(const std::string& key) const {
  const Value value = objectForKey(key);
  if (!value.isDictionary()) return std::nullopt;
  return value.dictionaryValue();
}

std::optional<Data> UserDefaults::dataForKey(const std::string& key) const {
  const Value value = objectForKey(key);
  if (value.isData()) return value.dataValue();
  if (value.isString()) return Data(value.stringValue().begin(), value.stringValue().end());
  return std::nullopt;
}

bool UserDefaults::set(const Value& value, const std::string& key) {
  if (value.isNull()) {
    removeObjectForKey(key);
    return true;
  }
  if (!storable(value)) return false;
  store_->set(key, value);
  Registry::shared().scheduleFlush();
  return true;
}

void UserDefaults::removeObjectForKey(const std::string& key) {
  if (store_->remove(key)) Registry::shared().scheduleFlush();
}

Dictionary UserDefaults::dictionaryRepresentation() const { return store_->merged(); }

Dictionary UserDefaults::persistentDomain() const { return store_->persistent(); }

bool UserDefaults::synchronize() { return store_->synchronize(); }

std::string UserDefaults::filePath() const { return store_->path(); }

}  // namespace foundation
