#include "app/HostGroupFields.h"

namespace app {
namespace {

std::string stringFor(const coredata::ManagedObject& record, const char* key) {
  const foundation::Value value = record.valueForKey(key);
  return value.isString() ? value.stringValue() : std::string();
}

bool boolFor(const coredata::ManagedObject& record, const char* key) { return record.valueForKey(key).boolValue(); }

}  // namespace

std::string HostGroupFields::title(const Record& record) { return stringFor(record, "title"); }
std::string HostGroupFields::remoteURL(const Record& record) { return stringFor(record, "remoteURL"); }
std::int64_t HostGroupFields::sortOrder(const Record& record) { return record.valueForKey("sortOrder").intValue(); }
bool HostGroupFields::isEnabled(const Record& record) { return boolFor(record, "isEnabled"); }
bool HostGroupFields::isEditable(const Record& record) { return boolFor(record, "isEditable"); }
bool HostGroupFields::isRemote(const Record& record) { return boolFor(record, "isRemote"); }
bool HostGroupFields::isEtcHostsPreview(const Record& record) { return boolFor(record, "isEtcHostsPreview"); }
bool HostGroupFields::isDirty(const Record& record) { return boolFor(record, "isDirty"); }

std::string HostGroupFields::prettyName(const Record& record) {
  const foundation::Value value = record.valueForKey("prettyName");
  return value.isString() ? value.stringValue() : title(record);
}

std::optional<std::string> HostGroupFields::contentsProxy(const Record& record) {
  const foundation::Value value = record.valueForKey("contentsProxy");
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

void HostGroupFields::readContentsProxy(const Record& record, const std::function<void(std::string_view)>& reader) {
  if (isEtcHostsPreview(record)) {
    const foundation::Value compiled = record.valueForKey("contentsProxy");
    reader(compiled.stringValue());
    return;
  }
  record.readValueForKey("contents", [&](const foundation::Value& stored) { reader(stored.stringValue()); });
}

std::string HostGroupFields::statusMessage(const Record& record) { return stringFor(record, "statusMessage"); }

void HostGroupFields::setContentsProxy(Record& record, const std::string& contents) {
  record.setValueForKey(contents, "contentsProxy");
}
void HostGroupFields::setContentsProxy(Record& record, std::string&& contents) {
  record.setValueForKey(foundation::Value(std::move(contents)), "contentsProxy");
}
void HostGroupFields::setTitle(Record& record, const std::string& newTitle) { record.setValueForKey(newTitle, "title"); }
void HostGroupFields::setRemoteURL(Record& record, const std::string& url) { record.setValueForKey(url, "remoteURL"); }
void HostGroupFields::setEnabled(Record& record, bool enabled) { record.setValueForKey(enabled, "isEnabled"); }

void HostGroupFields::fillNewRecord(Record& record, HostGroupKind kind) {
  const bool preview = kind == HostGroupKind::Preview;
  const bool remote = kind == HostGroupKind::Remote;
  record.setValueForKey(std::string(), "contents");
  record.setValueForKey(kind == HostGroupKind::Local, "isEditable");
  record.setValueForKey(true, "isEnabled");
  record.setValueForKey(preview, "isEtcHostsPreview");
  record.setValueForKey(remote, "isRemote");
  record.setValueForKey(std::string(remote ? kRemotePlaceholderURL : ""), "remoteURL");
  record.setValueForKey(static_cast<std::int64_t>(preview ? 0 : 1), "sortOrder");
  const char* newTitle = preview ? "/etc/hosts" : (remote ? "New Remote Hosts" : "New Hosts");
  record.setValueForKey(std::string(newTitle), "title");
}

}  // namespace app
