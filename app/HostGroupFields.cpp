#include "app/HostGroupFields.h"

namespace app {
namespace {

std::string stringFor(const coredata::ManagedObject& record, const char* key) {
  const foundation::Value value = record.valueForKey(key);
  return value.isString() ? value.stringValue() : std::string();
}

bool boolFor(const coredata::ManagedObject& record, const char* key) { return record.valueForKey(key).boolValue(); }

}  // namespace

std::string HostGroupFields::title(const Record& record) { return stringFor(record, HostGroup::kTitleKey); }
std::string HostGroupFields::remoteURL(const Record& record) { return stringFor(record, HostGroup::kRemoteURLKey); }
std::int64_t HostGroupFields::sortOrder(const Record& record) {
  return record.valueForKey(HostGroup::kSortOrderKey).intValue();
}
bool HostGroupFields::isEnabled(const Record& record) { return boolFor(record, HostGroup::kIsEnabledKey); }
bool HostGroupFields::isEditable(const Record& record) { return boolFor(record, HostGroup::kIsEditableKey); }
bool HostGroupFields::isRemote(const Record& record) { return boolFor(record, HostGroup::kIsRemoteKey); }
bool HostGroupFields::isEtcHostsPreview(const Record& record) {
  return boolFor(record, HostGroup::kIsEtcHostsPreviewKey);
}
bool HostGroupFields::isDirty(const Record& record) { return boolFor(record, HostGroup::kIsDirtyKey); }

std::string HostGroupFields::prettyName(const Record& record) {
  const foundation::Value value = record.valueForKey(HostGroup::kPrettyNameKey);
  return value.isString() ? value.stringValue() : title(record);
}

std::optional<std::string> HostGroupFields::contentsProxy(const Record& record) {
  const foundation::Value value = record.valueForKey(HostGroup::kContentsProxyKey);
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

void HostGroupFields::readContentsProxy(const Record& record, const std::function<void(std::string_view)>& reader) {
  if (isEtcHostsPreview(record)) {
    const foundation::Value compiled = record.valueForKey(HostGroup::kContentsProxyKey);
    reader(compiled.stringValue());
    return;
  }
  record.readValueForKey(HostGroup::kContentsKey,
                         [&](const foundation::Value& stored) { reader(stored.stringValue()); });
}

std::string HostGroupFields::statusMessage(const Record& record) {
  return stringFor(record, HostGroup::kStatusMessageKey);
}

void HostGroupFields::setContentsProxy(Record& record, const std::string& contents) {
  record.setValueForKey(contents, HostGroup::kContentsProxyKey);
}
void HostGroupFields::setContentsProxy(Record& record, std::string&& contents) {
  record.setValueForKey(foundation::Value(std::move(contents)), HostGroup::kContentsProxyKey);
}
void HostGroupFields::setTitle(Record& record, const std::string& newTitle) {
  record.setValueForKey(newTitle, HostGroup::kTitleKey);
}
void HostGroupFields::setRemoteURL(Record& record, const std::string& url) {
  record.setValueForKey(url, HostGroup::kRemoteURLKey);
}
void HostGroupFields::setEnabled(Record& record, bool enabled) {
  record.setValueForKey(enabled, HostGroup::kIsEnabledKey);
}

coredata::ManagedObjectPtr HostGroupFields::insertNewRecord(HostGroupKind kind,
                                                            const coredata::ManagedObjectContextPtr& context) {
  switch (kind) {
    case HostGroupKind::Local:
      return HostGroup::insertLocalHostfile(context);
    case HostGroupKind::Remote:
      return HostGroup::insertRemoteHostfile(context);
    case HostGroupKind::Preview:
      return HostGroup::insertPreviewRow(context);
  }
  return nullptr;
}

}  // namespace app
