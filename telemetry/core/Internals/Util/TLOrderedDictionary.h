#pragma once
// TLOrderedDictionary is a dictionary that remembers the order in which its keys were first set,
// so that JSON written from it lists them in that order; common-schema logs build their JSON
// with it. Single keys cannot be removed. Like any value, it is not safe to change from two
// threads at once; copies are independent.
#include <cstddef>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

class TLOrderedDictionary {
 public:
  TLOrderedDictionary() = default;
  // An empty dictionary with room for `capacity` keys.
  explicit TLOrderedDictionary(std::size_t capacity);

  // Stores `object` under `key`; a new key goes to the end of the order, an existing one keeps
  // its place.
  void setObject(foundation::Value object, const std::string& key);
  // The object under `key`, or nullptr. Owned by the dictionary; valid until it changes.
  const foundation::Value* objectForKey(const std::string& key) const;
  std::size_t count() const { return dictionary_.size(); }
  // The keys in the order in which they were first set.
  const std::vector<std::string>& keyEnumerator() const { return order_; }
  void removeAllObjects();
  // An independent copy (the objects' opaque references are shared).
  TLOrderedDictionary mutableCopy() const { return *this; }
  // Whether `other` holds equal keys and objects in the same order.
  bool isEqualToDictionary(const TLOrderedDictionary& other) const;
  bool operator==(const TLOrderedDictionary& other) const { return isEqualToDictionary(other); }

  // The pairs in key order as a foundation dictionary, the form the JSON writer takes.
  foundation::Dictionary dictionary() const;
  operator foundation::Value() const { return foundation::Value(dictionary()); }

 private:
  std::vector<std::string> order_;
  foundation::Dictionary dictionary_;
};
