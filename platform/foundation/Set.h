#pragma once
// Set stands in for the platform's immutable sets: distinct Values, unordered as far as equality
// goes. It is an Object, so a Value holds it by reference (sets inside arrays, dictionaries and
// archives), and it never changes after it is made, so that sharing it is safe across threads.
//
// Elements are distinct by Value equality (1, 1.0 and true are one element). Enumeration keeps
// the order of first insertion, so output built from a set is deterministic. Objects of
// different classes are never merged, even where one class's isEqual would say yes.
#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/Value.h"

namespace foundation {

class Set final : public Object {
 public:
  Set() = default;
  // A set of the distinct values among `elements`; later duplicates are dropped.
  explicit Set(const std::vector<Value>& elements);
  Set(std::initializer_list<Value> elements);

  // A shared set of `elements`, ready to go into a Value.
  static std::shared_ptr<Set> make(const std::vector<Value>& elements);

  std::size_t count() const { return elements_.size(); }
  bool empty() const { return elements_.empty(); }
  bool contains(const Value& value) const;
  // The elements in first-insertion order.
  const std::vector<Value>& allObjects() const { return elements_; }
  // A new set holding this one's elements and `value`.
  Set adding(const Value& value) const;

  // "{(\n    a,\n    b\n)}", the platform's set description.
  std::string description() const override;
  // Same elements, order ignored.
  bool isEqual(const Object& other) const override;

 private:
  void insert(const Value& value);
  bool containsHashed(const Value& value, std::size_t hash) const;

  std::vector<Value> elements_;
  std::unordered_multimap<std::size_t, std::size_t> indexByHash_;  // keeps lookups linear-free
};

// A Value holding a new set of `elements`.
Value setValue(const std::vector<Value>& elements);

}  // namespace foundation
