// Finders, sort terms, counters and their failures over a seeded store.
#include <algorithm>
#include <thread>

#include "tests/coredata/SeededStore.h"

namespace dstest {
namespace {

using Finders = SeededStoreTest;

TEST_F(Finders, FindAllAndByPredicateIncludingNil) {
  EXPECT_EQ(sortedTitles(titlesOf(DSManagedObject::DS_findAll("Record"))),
            (std::vector<std::string>{"alpha", "beta", "delta", "gamma"}));
  EXPECT_EQ(titlesOf(DSManagedObject::DS_findAllWithPredicate("Record", std::nullopt)).size(), 4u);
  struct Case {
    const char* format;
    std::vector<std::string> titles;
  };
  const Case cases[] = {
      {"flag == YES", {"alpha", "gamma"}},
      {"score == nil", {"beta"}},
      {"score != nil", {"alpha", "delta", "gamma"}},
      {"score > 1", {"alpha", "delta"}},
      {"when < %@", {"alpha"}},
      {"ANY notes.text == 'second'", {"alpha"}},
      {"title BEGINSWITH[c] 'G' OR count == 1", {"beta", "gamma"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const auto found = DSManagedObject::DS_findAllWithPredicate(
        "Record", predicate(c.format, {Value(kBaseDate.addingTimeInterval(150))}));
    EXPECT_EQ(sortedTitles(titlesOf(found)), c.titles);
  }
}

TEST_F(Finders, FindByAttribute) {
  EXPECT_EQ(titlesOf(DSManagedObject::DS_findByAttribute("Record", "title", Value("beta"))),
            std::vector<std::string>{"beta"});
  const auto none = DSManagedObject::DS_findByAttribute("Record", "title", Value("nope"));
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
  EXPECT_EQ(titlesOf(DSManagedObject::DS_findByAttribute("Record", "count", Value(2), "title", false)),
            (std::vector<std::string>{"gamma", "delta"}));
  EXPECT_EQ(titlesOf(DSManagedObject::DS_findByAttribute("Record", "score", Value())),
            std::vector<std::string>{"beta"});
}

// A flag sets the direction of its key and of the keys after it that have none.
TEST_F(Finders, SortTerms) {
  struct Case {
    const char* term;
    bool ascending;
    std::vector<std::string> titles;
  };
  const Case cases[] = {
      {"count:NO,title", true, {"alpha", "gamma", "delta", "beta"}},
      {"count,title", true, {"beta", "delta", "gamma", "alpha"}},
      {"count,title", false, {"alpha", "gamma", "delta", "beta"}},
      {"count:YES,title", false, {"beta", "delta", "gamma", "alpha"}},
      {"flag:0,title:1", true, {"alpha", "gamma", "beta", "delta"}},
      {"count:no,title:t", true, {"alpha", "delta", "gamma", "beta"}},
      {"score", true, {"beta", "gamma", "alpha", "delta"}},  // nil first
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.term);
    EXPECT_EQ(titlesOf(DSManagedObject::DS_findAllSortedBy("Record", c.term, c.ascending)), c.titles);
  }
  const auto request = DSManagedObject::DS_requestAllSortedBy("Record", "count:NO,title", true);
  EXPECT_EQ(request.fetchBatchSize(), 20u);
  ASSERT_EQ(request.sortDescriptors().size(), 2u);
  EXPECT_FALSE(request.sortDescriptors()[1].ascending());
  EXPECT_EQ(DSManagedObject::DS_requestAll("Record").fetchBatchSize(), 0u);
  EXPECT_EQ(titlesOf(DSManagedObject::DS_findAllSortedBy("Record", "title", true, predicate("flag == NO"))),
            (std::vector<std::string>{"beta", "delta"}));
}

TEST_F(Finders, FirstObjectFinders) {
  auto title = [](const coredata::ManagedObjectPtr& o) { return o ? o->valueForKey("title").stringValue() : "<none>"; };
  EXPECT_EQ(title(DSManagedObject::DS_findFirstByAttribute("Record", "title", Value("gamma"))), "gamma");
  EXPECT_EQ(title(DSManagedObject::DS_findFirstByAttribute("Record", "title", Value("nope"))), "<none>");
  EXPECT_EQ(title(DSManagedObject::DS_findFirstOrderedByAttribute("Record", "count", false)), "alpha");
  EXPECT_EQ(title(DSManagedObject::DS_findFirstWithPredicate("Record", predicate("flag == NO"), "score", false)),
            "delta");
  EXPECT_EQ(title(DSManagedObject::DS_findFirstWithPredicate("Record", predicate("count == 1"))), "beta");
  EXPECT_EQ(title(DSManagedObject::DS_findFirstWithPredicate("Record", predicate("count == 3"),
                                                             std::vector<std::string>{"title"})),
            "alpha");
  EXPECT_NE(DSManagedObject::DS_findFirst("Record"), nullptr);

  coredata::FetchRequest request = DSManagedObject::DS_requestAll("Record");
  EXPECT_TRUE(DSManagedObject::DS_executeFetchRequestAndReturnFirstObject(request).isObject());
  EXPECT_EQ(request.fetchLimit(), 1u);
}

TEST_F(Finders, FindOrCreateMakesOneObject) {
  auto main = DSManagedObjectContext::DS_defaultContext();
  auto first = DSManagedObject::DS_findFirstOrCreateByAttribute("Record", "title", Value("epsilon"), main);
  auto second = DSManagedObject::DS_findFirstOrCreateByAttribute("Record", "title", Value("epsilon"), main);
  ASSERT_TRUE(first);
  EXPECT_EQ(first, second);
  EXPECT_TRUE(first->isInserted());
  EXPECT_EQ(first->valueForKey("count").intValue(), 0);  // only the search attribute was set
  EXPECT_EQ(DSManagedObject::DS_countOfEntities("Record", main), 5u);
  auto existing = DSManagedObject::DS_findFirstOrCreateByAttribute("Record", "title", Value("beta"), main);
  EXPECT_FALSE(existing->isInserted());
}

TEST_F(Finders, Counters) {
  EXPECT_EQ(DSManagedObject::DS_countOfEntities("Record"), 4u);
  EXPECT_EQ(DSManagedObject::DS_countOfEntitiesWithPredicate("Record", predicate("flag == YES")), 2u);
  EXPECT_EQ(DSManagedObject::DS_numberOfEntities("Note"), Value(2));
  EXPECT_EQ(DSManagedObject::DS_numberOfEntitiesWithPredicate("Record", predicate("count > 5")), Value(0));
  EXPECT_TRUE(DSManagedObject::DS_hasAtLeastOneEntity("Record"));
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) { DSManagedObject::DS_truncateAll("Note", context); });
  EXPECT_FALSE(DSManagedObject::DS_hasAtLeastOneEntity("Note"));
}

TEST_F(Finders, UnknownKeysAndEntitiesFailThroughTheHook) {
  EXPECT_FALSE(DSManagedObject::DS_findAllWithPredicate("Record", predicate("nosuch == 1")));
  ASSERT_EQ(capture->errors().size(), 1u);
  EXPECT_EQ(capture->errors()[0].code(), coredata::kKeyPathNotFoundErrorCode);
  EXPECT_FALSE(DSManagedObject::DS_findAllSortedBy("Record", "nosuch", true));
  EXPECT_FALSE(DSManagedObject::DS_findAll("Ghost"));
  EXPECT_EQ(DSManagedObject::DS_findFirst("Ghost"), nullptr);
  EXPECT_EQ(DSManagedObject::DS_countOfEntities("Ghost"), 0u);
  EXPECT_EQ(capture->errors().size(), 5u);
  EXPECT_EQ(capture->errors()[2].code(), coredata::kCoreDataError);
}

TEST_F(Finders, BackgroundThreadFindsInItsOwnContext) {
  std::optional<DSObjects> found;
  DSContextPtr threadContext;
  std::thread worker([&] {
    found = DSManagedObject::DS_findAllWithPredicate("Record", predicate("flag == YES"));
    threadContext = DSManagedObjectContext::DS_contextForCurrentThread();
  });
  worker.join();
  ASSERT_TRUE(found);
  ASSERT_EQ(found->size(), 2u);
  EXPECT_EQ((*found)[0]->managedObjectContext(), threadContext);
  EXPECT_NE(threadContext, DSManagedObjectContext::DS_defaultContext());
}

TEST_F(Finders, EntityNamesAndProperties) {
  EXPECT_EQ(DSManagedObject::DS_entityNameForClassName("Quillmere.HostGroup"), "HostGroup");
  EXPECT_EQ(DSManagedObject::DS_entityNameForClassName("quillmere::HostGroup"), "HostGroup");
  EXPECT_EQ(DSManagedObject::DS_entityNameForClassName("HostGroup"), "HostGroup");
  EXPECT_TRUE(DSManagedObject::DS_entityDescription("Record"));
  EXPECT_FALSE(DSManagedObject::DS_entityDescription("Ghost"));

  DataStack::setLoggingLevel(2);
  const auto properties = DSManagedObject::DS_propertiesNamed("Record", {"score", "nosuch", "title"});
  ASSERT_EQ(properties.size(), 2u);
  EXPECT_EQ(properties[0]->name(), "score");
  EXPECT_EQ(properties[1]->name(), "title");
  EXPECT_EQ(capture->count("Property 'nosuch' not found in 6 properties for Record"), 1);
  EXPECT_TRUE(DSManagedObject::DS_propertiesNamed("Record", {}).empty());
  const auto descending = DSManagedObject::DS_descendingSortDescriptors({"a", "b"});
  ASSERT_EQ(descending.size(), 2u);
  EXPECT_FALSE(descending[1].ascending());
}

}  // namespace
}  // namespace dstest
