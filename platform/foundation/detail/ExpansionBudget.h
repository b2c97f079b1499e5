#pragma once
// ExpansionBudget bounds what a reader of hostile bytes may build: every value it produces costs
// the memory of its slot (a Value; a dictionary entry adds its key), plus its string or data
// bytes, and the whole result may cost no more than 1 MiB plus 64 times the input. References in
// property lists and keyed archives let a few bytes name a large subtree many times; the budget
// is what stops that, while a file of ordinary repeated scalars (a 1-byte reference to a shared
// number costs one slot, 40 bytes) stays well inside it. Internal to the foundation; one budget
// serves one read on one thread.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/foundation/Value.h"

namespace foundation::detail {

class ExpansionBudget {
 public:
  // What one value costs before its bytes, what a dictionary entry's key adds, and what an
  // array or dictionary takes besides its elements (the larger of the two, with an allocation).
  static constexpr std::size_t kValueCost = sizeof(Value);
  static constexpr std::size_t kKeyCost = sizeof(std::string);
  static constexpr std::size_t kContainerCost = (sizeof(Dictionary) > sizeof(Array) ? sizeof(Dictionary) : sizeof(Array)) + 16;
  static constexpr std::size_t kFreeAmount = std::size_t{1} << 20;
  static constexpr std::size_t kAmountPerInputByte = 64;

  explicit ExpansionBudget(std::size_t inputSize)
      : left_(kFreeAmount + (inputSize > (SIZE_MAX - kFreeAmount) / kAmountPerInputByte
                                 ? SIZE_MAX - kFreeAmount
                                 : inputSize * kAmountPerInputByte)) {}

  // Charges `count` values, or `count` bytes of text or data; false, charging nothing, once the
  // budget would be overdrawn.
  bool spendValues(std::uint64_t count) {
    if (count > left_ / kValueCost) return false;
    left_ -= static_cast<std::size_t>(count) * kValueCost;
    return true;
  }
  bool spendBytes(std::uint64_t count) {
    if (count > left_) return false;
    left_ -= static_cast<std::size_t>(count);
    return true;
  }

  std::size_t left() const { return left_; }

 private:
  std::size_t left_;
};

}  // namespace foundation::detail
