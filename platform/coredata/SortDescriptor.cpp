#include "platform/coredata/SortDescriptor.h"

#include <cmath>
#include <cstdint>

#include "platform/coredata/Predicate.h"
#include "platform/foundation/KeyValueCoding.h"
#include "platform/foundation/String.h"

namespace coredata {

namespace {

// Kinds in the order that mixed-kind values sort in.
int kindRank(const foundation::Value& value) {
  using Type = foundation::Value::Type;
  switch (value.type()) {
    case Type::Null: return 0;
    case Type::Bool:
    case Type::Int:
    case Type::UInt:
    case Type::Double: return 1;
    case Type::String: return 2;
    case Type::Date: return 3;
    case Type::Data: return 4;
    case Type::Array: return 5;
    case Type::Dictionary: return 6;
    case Type::Object: return 7;
  }
  return 8;
}

template <typename T>
int threeWay(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int compareNumbers(const foundation::Value& a, const foundation::Value& b) {
  using Type = foundation::Value::Type;
  if (a.isDouble() || b.isDouble()) {
    double x = a.doubleValue();
    double y = b.doubleValue();
    // NaN sorts before every other number so that the order stays strict and weak.
    if (std::isnan(x) || std::isnan(y)) return threeWay(!std::isnan(x), !std::isnan(y));
    return threeWay(x, y);
  }
  bool aUnsigned = a.type() == Type::UInt;
  bool bUnsigned = b.type() == Type::UInt;
  if (!aUnsigned && !bUnsigned) return threeWay(a.intValue(), b.intValue());
  // A negative signed value is below every unsigned one; otherwise both fit in 64 unsigned bits.
  if (!aUnsigned && a.intValue() < 0) return -1;
  if (!bUnsigned && b.intValue() < 0) return 1;
  return threeWay(a.uintValue(), b.uintValue());
}

// Strings order by UTF-16 units, as the platform's literal comparison does. UTF-8 byte order
// matches that except where characters above U+FFFF meet U+E000..U+FFFF, so only non-ASCII text
// pays for the conversion.
int compareStrings(const std::string& a, const std::string& b) {
  if (foundation::isASCII(a) && foundation::isASCII(b)) return threeWay(a, b);
  return threeWay(foundation::utf16(a), foundation::utf16(b));
}

int compareArrays(const foundation::Array& a, const foundation::Array& b, bool caseInsensitive) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) {
    if (int c = compareValues(a[i], b[i], caseInsensitive)) return c;
  }
  return threeWay(a.size(), b.size());
}

foundation::Value sortValue(const foundation::Value& object, const std::string& key) {
  if (key.empty() || key == "self" || key == "SELF") return object;
  return foundation::valueForKeyPath(object, key);
}

}  // namespace

int compareValues(const foundation::Value& a, const foundation::Value& b, bool caseInsensitive) {
  int rank = kindRank(a);
  if (int c = threeWay(rank, kindRank(b))) return c;
  switch (rank) {
    case 1: return compareNumbers(a, b);
    case 2:
      if (!caseInsensitive) return compareStrings(a.stringValue(), b.stringValue());
      return compareStrings(foldedForComparison(a.stringValue(), ComparisonOption::kCaseInsensitive),
                            foldedForComparison(b.stringValue(), ComparisonOption::kCaseInsensitive));
    case 3: return threeWay(a.dateValue(), b.dateValue());
    case 4: return threeWay(a.dataValue(), b.dataValue());
    case 5: return compareArrays(a.arrayValue(), b.arrayValue(), caseInsensitive);
    default: return 0;  // nil against nil; dictionaries and objects have no order
  }
}

int SortDescriptor::compareObjects(const foundation::Value& a, const foundation::Value& b) const {
  int c = compareValues(sortValue(a, key_), sortValue(b, key_), comparison_ == Comparison::CaseInsensitiveCompare);
  return ascending_ ? c : -c;
}

std::string SortDescriptor::description() const {
  return "(" + key_ + ", " + (ascending_ ? "ascending" : "descending") + ", " +
         (comparison_ == Comparison::CaseInsensitiveCompare ? "caseInsensitiveCompare:" : "compare:") + ")";
}

int compareObjects(const foundation::Value& a, const foundation::Value& b,
                   const std::vector<SortDescriptor>& descriptors) {
  for (const SortDescriptor& descriptor : descriptors) {
    if (int c = descriptor.compareObjects(a, b)) return c;
  }
  return 0;
}

void sortUsingDescriptors(foundation::Array& objects, const std::vector<SortDescriptor>& descriptors) {
  if (descriptors.empty()) return;
  std::stable_sort(objects.begin(), objects.end(), [&](const foundation::Value& a, const foundation::Value& b) {
    return compareObjects(a, b, descriptors) < 0;
  });
}

}  // namespace coredata
