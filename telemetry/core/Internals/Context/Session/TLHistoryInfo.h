#pragma once
// TLHistoryInfo is one timestamped entry of a persisted context history (sessions, user ids,
// devices); subclasses add what was current from that time on. It also holds the two steps every
// history shares: storing a whole list as a keyed archive in the settings, and reading it back.
//
// An entry is changed only under the lock of the context that owns it.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Date.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "telemetry/core/Internals/Model/Util/TLUserDefaults.h"

class TLHistoryInfo : public foundation::Coding {
 public:
  // Answers "now" for the stamps of new entries.
  using Clock = std::function<foundation::Date()>;

  explicit TLHistoryInfo(foundation::Date timestamp) : timestamp_(timestamp) {}
  // Reads "timestampKey" back; an entry without a date fails the unarchiving, since a history
  // is only ever searched by time.
  explicit TLHistoryInfo(foundation::KeyedUnarchiver& coder);

  // Writes the date under "timestampKey".
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;

  foundation::Date timestamp() const { return timestamp_; }
  void setTimestamp(foundation::Date timestamp) { timestamp_ = timestamp; }

  // The newest entry of `entries` (oldest first) stamped strictly before `date`; null when there
  // is none. An entry stamped at `date` itself only takes effect after it.
  template <class T>
  static std::shared_ptr<T> entryBefore(const std::vector<std::shared_ptr<T>>& entries, foundation::Date date) {
    for (auto entry = entries.rbegin(); entry != entries.rend(); ++entry) {
      if ((*entry)->timestamp() < date) return *entry;
    }
    return nullptr;
  }

  // Stores `entries` under `key` as one keyed archive (an empty list as the archive of an empty
  // list). A list that cannot be archived is not stored, with an ERROR line.
  template <class T>
  static void storeHistory(TLUserDefaults& settings, const std::string& key,
                           const std::vector<std::shared_ptr<T>>& entries) {
    foundation::Array list;
    list.reserve(entries.size());
    for (const auto& entry : entries) list.emplace_back(std::static_pointer_cast<foundation::Object>(entry));
    storeList(settings, key, list);
  }

  // The list stored under `key`, decoded securely as entries of T (which may hold objects of
  // `otherClasses`). Nothing when nothing is stored; nothing, with an ERROR line, when the data
  // does not unarchive into such a list. Owned by the caller.
  template <class T>
  static std::optional<std::vector<std::shared_ptr<T>>> loadHistory(
      TLUserDefaults& settings, const std::string& key, foundation::KeyedUnarchiver::ClassList otherClasses = {}) {
    const auto className = foundation::CodingRegistry::classNameOf<T>();
    if (!className) return std::nullopt;
    otherClasses.push_back(*className);
    const auto list = loadList(settings, key, otherClasses);
    if (!list) return std::nullopt;
    std::vector<std::shared_ptr<T>> entries;
    entries.reserve(list->size());
    for (const foundation::Value& element : *list) {
      auto entry = element.objectAs<T>();
      if (!entry) {
        logUnreadable(key, "an element is no history entry");
        return std::nullopt;
      }
      entries.push_back(std::move(entry));
    }
    return entries;
  }

 private:
  static void storeList(TLUserDefaults& settings, const std::string& key, const foundation::Array& list);
  static std::optional<foundation::Array> loadList(TLUserDefaults& settings, const std::string& key,
                                                   const foundation::KeyedUnarchiver::ClassList& classes);
  static void logUnreadable(const std::string& key, const std::string& reason);

  foundation::Date timestamp_;
};
