#pragma once
// ExpansionBudget bounds what a reader of hostile bytes may build: every value it produces costs
// about the memory the value takes, plus its string or data bytes, and the whole result may cost
// no more than 1 MiB plus 64 times the input. References in property lists and keyed archives let
// a few bytes name a large subtree many times; the budget is what stops that. Internal to the
// foundation; one budget serves one read on one thread.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "platform/foundation/Value.h"

namespace foundation::detail {

class ExpansionBudget {
 public:
  // What one value costs before its bytes: a dictionary entry, the larger of the two places a
  // value lives in.
  static constexpr std::size_t kValueCost = sizeof(std::pair<std::string, Value>);
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
