#include "platform/foundation/Set.h"

#include <gtest/gtest.h>

namespace {

using foundation::Array;
using foundation::Set;
using foundation::Value;

TEST(SetTest, KeepsDistinctValuesInFirstInsertionOrder) {
  const Set set{"b", 1, 1.0, true, "a", "b", foundation::Data{1}, foundation::Data{1}, Array{1}, Array{1}};
  ASSERT_EQ(set.count(), 5u);  // 1, 1.0 and true are one number
  EXPECT_EQ(set.allObjects()[0], Value("b"));
  EXPECT_EQ(set.allObjects()[1].type(), Value::Type::Int);
  EXPECT_EQ(set.allObjects()[2], Value("a"));
  EXPECT_TRUE(set.contains(Value(1.0)));
  EXPECT_FALSE(set.contains(Value("c")));
  EXPECT_EQ(set.adding("c").count(), 6u);
  EXPECT_EQ(set.adding("a").count(), 5u);
}

TEST(SetTest, EqualityIgnoresOrder) {
  EXPECT_EQ(foundation::setValue({"x", "y", 2}), foundation::setValue({2, "y", "x"}));
  EXPECT_NE(foundation::setValue({"x", "y"}), foundation::setValue({"x"}));
  EXPECT_NE(foundation::setValue({"x"}), Value(Array{"x"}));
}

}  // namespace
