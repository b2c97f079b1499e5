#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "platform/coredata/SortDescriptor.h"
#include "platform/foundation/KeyValueCoding.h"

namespace {

using coredata::compareValues;
using coredata::SortDescriptor;
using foundation::Array;
using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

int sign(int value) { return (value > 0) - (value < 0); }

TEST(SortDescriptorOrdering, ComparesValuesAsThePlatformOrdersThem) {
  struct Case {
    Value a;
    Value b;
    bool caseInsensitive;
    int expected;
  };
  const Case cases[] = {
      {Value(), Value(), false, 0},
      {Value(), 0, false, -1},
      {"", Value(), false, 1},
      {1, true, false, 0},
      {false, 0, false, 0},
      {1, 2.5, false, -1},
      {2.5, 2, false, 1},
      {-1, std::numeric_limits<std::uint64_t>::max(), false, -1},
      {std::numeric_limits<std::uint64_t>::max(), std::numeric_limits<std::int64_t>::max(), false, 1},
      {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max() - 1, false, 1},
      {"a", "b", false, -1},
      {"B", "a", false, -1},
      {"B", "a", true, 1},
      {"a", "A", true, 0},
      {"abc", "ab", false, 1},
      // UTF-16 order: U+FF5E (one unit, 0xFF5E) sorts after U+1F600 (surrogates from 0xD83D).
      {"\xEF\xBD\x9E", "\xF0\x9F\x98\x80", false, 1},
      {Date::fromTimeIntervalSinceReferenceDate(1), Date::fromTimeIntervalSinceReferenceDate(2), false, -1},
      {foundation::Data{1, 2}, foundation::Data{1, 3}, false, -1},
      {Array{1, "b"}, Array{1, "a"}, false, 1},
      // Different kinds order by kind so that a sort stays well-defined.
      {1, "a", false, -1},
      {Date(), "a", false, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(sign(compareValues(c.a, c.b, c.caseInsensitive)), c.expected)
        << c.a.description() << " vs " << c.b.description();
    EXPECT_EQ(sign(compareValues(c.b, c.a, c.caseInsensitive)), -c.expected)
        << c.b.description() << " vs " << c.a.description();
  }
}

Array hostfiles() {
  return Array{
      Dictionary{{"sortOrder", 1}, {"title", "Work"}, {"id", 1}},
      Dictionary{{"sortOrder", 1}, {"title", "ads"}, {"id", 2}},
      Dictionary{{"sortOrder", 0}, {"title", "/etc/hosts"}, {"id", 3}},
      Dictionary{{"sortOrder", 1}, {"title", "Work"}, {"id", 4}},
      Dictionary{{"sortOrder", 1}, {"id", 5}},
  };
}

std::vector<long long> ids(const Array& objects) {
  std::vector<long long> out;
  for (const Value& object : objects) out.push_back(object["id"].intValue());
  return out;
}

TEST(SortDescriptorSorting, SortsStablyByEachKeyInTurn) {
  struct Case {
    std::vector<SortDescriptor> descriptors;
    std::vector<long long> expected;
  };
  const Case cases[] = {
      // The hostfile list: preview row first, then by title; nil titles first; ties keep order.
      {{SortDescriptor("sortOrder"), SortDescriptor("title")}, {3, 5, 1, 4, 2}},
      {{SortDescriptor("sortOrder"), SortDescriptor("title", true, SortDescriptor::Comparison::CaseInsensitiveCompare)},
       {3, 5, 2, 1, 4}},
      // Descending puts nil last; equal objects still keep their input order.
      {{SortDescriptor("sortOrder", false), SortDescriptor("title", false)}, {2, 1, 4, 5, 3}},
      {{SortDescriptor("sortOrder")}, {3, 1, 2, 4, 5}},
      {{}, {1, 2, 3, 4, 5}},
  };
  for (const Case& c : cases) {
    Array objects = hostfiles();
    coredata::sortUsingDescriptors(objects, c.descriptors);
    EXPECT_EQ(ids(objects), c.expected);
  }
}

class Row : public foundation::Object, public foundation::KeyValueCoding {
 public:
  Row(long long rank, std::string name) : rank_(rank), name_(std::move(name)) {}
  Value valueForKey(const std::string& key) const override {
    if (key == "rank") return rank_;
    if (key == "name") return name_;
    return Value();
  }
  bool hasKey(const std::string& key) const override { return key == "rank" || key == "name"; }
  const std::string& name() const { return name_; }

 private:
  long long rank_;
  std::string name_;
};

TEST(SortDescriptorSorting, SortedIndicesOrderObjectsThatAreNotValues) {
  std::vector<std::shared_ptr<Row>> rows{std::make_shared<Row>(2, "b"), std::make_shared<Row>(1, "z"),
                                         std::make_shared<Row>(2, "a")};
  auto order = coredata::sortedIndices(rows, {SortDescriptor("rank", false), SortDescriptor("name")},
                                       [](const std::shared_ptr<Row>& row) { return Value(row); });
  EXPECT_EQ(order, (std::vector<std::size_t>{2, 0, 1}));
  // The key "self" compares the objects themselves.
  Array numbers{3, 1, 2};
  coredata::sortUsingDescriptors(numbers, {SortDescriptor("self", false)});
  EXPECT_EQ(numbers, (Array{3, 2, 1}));
}

TEST(SortDescriptorText, DescribesAndReverses) {
  EXPECT_EQ(SortDescriptor("sortOrder").description(), "(sortOrder, ascending, compare:)");
  SortDescriptor title("title", false, SortDescriptor::Comparison::CaseInsensitiveCompare);
  EXPECT_EQ(title.description(), "(title, descending, caseInsensitiveCompare:)");
  EXPECT_EQ(title.reversedSortDescriptor(),
            SortDescriptor("title", true, SortDescriptor::Comparison::CaseInsensitiveCompare));
}

}  // namespace
