#pragma once
// ManagedObjectID stands in for the platform's object ID: the identity of one stored record,
// equal across contexts and coordinators of the same store. An object inserted and not yet saved
// has a temporary ID; saving it (or obtaining permanent IDs) gives it a permanent one, which is a
// new ID object: the temporary ID is not equal to it.
//
// IDs are immutable and safe to share between threads.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Value.h"

namespace coredata {

class ManagedObjectID : public foundation::Object {
 public:
  // A permanent ID for row `primaryKey` of `entityName` in the store `storeIdentifier`.
  static std::shared_ptr<ManagedObjectID> permanent(std::string entityName, std::string storeIdentifier,
                                                    std::int64_t primaryKey);
  // A new temporary ID, unique in this process.
  static std::shared_ptr<ManagedObjectID> temporary(std::string entityName);
  // Parses what uriRepresentation() gives; null for anything else.
  static std::shared_ptr<ManagedObjectID> fromURIRepresentation(const std::string& uri);

  const std::string& entityName() const { return entityName_; }
  bool isTemporaryID() const { return temporary_; }
  // The store's identifier (its UUID); empty for temporary IDs.
  const std::string& storeIdentifier() const { return storeIdentifier_; }
  // The row number in the store (permanent IDs) or the process-wide serial (temporary IDs).
  std::int64_t primaryKey() const { return key_; }

  // "x-coredata://<store>/<entity>/p<key>" or "x-coredata:///<entity>/t<serial>": a text that is
  // equal exactly when the IDs are equal (usable as a map key).
  const std::string& uriRepresentation() const { return uri_; }

  std::string description() const override;
  bool isEqual(const foundation::Object& other) const override;
  bool operator==(const ManagedObjectID& other) const { return uri_ == other.uri_; }

  ManagedObjectID(std::string entityName, std::string storeIdentifier, std::int64_t key, bool temporary);

 private:
  std::string entityName_;
  std::string storeIdentifier_;
  std::int64_t key_ = 0;
  bool temporary_ = false;
  std::string uri_;
};

using ObjectIDPtr = std::shared_ptr<ManagedObjectID>;

// Equality of two possibly-null IDs (null equals only null).
bool sameObjectID(const ObjectIDPtr& a, const ObjectIDPtr& b);

}  // namespace coredata
