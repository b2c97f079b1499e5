#pragma once
// A stack over a real store holding four Records (and two Notes on "alpha"):
//   title   count  score  flag   when
//   alpha   3      1.5    true   t+100
//   beta    1      nil    false  t+300
//   gamma   2      0.5    true   nil
//   delta   2      4.0    false  t+200
#include "coredata/ObjectCategories.h"
#include "tests/coredata/DataStackFixture.h"

namespace dstest {

inline const foundation::Date kBaseDate = foundation::Date::fromTimeIntervalSince1970(1'700'000'000);

class SeededStoreTest : public DataStackTest {
 protected:
  void SetUp() override {
    DataStackTest::SetUp();
    hookErrors();
    DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
    DataStack::saveWithBlockAndWait([](const DSContextPtr& context) {
      struct Row {
        const char* title;
        long long count;
        Value score;
        bool flag;
        Value when;
      };
      const Row rows[] = {
          {"alpha", 3, Value(1.5), true, Value(kBaseDate.addingTimeInterval(100))},
          {"beta", 1, Value(), false, Value(kBaseDate.addingTimeInterval(300))},
          {"gamma", 2, Value(0.5), true, Value()},
          {"delta", 2, Value(4.0), false, Value(kBaseDate.addingTimeInterval(200))},
      };
      for (const Row& row : rows) {
        auto record = insertRecord(context, row.title, row.count);
        record->setValueForKey(row.score, "score");
        record->setValueForKey(Value(row.flag), "flag");
        record->setValueForKey(row.when, "when");
        if (std::string(row.title) != "alpha") continue;
        for (const char* text : {"first", "second"}) {
          auto note = coredata::ManagedObject::insertNewObjectForEntityForName("Note", context);
          note->setValueForKey(Value(text), "text");
          record->addObjectForKey(note, "notes");
        }
      }
    });
    ASSERT_TRUE(capture->errors().empty());
  }

  static coredata::Predicate predicate(const std::string& format, const foundation::Array& arguments = {}) {
    foundation::Error error;
    auto parsed = coredata::Predicate::withFormat(format, arguments, &error);
    EXPECT_TRUE(parsed) << error.localizedDescription();
    return parsed ? *parsed : coredata::Predicate::withValue(false);
  }
};

inline std::vector<std::string> titlesOf(const std::optional<DSObjects>& objects) {
  std::vector<std::string> titles;
  if (!objects) return {"<failed>"};
  for (const auto& o : *objects) titles.push_back(o->valueForKey("title").stringValue());
  return titles;
}

inline std::vector<std::string> sortedTitles(std::vector<std::string> titles) {
  std::sort(titles.begin(), titles.end());
  return titles;
}

}  // namespace dstest
