#pragma once
// SortDescriptor stands in for the platform's sort descriptor: a key path, a direction and the
// comparison used, and the ordering a fetch applies to its results. Values order as the
// platform orders them: nil before everything, numbers (Booleans included) numerically, strings
// by their UTF-16 units (or case-insensitively), dates by time, data by bytes. Values of
// different kinds, which the platform cannot compare, are ordered by kind (nil, numbers,
// strings, dates, data, then the rest) so that sorting stays well-defined.
//
// Sort descriptors are immutable values, safe to share between threads.
#include <algorithm>
#include <cstddef>
#include <numeric>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"

namespace coredata {

class SortDescriptor {
 public:
  // The comparison applied to the two values (the platform's selector).
  enum class Comparison { Compare, CaseInsensitiveCompare };

  SortDescriptor(std::string key, bool ascending = true, Comparison comparison = Comparison::Compare)
      : key_(std::move(key)), ascending_(ascending), comparison_(comparison) {}

  const std::string& key() const { return key_; }
  bool ascending() const { return ascending_; }
  Comparison comparison() const { return comparison_; }
  // The same key and comparison in the other direction.
  SortDescriptor reversedSortDescriptor() const { return SortDescriptor(key_, !ascending_, comparison_); }

  // Compares the two objects' values at the key path (read through foundation::valueForKeyPath;
  // a missing key reads as nil): negative when `a` sorts first, 0 when equal, positive after.
  int compareObjects(const foundation::Value& a, const foundation::Value& b) const;

  // "(sortOrder, ascending, compare:)", as the platform prints it.
  std::string description() const;

  bool operator==(const SortDescriptor&) const = default;

 private:
  std::string key_;
  bool ascending_ = true;
  Comparison comparison_ = Comparison::Compare;
};

// The platform's ordering of two values (ascending): negative, 0 or positive.
int compareValues(const foundation::Value& a, const foundation::Value& b, bool caseInsensitive = false);

// Compares by each descriptor in turn; the first that tells them apart decides.
int compareObjects(const foundation::Value& a, const foundation::Value& b,
                   const std::vector<SortDescriptor>& descriptors);

// Sorts `objects` in place by the descriptors; equal objects keep their order (stable).
void sortUsingDescriptors(foundation::Array& objects, const std::vector<SortDescriptor>& descriptors);

// The permutation that sorts `items` stably by the descriptors, where `asValue` gives the Value
// to read each item's keys from (for example a managed object wrapped in a Value). Useful when
// the items are not Values themselves.
template <typename T, typename AsValue>
std::vector<std::size_t> sortedIndices(const std::vector<T>& items, const std::vector<SortDescriptor>& descriptors,
                                       AsValue asValue) {
  std::vector<foundation::Value> values;
  values.reserve(items.size());
  for (const T& item : items) values.push_back(asValue(item));
  std::vector<std::size_t> order(items.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
    return compareObjects(values[x], values[y], descriptors) < 0;
  });
  return order;
}

}  // namespace coredata
