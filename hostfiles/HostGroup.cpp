#include "hostfiles/HostGroup.h"

#include <array>
#include <string_view>

#include "hostfiles/ChangeTracker.h"
#include "hostfiles/Compiler.h"
#include "hostfiles/SyntaxRules.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UUID.h"

using foundation::Value;

namespace {

constexpr std::array<std::string_view, 5> kDerivedKeys = {HostGroup::kIsDirtyKey, HostGroup::kPrettyNameKey,
                                                          HostGroup::kContentsProxyKey, HostGroup::kStatusMessageKey,
                                                          HostGroup::kIsValidSyntaxKey};

bool isDerivedKey(const std::string& key) {
  for (auto derived : kDerivedKeys) {
    if (key == derived) return true;
  }
  return false;
}

Value optionalValue(const std::optional<std::string>& text) { return text ? Value(*text) : Value(); }
Value optionalValue(std::optional<std::string>&& text) { return text ? Value(std::move(*text)) : Value(); }

std::optional<std::string> optionalText(const Value& value) {
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

struct Kind {
  bool isEditable;
  bool isEtcHostsPreview;
  bool isRemote;
  const char* remoteURL;
  std::int64_t sortOrder;
};

constexpr Kind kLocal{true, false, false, "", 1};

// Sets every attribute in a fixed order: contents first, title last, so that the contents
// observation (which needs a title) does not mark a record that is only being created.
std::shared_ptr<HostGroup> insertKind(const coredata::ManagedObjectContextPtr& context, const Kind& kind,
                                      const std::string& title, const std::string& contents = std::string()) {
  auto record = std::dynamic_pointer_cast<HostGroup>(
      coredata::ManagedObject::insertNewObjectForEntityForName(HostGroup::kEntityName, context));
  if (!record) return nullptr;
  record->setContents(contents);
  record->setIsEditable(kind.isEditable);
  record->setIsEnabled(true);
  record->setIsEtcHostsPreview(kind.isEtcHostsPreview);
  record->setIsRemote(kind.isRemote);
  record->setRemoteURL(std::string(kind.remoteURL));
  record->setSortOrder(kind.sortOrder);
  record->setTitle(title);
  return record;
}

}  // namespace

HostGroup::~HostGroup() {
  if (contentsObservation_ != 0) removeObserver(contentsObservation_);
}

coredata::FetchRequest HostGroup::fetchRequest() { return coredata::FetchRequest(kEntityName); }

std::shared_ptr<HostGroup> HostGroup::insertLocalHostfile(const coredata::ManagedObjectContextPtr& context) {
  return insertKind(context, kLocal, "New Hosts");
}

std::shared_ptr<HostGroup> HostGroup::insertLocalHostfile(const coredata::ManagedObjectContextPtr& context,
                                                          const std::string& title, const std::string& contents) {
  return insertKind(context, kLocal, title, contents);
}

std::shared_ptr<HostGroup> HostGroup::insertRemoteHostfile(const coredata::ManagedObjectContextPtr& context) {
  return insertKind(context, {false, false, true, kPlaceholderRemoteURL, 1}, "New Remote Hosts");
}

std::shared_ptr<HostGroup> HostGroup::insertPreviewRow(const coredata::ManagedObjectContextPtr& context) {
  return insertKind(context, {false, true, false, "", 0}, "/etc/hosts");
}

// --- Stored attributes ---------------------------------------------------------------------------

std::optional<std::string> HostGroup::optionalString(const std::string& key) const {
  return optionalText(ManagedObject::valueForKey(key));
}

void HostGroup::setOptionalString(const std::optional<std::string>& value, const std::string& key) {
  ManagedObject::setValueForKey(optionalValue(value), key);
}

std::optional<std::string> HostGroup::title() const { return optionalString(kTitleKey); }
void HostGroup::setTitle(const std::optional<std::string>& title) { setOptionalString(title, kTitleKey); }
std::optional<std::string> HostGroup::contents() const { return optionalString(kContentsKey); }
void HostGroup::setContents(const std::optional<std::string>& contents) { setOptionalString(contents, kContentsKey); }
std::optional<std::string> HostGroup::guid() const { return optionalString(kGuidKey); }
void HostGroup::setGuid(const std::optional<std::string>& guid) { setOptionalString(guid, kGuidKey); }
std::optional<std::string> HostGroup::remoteURL() const { return optionalString(kRemoteURLKey); }
void HostGroup::setRemoteURL(const std::optional<std::string>& url) { setOptionalString(url, kRemoteURLKey); }

bool HostGroup::isEnabled() const { return ManagedObject::valueForKey(kIsEnabledKey).boolValue(); }
void HostGroup::setIsEnabled(bool value) { ManagedObject::setValueForKey(Value(value), kIsEnabledKey); }
bool HostGroup::isEditable() const { return ManagedObject::valueForKey(kIsEditableKey).boolValue(); }
void HostGroup::setIsEditable(bool value) { ManagedObject::setValueForKey(Value(value), kIsEditableKey); }
bool HostGroup::isRemote() const { return ManagedObject::valueForKey(kIsRemoteKey).boolValue(); }
void HostGroup::setIsRemote(bool value) { ManagedObject::setValueForKey(Value(value), kIsRemoteKey); }
bool HostGroup::isEtcHostsPreview() const { return ManagedObject::valueForKey(kIsEtcHostsPreviewKey).boolValue(); }
void HostGroup::setIsEtcHostsPreview(bool value) {
  ManagedObject::setValueForKey(Value(value), kIsEtcHostsPreviewKey);
}
std::int64_t HostGroup::sortOrder() const { return ManagedObject::valueForKey(kSortOrderKey).intValue(); }
void HostGroup::setSortOrder(std::int64_t value) {
  ManagedObject::setValueForKey(Value(static_cast<long long>(value)), kSortOrderKey);
}

// --- Derived values ------------------------------------------------------------------------------

bool HostGroup::isDirty() const {
  const auto own = guid();
  // A guid outside the set cannot match a remembered record; only a member needs the lookup.
  if (own && !ChangeTracker::sharedInstance().dirtyGUIDs().contains(*own)) return false;
  for (const auto& record : ChangeTracker::sharedInstance().dirtyHostGroups()) {
    if (record->guid() == own) return true;
  }
  return false;
}

std::optional<std::string> HostGroup::contentsProxy() const {
  if (!isEtcHostsPreview()) return contents();
  return Compiler::compile();
}

std::string HostGroup::statusMessage() const {
  if (isEtcHostsPreview()) return kPreviewStatusMessage;
  return ChangeTracker::sharedInstance().statusString();
}

// Checked where the text is stored rather than on a copy: Apply checks every enabled hostfile on
// the main thread, and copying one of tens of megabytes costs far more there than the check.
bool HostGroup::isValidSyntax() const {
  bool valid = true;
  readValueForKey("contents", [&](const Value& text) {
    valid = !text.isString() || SyntaxRules::isValidSyntax(std::string_view(text.stringValue()));
  });
  return valid;
}

Value HostGroup::valueForKey(const std::string& key) const {
  if (key == kIsDirtyKey) return Value(isDirty());
  if (key == kPrettyNameKey) return optionalValue(prettyName());
  if (key == kContentsProxyKey) {
    // Read straight from contents: a text of megabytes is copied once, not once per layer.
    if (isEtcHostsPreview()) return optionalValue(contentsProxy());
    Value stored = ManagedObject::valueForKey(kContentsKey);
    if (!stored.isString()) stored = Value();
    return stored;
  }
  if (key == kStatusMessageKey) return Value(statusMessage());
  if (key == kIsValidSyntaxKey) return Value(isValidSyntax());
  return ManagedObject::valueForKey(key);
}

bool HostGroup::hasKey(const std::string& key) const { return isDerivedKey(key) || ManagedObject::hasKey(key); }

bool HostGroup::setValueForKey(const Value& value, const std::string& key) {
  if (key == kPrettyNameKey) {
    setPrettyName(optionalText(value));
    return true;
  }
  if (key == kContentsProxyKey) {
    // Straight to contents, so the text is copied once, into the record.
    if (!value.isString()) return ManagedObject::setValueForKey(Value(), kContentsKey);
    return ManagedObject::setValueForKey(value, kContentsKey);
  }
  // The other derived keys are read-only.
  if (isDerivedKey(key)) return false;
  return ManagedObject::setValueForKey(value, key);
}

// --- Lifecycle -----------------------------------------------------------------------------------

void HostGroup::awakeFromInsert() {
  ManagedObject::awakeFromInsert();
  setGuid(foundation::UUID().UUIDString());
  startObservingContents();
}

void HostGroup::awakeFromFetch() {
  ManagedObject::awakeFromFetch();
  const auto current = guid();
  if (!current || current->empty()) setGuid(foundation::UUID().UUIDString());
  startObservingContents();
}

void HostGroup::startObservingContents() {
  if (contentsObservation_ != 0) return;
  // The handler reaches the record through its argument, so the registration holds no reference
  // that could outlive the record; the destructor ends it.
  // Only the fact of a change matters here: a hostfile's text can be megabytes, and an observer
  // with values would copy the old and the new one at every edit.
  contentsObservation_ = addObserver(
      kContentsKey,
      [](ManagedObject& object, const std::string& keyPath, const Value&, const Value&) {
        static_cast<HostGroup&>(object).observeValueForKeyPath(keyPath);
      },
      false);
}

void HostGroup::observeValueForKeyPath(const std::string& keyPath) {
  if (keyPath != kContentsKey) return;
  if (!title()) return;
  const auto recordGuid = guid();
  if (!recordGuid) return;
  if (dispatch::Queue::isMainThread()) {
    ChangeTracker::sharedInstance().markHostGroupDirty(recordGuid);
    return;
  }
  // ChangeTracker belongs to the main thread; a change merged in elsewhere is reported there.
  dispatch::Queue::main()->async([guid = *recordGuid] { ChangeTracker::sharedInstance().markHostGroupDirty(guid); });
}
