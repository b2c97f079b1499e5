#pragma once
// TLCSExtensions is the "ext" object of a common-schema log: context about the application,
// device, user, system, network, SDK and location, grouped into nine optional extensions. This
// header holds the set and its nine extension classes, one family: each extension is a plain
// record whose set fields become its JSON dictionary and its archive, and which compares field by
// field. An extension with nothing set writes no dictionary, and the set then leaves its key out.
//
// Like the log that carries them, extensions are filled on one thread before the log is handed
// over, and are not safe to change from two threads at once (the metadata tree excepted, whose
// accessors are atomic).
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/UUID.h"
#include "telemetry/core/Internals/Model/TLSerializableObject.h"

// The type metadata of an event's properties: a free-form tree written into the JSON as it stands.
// Archived as the coder's unkeyed object, without a key of its own.
class TLMetadataExtension : public TLSerializableObject, public TLModel {
 public:
  TLMetadataExtension() = default;
  // Reads the unkeyed tree back; an unkeyed object that is not a dictionary fails the unarchiving.
  explicit TLMetadataExtension(foundation::KeyedUnarchiver& coder);

  // Writes the tree (nil when absent) as the coder's unkeyed object.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // A copy of the tree's entries; nothing when there is no tree.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  // Whether `other` is a TLMetadataExtension with an equal tree (absent matching absent).
  bool isEqual(const foundation::Object& other) const override;

  // A copy of the tree; absent until set. Thread-safe.
  std::optional<foundation::Dictionary> metadata() const;
  void setMetadata(std::optional<foundation::Dictionary> metadata);

 private:
  mutable std::mutex mutex_;
  std::optional<foundation::Dictionary> metadata_;
};

// Protocol facts: the keys of the authentication tickets the collector is to receive, and the
// device's make and model. JSON and archive keys: "ticketKeys", "devMake", "devModel".
class TLProtocolExtension : public TLSerializableObject, public TLModel {
 public:
  TLProtocolExtension() = default;
  // Reads the three keys back; a value of the wrong kind fails the unarchiving.
  explicit TLProtocolExtension(foundation::KeyedUnarchiver& coder);

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The set fields, the ticket keys as an array of strings; nothing when none is set.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  // Whether `other` is a TLProtocolExtension with the same fields (ticket keys in the same order).
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::vector<std::string>> ticketKeys;
  std::optional<std::string> devMake;
  std::optional<std::string> devModel;
};

// The user: the collector-prefixed user id and the locale. Keys "localId", "locale".
class TLUserExtension : public TLSerializableObject, public TLModel {
 public:
  TLUserExtension() = default;
  // Reads the keys back; a value that is not text fails the unarchiving.
  explicit TLUserExtension(foundation::KeyedUnarchiver& coder);

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The set fields; nothing when none is set.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> localId;
  std::optional<std::string> locale;
};

// The device: a device id. Key "localId".
class TLDeviceExtension : public TLSerializableObject, public TLModel {
 public:
  TLDeviceExtension() = default;
  // Reads the key back; a value that is not text fails the unarchiving.
  explicit TLDeviceExtension(foundation::KeyedUnarchiver& coder);

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // {"localId": id}; nothing when the id is absent.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> localId;
};

// The operating system: its name and its version text with the build. Keys "name", "ver".
class TLOSExtension : public TLSerializableObject, public TLModel {
 public:
  TLOSExtension() = default;
  // Reads the keys back; a value that is not text fails the unarchiving.
  explicit TLOSExtension(foundation::KeyedUnarchiver& coder);

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The set fields; nothing when none is set.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> name;
  std::optional<std::string> ver;
};

// The application: its id ("I:" and the namespace), version, name, locale and user id.
// Keys "id" (for appId), "ver", "name", "locale", "userId".
class TLAppExtension : public TLSerializableObject, public TLModel {
 public:
  TLAppExtension() = default;
  // Reads the keys back; a value that is not text fails the unarchiving.
  explicit TLAppExtension(foundation::KeyedUnarchiver& coder);

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The set fields; nothing when none is set.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> appId;
  std::optional<std::string> ver;
  std::optional<std::string> name;
  std::optional<std::string> locale;
  std::optional<std::string> userId;
};

// The network: the carrier's name. Key "provider".
class TLNetExtension : public TLSerializableObject, public TLModel {
 public:
  TLNetExtension() = default;
  // Reads the key back; a value that is not text fails the unarchiving.
  explicit TLNetExtension(foundation::KeyedUnarchiver& coder);

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // {"provider": name}; nothing when the name is absent.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> provider;
};

// The SDK: its name and version, the epoch and sequence number of the log within its
// instrumentation key, and the install id. Keys "libVer", "epoch", "seq", "installId".
class TLSDKExtension : public TLSerializableObject, public TLModel {
 public:
  TLSDKExtension() = default;
  // Reads the keys back; a value of the wrong kind, or an install id that is no UUID text, fails
  // the unarchiving.
  explicit TLSDKExtension(foundation::KeyedUnarchiver& coder);

  // The texts, seq as a 64-bit integer, and the install id as its UUID text.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // The set fields, "seq" only when it is not 0, the install id as its upper-case UUID text;
  // nothing when none is set.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> libVer;
  std::optional<std::string> epoch;
  std::int64_t seq = 0;
  std::optional<foundation::UUID> installId;
};

// The location: the time-zone offset as "+hh:mm" or "-hh:mm". Key "tz".
class TLLocExtension : public TLSerializableObject, public TLModel {
 public:
  TLLocExtension() = default;
  // Reads the key back; a value that is not text fails the unarchiving.
  explicit TLLocExtension(foundation::KeyedUnarchiver& coder);

  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // {"tz": offset}; nothing when the offset is absent.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  bool isValid() const override { return true; }
  bool isEqual(const foundation::Object& other) const override;

  std::optional<std::string> tz;
};

// The nine extensions of one log, each optional, written under "metadata", "protocol", "user",
// "device", "os", "app", "net", "sdk" and "loc".
class TLCSExtensions : public TLSerializableObject, public TLModel {
 public:
  TLCSExtensions() = default;
  // Reads the nine extensions back; one of another class fails the unarchiving.
  explicit TLCSExtensions(foundation::KeyedUnarchiver& coder);

  // Writes the nine extensions as objects, absent ones as nil.
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override;
  // Each present extension's dictionary under its key, in the order above; an extension that
  // writes nothing leaves its key out. Never nothing: with no extension, an empty dictionary.
  std::optional<foundation::Dictionary> serializeToDictionary() const override;
  // True when every present extension is valid, so always true.
  bool isValid() const override;
  // Whether `other` is a TLCSExtensions whose nine extensions are pairwise both absent or equal.
  bool isEqual(const foundation::Object& other) const override;

  // Shared with whoever set them; absent until set.
  std::shared_ptr<TLMetadataExtension> metadataExt;
  std::shared_ptr<TLProtocolExtension> protocolExt;
  std::shared_ptr<TLUserExtension> userExt;
  std::shared_ptr<TLDeviceExtension> deviceExt;
  std::shared_ptr<TLOSExtension> osExt;
  std::shared_ptr<TLAppExtension> appExt;
  std::shared_ptr<TLNetExtension> netExt;
  std::shared_ptr<TLSDKExtension> sdkExt;
  std::shared_ptr<TLLocExtension> locExt;
};
