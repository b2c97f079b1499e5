// Aggregates over one attribute, grouped aggregates and the extreme-value lookups.
#include "tests/coredata/SeededStore.h"

namespace dstest {
namespace {

using Aggregation = SeededStoreTest;

TEST_F(Aggregation, SingleAggregatesInTheAttributesType) {
  struct Case {
    const char* function;
    const char* attribute;
    const char* format;  // empty: every object
    Value expected;
  };
  const Case cases[] = {
      {"sum:", "count", "", Value(8)},
      {"sum", "count", "flag == YES", Value(5)},
      {"max:", "count", "", Value(3)},
      {"min:", "score", "", Value(0.5)},
      {"average:", "score", "", Value(2.0)},
      {"count:", "score", "", Value(3.0)},  // converted to the attribute's type
      {"sum:", "count", "count > 10", Value(0)},
      {"min:", "count", "count > 10", Value()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.function) + " " + c.attribute + " " + c.format);
    const DSPredicate where = *c.format ? DSPredicate(predicate(c.format)) : std::nullopt;
    const Value result = DSManagedObject::DS_aggregateOperation("Record", c.function, c.attribute, where);
    EXPECT_EQ(result, c.expected);
    EXPECT_EQ(result.type(), c.expected.type());
  }
  EXPECT_TRUE(capture->errors().empty());
  // An unknown function fails through the hook.
  EXPECT_TRUE(DSManagedObject::DS_aggregateOperation("Record", "median:", "count", std::nullopt).isNull());
  EXPECT_EQ(capture->errors().size(), 1u);
}

TEST_F(Aggregation, GroupedAggregates) {
  auto groups = DSManagedObject::DS_aggregateOperation("Record", "count:", "title", std::nullopt, "flag");
  ASSERT_TRUE(groups);
  ASSERT_EQ(groups->size(), 2u);
  for (const auto& group : *groups) {
    EXPECT_TRUE(group.get("flag").isNumber());
    EXPECT_EQ(group.get("result"), Value(2));
  }
  auto sums = DSManagedObject::DS_aggregateOperation("Record", "sum:", "count", predicate("score != nil"), "count");
  ASSERT_TRUE(sums);
  std::map<long long, long long> byCount;
  for (const auto& group : *sums) byCount[group.get("count").intValue()] = group.get("result").intValue();
  EXPECT_EQ(byCount, (std::map<long long, long long>{{2, 4}, {3, 3}}));
  EXPECT_FALSE(DSManagedObject::DS_aggregateOperation("Record", "sum:", "count", std::nullopt, "nosuch"));
}

// The extreme object is the one whose value is smallest (or largest), nil values left out.
TEST_F(Aggregation, MinimumAndMaximumObjectsAndValues) {
  auto any = DSManagedObject::DS_findFirstByAttribute("Record", "title", Value("delta"));
  ASSERT_TRUE(any);
  auto title = [](const coredata::ManagedObjectPtr& o) { return o ? o->valueForKey("title").stringValue() : "<none>"; };
  EXPECT_EQ(title(DSManagedObject::DS_objectWithMinValueFor(any, "score")), "gamma");
  EXPECT_EQ(title(DSManagedObject::DS_objectWithMinValueFor(any, "count")), "beta");
  EXPECT_EQ(title(DSManagedObject::DS_objectWithMinValueFor(any, "when")), "alpha");
  EXPECT_EQ(DSManagedObject::DS_objectWithMinValueFor(any, "score")->managedObjectContext(), any->managedObjectContext());
  EXPECT_EQ(DSManagedObject::DS_minValueFor(any, "count"), Value(1));
  EXPECT_EQ(DSManagedObject::DS_maxValueFor(any, "count"), Value(3));
  EXPECT_EQ(DSManagedObject::DS_maxValueFor(any, "score"), Value(4.0));
  EXPECT_EQ(DSManagedObject::DS_minValueFor(any, "title"), Value("alpha"));

  // In another context the object found belongs to it.
  auto other = DSManagedObjectContext::DS_context();
  auto inOther = DSManagedObject::DS_objectWithMinValueFor(any, "score", other);
  ASSERT_TRUE(inOther);
  EXPECT_EQ(inOther->managedObjectContext(), other);
}

}  // namespace
}  // namespace dstest
