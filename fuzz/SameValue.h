#pragma once
// sameValue is the strict equality of two Value graphs that the round-trip targets need, where
// Value's own == is loose on purpose: there a Boolean equals 1, 1 equals 1.0, 0.0 equals -0.0 and
// NaN equals nothing. Here kinds must match (a non-negative Int and a UInt of the same number
// count as one kind, as a reader cannot tell them apart), doubles and dates must match bit for bit
// (any NaN matches any NaN), and containers element by element (dictionaries by key, in any
// order). Objects match when their isEqual says so.
#include <string>

#include "platform/foundation/Value.h"

namespace fuzz {

bool sameValue(const foundation::Value& a, const foundation::Value& b);

// Where the two graphs first differ, as a path of keys and indexes with both values described
// shortly; empty when they are the same.
std::string firstDifference(const foundation::Value& a, const foundation::Value& b);

}  // namespace fuzz
