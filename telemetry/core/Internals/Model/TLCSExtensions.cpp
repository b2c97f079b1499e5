#include "telemetry/core/Internals/Model/TLCSExtensions.h"

#include <span>
#include <type_traits>

namespace {

using foundation::Dictionary;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::Value;

// One text field of an extension, under its JSON and archive key.
template <class T>
struct TextField {
  const char* key;
  std::optional<std::string> T::*member;
};

void failDecode(KeyedUnarchiver& coder, const char* reason) {
  coder.failWithError(foundation::Error(foundation::kCocoaErrorDomain, foundation::kCoderReadCorruptError,
                                        {{"NSDebugDescription", reason}}));
}

template <class T>
void decodeTexts(KeyedUnarchiver& coder, T& object, std::span<const TextField<T>> fields) {
  for (const TextField<T>& field : fields) object.*field.member = coder.decodeStringForKey(field.key);
}

template <class T>
void encodeTexts(KeyedArchiver& coder, const T& object, std::span<const TextField<T>> fields) {
  for (const TextField<T>& field : fields) coder.encodeObject(object.*field.member, field.key);
}

template <class T>
void writeTexts(Dictionary& dictionary, const T& object, std::span<const TextField<T>> fields) {
  for (const TextField<T>& field : fields) {
    if (object.*field.member) dictionary.set(field.key, *(object.*field.member));
  }
}

template <class T>
bool sameTexts(const T& a, const T& b, std::span<const TextField<T>> fields) {
  for (const TextField<T>& field : fields) {
    if (a.*field.member != b.*field.member) return false;
  }
  return true;
}

// An extension with nothing set writes no dictionary at all, never an empty one.
std::optional<Dictionary> unlessEmpty(Dictionary dictionary) {
  if (dictionary.empty()) return std::nullopt;
  return dictionary;
}

// The JSON of an extension made of text fields only.
template <class T>
std::optional<Dictionary> serializeTexts(const T& object, std::span<const TextField<T>> fields) {
  Dictionary dictionary;
  writeTexts(dictionary, object, fields);
  return unlessEmpty(std::move(dictionary));
}

// Equality of extensions made of text fields only: `other` is a T and every field matches.
template <class T>
bool equalTexts(const T& object, const foundation::Object& other, std::span<const TextField<T>> fields) {
  const auto* same = dynamic_cast<const T*>(&other);
  return same && sameTexts(object, *same, fields);
}

constexpr const char* kTicketKeysKey = "ticketKeys";
constexpr const char* kSeqKey = "seq";
constexpr const char* kInstallIdKey = "installId";

constexpr TextField<TLProtocolExtension> kProtocolFields[] = {
    {"devMake", &TLProtocolExtension::devMake},
    {"devModel", &TLProtocolExtension::devModel},
};
constexpr TextField<TLUserExtension> kUserFields[] = {
    {"localId", &TLUserExtension::localId},
    {"locale", &TLUserExtension::locale},
};
constexpr TextField<TLDeviceExtension> kDeviceFields[] = {{"localId", &TLDeviceExtension::localId}};
constexpr TextField<TLOSExtension> kOSFields[] = {
    {"name", &TLOSExtension::name},
    {"ver", &TLOSExtension::ver},
};
constexpr TextField<TLAppExtension> kAppFields[] = {
    {"id", &TLAppExtension::appId},   {"ver", &TLAppExtension::ver},       {"name", &TLAppExtension::name},
    {"locale", &TLAppExtension::locale}, {"userId", &TLAppExtension::userId},
};
constexpr TextField<TLNetExtension> kNetFields[] = {{"provider", &TLNetExtension::provider}};
constexpr TextField<TLSDKExtension> kSDKFields[] = {
    {"libVer", &TLSDKExtension::libVer},
    {"epoch", &TLSDKExtension::epoch},
};
constexpr TextField<TLLocExtension> kLocFields[] = {{"tz", &TLLocExtension::tz}};

// Calls `visit(key, member)` for each extension of the set, in the order of the JSON.
template <class F>
void forEachExtension(F&& visit) {
  visit("metadata", &TLCSExtensions::metadataExt);
  visit("protocol", &TLCSExtensions::protocolExt);
  visit("user", &TLCSExtensions::userExt);
  visit("device", &TLCSExtensions::deviceExt);
  visit("os", &TLCSExtensions::osExt);
  visit("app", &TLCSExtensions::appExt);
  visit("net", &TLCSExtensions::netExt);
  visit("sdk", &TLCSExtensions::sdkExt);
  visit("loc", &TLCSExtensions::locExt);
}

}  // namespace

// ---- Metadata ----------------------------------------------------------------------------------

TLMetadataExtension::TLMetadataExtension(KeyedUnarchiver& coder) {
  const Value metadata = coder.decodeObject();
  if (metadata.isDictionary()) {
    metadata_ = metadata.dictionaryValue();
  } else if (!metadata.isNull()) {
    failDecode(coder, "The metadata is not a dictionary.");
  }
}

void TLMetadataExtension::encodeWithCoder(KeyedArchiver& coder) const {
  const auto metadata = this->metadata();
  coder.encodeRootObject(metadata ? Value(*metadata) : Value());
}

std::optional<Dictionary> TLMetadataExtension::serializeToDictionary() const { return metadata(); }

bool TLMetadataExtension::isEqual(const foundation::Object& other) const {
  const auto* extension = dynamic_cast<const TLMetadataExtension*>(&other);
  return extension && metadata() == extension->metadata();
}

std::optional<Dictionary> TLMetadataExtension::metadata() const {
  std::lock_guard lock(mutex_);
  return metadata_;
}

void TLMetadataExtension::setMetadata(std::optional<Dictionary> metadata) {
  std::lock_guard lock(mutex_);
  metadata_ = std::move(metadata);
}

// ---- Protocol ----------------------------------------------------------------------------------

TLProtocolExtension::TLProtocolExtension(KeyedUnarchiver& coder) {
  decodeTexts<TLProtocolExtension>(coder, *this, kProtocolFields);
  const Value keys = coder.decodeObjectOfClass(foundation::ArchiveClass::Array, kTicketKeysKey);
  if (!keys.isArray()) return;
  std::vector<std::string> texts;
  for (const Value& key : keys.arrayValue()) {
    if (!key.isString()) {
      failDecode(coder, "A ticket key is not a string.");
      return;
    }
    texts.push_back(key.stringValue());
  }
  ticketKeys = std::move(texts);
}

void TLProtocolExtension::encodeWithCoder(KeyedArchiver& coder) const {
  coder.encodeObject(ticketKeys ? Value(foundation::Array(ticketKeys->begin(), ticketKeys->end())) : Value(),
                     kTicketKeysKey);
  encodeTexts<TLProtocolExtension>(coder, *this, kProtocolFields);
}

std::optional<Dictionary> TLProtocolExtension::serializeToDictionary() const {
  Dictionary dictionary;
  if (ticketKeys) dictionary.set(kTicketKeysKey, foundation::Array(ticketKeys->begin(), ticketKeys->end()));
  writeTexts<TLProtocolExtension>(dictionary, *this, kProtocolFields);
  return unlessEmpty(std::move(dictionary));
}

bool TLProtocolExtension::isEqual(const foundation::Object& other) const {
  const auto* extension = dynamic_cast<const TLProtocolExtension*>(&other);
  return extension && ticketKeys == extension->ticketKeys &&
         sameTexts<TLProtocolExtension>(*this, *extension, kProtocolFields);
}

// ---- The extensions of text fields only ----------------------------------------------------------

TLUserExtension::TLUserExtension(KeyedUnarchiver& coder) { decodeTexts<TLUserExtension>(coder, *this, kUserFields); }
void TLUserExtension::encodeWithCoder(KeyedArchiver& coder) const {
  encodeTexts<TLUserExtension>(coder, *this, kUserFields);
}
std::optional<Dictionary> TLUserExtension::serializeToDictionary() const {
  return serializeTexts<TLUserExtension>(*this, kUserFields);
}
bool TLUserExtension::isEqual(const foundation::Object& other) const {
  return equalTexts<TLUserExtension>(*this, other, kUserFields);
}

TLDeviceExtension::TLDeviceExtension(KeyedUnarchiver& coder) {
  decodeTexts<TLDeviceExtension>(coder, *this, kDeviceFields);
}
void TLDeviceExtension::encodeWithCoder(KeyedArchiver& coder) const {
  encodeTexts<TLDeviceExtension>(coder, *this, kDeviceFields);
}
std::optional<Dictionary> TLDeviceExtension::serializeToDictionary() const {
  return serializeTexts<TLDeviceExtension>(*this, kDeviceFields);
}
bool TLDeviceExtension::isEqual(const foundation::Object& other) const {
  return equalTexts<TLDeviceExtension>(*this, other, kDeviceFields);
}

TLOSExtension::TLOSExtension(KeyedUnarchiver& coder) { decodeTexts<TLOSExtension>(coder, *this, kOSFields); }
void TLOSExtension::encodeWithCoder(KeyedArchiver& coder) const { encodeTexts<TLOSExtension>(coder, *this, kOSFields); }
std::optional<Dictionary> TLOSExtension::serializeToDictionary() const {
  return serializeTexts<TLOSExtension>(*this, kOSFields);
}
bool TLOSExtension::isEqual(const foundation::Object& other) const {
  return equalTexts<TLOSExtension>(*this, other, kOSFields);
}

TLAppExtension::TLAppExtension(KeyedUnarchiver& coder) { decodeTexts<TLAppExtension>(coder, *this, kAppFields); }
void TLAppExtension::encodeWithCoder(KeyedArchiver& coder) const {
  encodeTexts<TLAppExtension>(coder, *this, kAppFields);
}
std::optional<Dictionary> TLAppExtension::serializeToDictionary() const {
  return serializeTexts<TLAppExtension>(*this, kAppFields);
}
bool TLAppExtension::isEqual(const foundation::Object& other) const {
  return equalTexts<TLAppExtension>(*this, other, kAppFields);
}

TLNetExtension::TLNetExtension(KeyedUnarchiver& coder) { decodeTexts<TLNetExtension>(coder, *this, kNetFields); }
void TLNetExtension::encodeWithCoder(KeyedArchiver& coder) const {
  encodeTexts<TLNetExtension>(coder, *this, kNetFields);
}
std::optional<Dictionary> TLNetExtension::serializeToDictionary() const {
  return serializeTexts<TLNetExtension>(*this, kNetFields);
}
bool TLNetExtension::isEqual(const foundation::Object& other) const {
  return equalTexts<TLNetExtension>(*this, other, kNetFields);
}

TLLocExtension::TLLocExtension(KeyedUnarchiver& coder) { decodeTexts<TLLocExtension>(coder, *this, kLocFields); }
void TLLocExtension::encodeWithCoder(KeyedArchiver& coder) const {
  encodeTexts<TLLocExtension>(coder, *this, kLocFields);
}
std::optional<Dictionary> TLLocExtension::serializeToDictionary() const {
  return serializeTexts<TLLocExtension>(*this, kLocFields);
}
bool TLLocExtension::isEqual(const foundation::Object& other) const {
  return equalTexts<TLLocExtension>(*this, other, kLocFields);
}

// ---- SDK ---------------------------------------------------------------------------------------

TLSDKExtension::TLSDKExtension(KeyedUnarchiver& coder) : seq(coder.decodeInt64ForKey(kSeqKey)) {
  decodeTexts<TLSDKExtension>(coder, *this, kSDKFields);
  const auto installIdText = coder.decodeStringForKey(kInstallIdKey);
  if (!installIdText) return;
  installId = foundation::UUID::fromString(*installIdText);
  if (!installId) failDecode(coder, "The install id is not a UUID.");
}

// The archive has no UUID kind, so the install id is kept as its text, which reads back exactly.
void TLSDKExtension::encodeWithCoder(KeyedArchiver& coder) const {
  encodeTexts<TLSDKExtension>(coder, *this, kSDKFields);
  coder.encodeInt64(seq, kSeqKey);
  coder.encodeObject(installId ? Value(installId->UUIDString()) : Value(), kInstallIdKey);
}

std::optional<Dictionary> TLSDKExtension::serializeToDictionary() const {
  Dictionary dictionary;
  writeTexts<TLSDKExtension>(dictionary, *this, kSDKFields);
  if (seq != 0) dictionary.set(kSeqKey, seq);
  if (installId) dictionary.set(kInstallIdKey, installId->UUIDString());
  return unlessEmpty(std::move(dictionary));
}

bool TLSDKExtension::isEqual(const foundation::Object& other) const {
  const auto* extension = dynamic_cast<const TLSDKExtension*>(&other);
  return extension && sameTexts<TLSDKExtension>(*this, *extension, kSDKFields) && seq == extension->seq &&
         installId == extension->installId;
}

// ---- The set -----------------------------------------------------------------------------------

TLCSExtensions::TLCSExtensions(KeyedUnarchiver& coder) {
  forEachExtension([&](const char* key, auto member) {
    using Extension = typename std::remove_reference_t<decltype(this->*member)>::element_type;
    this->*member = coder.template decodeObjectOfClass<Extension>(key);
  });
}

void TLCSExtensions::encodeWithCoder(KeyedArchiver& coder) const {
  forEachExtension([&](const char* key, auto member) { coder.encodeObject(this->*member, key); });
}

std::optional<Dictionary> TLCSExtensions::serializeToDictionary() const {
  Dictionary dictionary;
  forEachExtension([&](const char* key, auto member) {
    if (!(this->*member)) return;
    if (auto extension = (this->*member)->serializeToDictionary()) dictionary.set(key, std::move(*extension));
  });
  return dictionary;
}

bool TLCSExtensions::isValid() const {
  bool valid = true;
  forEachExtension([&](const char*, auto member) {
    if (this->*member && !(this->*member)->isValid()) valid = false;
  });
  return valid;
}

bool TLCSExtensions::isEqual(const foundation::Object& other) const {
  const auto* extensions = dynamic_cast<const TLCSExtensions*>(&other);
  if (!extensions) return false;
  bool equal = true;
  forEachExtension([&](const char*, auto member) {
    if (!TLBothAbsentOrEqual(this->*member, extensions->*member)) equal = false;
  });
  return equal;
}
