#include "telemetry/core/Internals/Context/Session/TLHistoryInfo.h"

#include "telemetry/core/TLConstants.h"
#include "telemetry/core/TLLogger.h"

namespace {

constexpr const char* kTimestampKey = "timestampKey";

}  // namespace

TLHistoryInfo::TLHistoryInfo(foundation::KeyedUnarchiver& coder) {
  const foundation::Value timestamp = coder.decodeObjectOfClass(foundation::ArchiveClass::Date, kTimestampKey);
  if (timestamp.isDate()) {
    timestamp_ = timestamp.dateValue();
  } else {
    coder.failWithError(foundation::Error(foundation::kCocoaErrorDomain, foundation::kCoderValueNotFoundError,
                                          {{"NSDebugDescription", "A history entry has no timestamp."}}));
  }
}

void TLHistoryInfo::encodeWithCoder(foundation::KeyedArchiver& coder) const {
  coder.encodeObject(timestamp_, kTimestampKey);
}

void TLHistoryInfo::storeList(TLUserDefaults& settings, const std::string& key, const foundation::Array& list) {
  foundation::Error error;
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(list, &error);
  if (!data) {
    TLLogError(kTLLogTag, "Couldn't archive the history to store under \"%@\": %@", key, error.localizedDescription());
    return;
  }
  settings.setObject(*data, key);
}

std::optional<foundation::Array> TLHistoryInfo::loadList(TLUserDefaults& settings, const std::string& key,
                                                         const foundation::KeyedUnarchiver::ClassList& classes) {
  const foundation::Value stored = settings.objectForKey(key);
  if (stored.isNull()) return std::nullopt;
  if (!stored.isData()) {
    logUnreadable(key, "the setting holds no archive");
    return std::nullopt;
  }
  foundation::KeyedUnarchiver::ClassList allowed = classes;
  allowed.push_back(foundation::ArchiveClass::Array);
  foundation::Error error;
  const auto root = foundation::KeyedUnarchiver::unarchivedObjectOfClasses(allowed, stored.dataValue(), &error);
  if (!root) {
    logUnreadable(key, error.localizedDescription());
    return std::nullopt;
  }
  if (!root->isArray()) {
    logUnreadable(key, "the archive holds no list");
    return std::nullopt;
  }
  return root->arrayValue();
}

void TLHistoryInfo::logUnreadable(const std::string& key, const std::string& reason) {
  TLLogError(kTLLogTag, "Couldn't read the history stored under \"%@\", starting without it: %@", key, reason);
}
