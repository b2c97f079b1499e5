#include <gtest/gtest.h>

#include <limits>

#include "platform/foundation/IndexSet.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"

using foundation::IndexSet;
using Range = IndexSet::Range;

namespace {

TEST(IndexSetTest, RangesMergeWhenTheyTouch) {
  struct Case {
    std::vector<Range> added;
    std::string description;
    std::uint64_t count;
  } cases[] = {
      {{}, "()", 0},
      {{{200, 100}}, "(200-299)", 100},
      {{{5, 0}}, "()", 0},
      {{{1, 1}, {3, 2}}, "(1 3-4)", 3},
      {{{3, 2}, {1, 1}, {2, 1}}, "(1-4)", 4},           // filling the gap joins both sides
      {{{10, 5}, {0, 2}, {12, 10}}, "(0-1 10-21)", 14},  // overlap extends
      {{{5, 1}, {1, 1}, {9, 1}, {0, 20}}, "(0-19)", 20},  // one range swallows several
      {{{std::numeric_limits<std::uint64_t>::max() - 1, 10}}, "(18446744073709551614-18446744073709551615)", 2},
  };
  for (const auto& c : cases) {
    IndexSet set;
    for (const auto& range : c.added) set.addIndexesInRange(range);
    EXPECT_EQ(set.description(), c.description);
    EXPECT_EQ(set.count(), c.count) << c.description;
  }
}

TEST(IndexSetTest, Membership) {
  const auto codes = IndexSet::indexSetWithIndexesInRange({200, 100});
  struct Case {
    long long index;
    bool contained;
  } cases[] = {{199, false}, {200, true}, {250, true}, {299, true}, {300, false}, {-200, false}, {0, false}};
  for (const auto& c : cases) EXPECT_EQ(codes.containsIndex(c.index), c.contained) << c.index;
  EXPECT_FALSE(IndexSet().containsIndex(0));
}

TEST(IndexSetTest, ArchivesAndRefusesMalformedRecords) {
  IndexSet set = IndexSet::indexSetWithIndexesInRange({200, 100});
  set.addIndex(404);
  const auto data = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<IndexSet>(set));
  ASSERT_TRUE(data);
  const auto back = foundation::KeyedUnarchiver::unarchivedObjectOfClass<IndexSet>(*data);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, set);

  // A record whose count does not match its ranges fails the whole unarchiving.
  struct Forged : foundation::Coding {
    void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
      coder.encodeInt64(3, "NSRangeCount");
      coder.encodeObject(foundation::Value(foundation::Array{1, 2}), "NSRanges");
    }
  };
  // Written under the index set's own class name, then read back by the real class.
  using foundation::CodingRegistry;
  CodingRegistry::unregisterClass("NSIndexSet");
  ASSERT_TRUE(CodingRegistry::registerClass(
      typeid(Forged), {"NSIndexSet", "", true, [](foundation::KeyedUnarchiver&) { return nullptr; }}));
  const auto forged = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<Forged>());
  CodingRegistry::unregisterClass("NSIndexSet");
  ASSERT_TRUE(CodingRegistry::registerClass<IndexSet>("NSIndexSet", "", true));
  ASSERT_TRUE(forged);
  foundation::Error error;
  EXPECT_FALSE(foundation::KeyedUnarchiver::unarchivedObjectOfClass<IndexSet>(*forged, &error));
  EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
}

}  // namespace
