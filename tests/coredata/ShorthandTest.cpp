// Unprefixed names through the layer's dispatch by name: unknown before enabling, resolved after.
#include <algorithm>

#include "coredata/ObjectCategories.h"
#include "coredata/ShorthandMethods.h"
#include "tests/coredata/DataStackFixture.h"

namespace dstest {
namespace {

using Shorthand = DataStackTest;

std::vector<std::string> titles(const std::any& result) {
  std::vector<std::string> found;
  const auto objects = std::any_cast<std::optional<DSObjects>>(result);
  if (!objects) return found;
  for (const auto& object : *objects) {
    found.push_back(object->valueForKey("title").stringValue());
  }
  std::sort(found.begin(), found.end());
  return found;
}

// Enabling is process-wide and cannot be undone, so the whole life cycle is one test.
TEST_F(Shorthand, UnknownBeforeEnablingResolvedAfter) {
  // A repeated run in the same process finds it enabled and has no "before" left to check.
  if (DataStackShorthand::isShorthandEnabled()) GTEST_SKIP() << "shorthand was enabled earlier in this process";
  DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) {
    insertRecord(context, "one");
    insertRecord(context, "two");
  });
  const std::vector<std::string> both{"one", "two"};
  const DSArguments record{std::string("Record")};
  const DSArguments defaultContext{DSManagedObjectContext::DS_defaultContext()};
  // The class's own resolver answers before the layer's, enabled or not.
  DataStackShorthand::setClassResolver("NSManagedObject", [](const std::string& selector) -> std::optional<DSOperation> {
    if (selector != "countOfEntities") return std::nullopt;
    return DSOperation([](const DSArguments&) -> std::any { return std::size_t{99}; });
  });
  DataStackShorthand::addClassMethod("NSManagedObject", "DS_entityName",
                                     [](const DSArguments&) -> std::any { return std::string("Record"); });
  DataStackShorthand::addInstanceMethod("NSManagedObjectContext", "DS_initWithName", [](const DSArguments&) {
    return std::any(std::string("init"));
  });
  DataStackShorthand::addInstanceMethod("NSManagedObjectContext", "DS__hidden", [](const DSArguments&) {
    return std::any(std::string("hidden"));
  });

  EXPECT_THROW(DataStackShorthand::sendClassMessage("NSManagedObject", "findAll", record), DSUnrecognizedSelector);
  EXPECT_THROW(DataStackShorthand::sendInstanceMessage("NSManagedObjectContext", "workingName", defaultContext),
               DSUnrecognizedSelector);
  EXPECT_FALSE(DataStackShorthand::respondsToClassSelector("NSPersistentStore", "defaultPersistentStore"));
  EXPECT_EQ(titles(DataStackShorthand::sendClassMessage("NSManagedObject", "DS_findAll", record)), both);
  EXPECT_EQ(std::any_cast<std::size_t>(DataStackShorthand::sendClassMessage("NSManagedObject", "countOfEntities", record)),
            99u);

  DataStackShorthand::enableShorthandMethods();
  DataStackShorthand::enableShorthandMethods();
  ASSERT_TRUE(DataStackShorthand::isShorthandEnabled());

  EXPECT_EQ(titles(DataStackShorthand::sendClassMessage("NSManagedObject", "findAll", record)), both);
  const auto first = DataStackShorthand::sendClassMessage(
      "NSManagedObject", "findFirstByAttribute", {std::string("Record"), std::string("title"), Value("two")});
  ASSERT_TRUE(std::any_cast<ManagedObjectPtr>(first));
  EXPECT_EQ(std::any_cast<ManagedObjectPtr>(first)->valueForKey("title"), Value("two"));
  EXPECT_EQ(std::any_cast<std::size_t>(DataStackShorthand::sendClassMessage("NSManagedObject", "countOfEntities", record)),
            99u);
  EXPECT_EQ(std::any_cast<DSStorePtr>(DataStackShorthand::sendClassMessage("NSPersistentStore", "defaultPersistentStore")),
            DSPersistentStore::DS_defaultPersistentStore());
  EXPECT_EQ(std::any_cast<std::string>(
                DataStackShorthand::sendInstanceMessage("NSManagedObjectContext", "workingName", defaultContext)),
            kDataStackDefaultContextName);

  // Never resolved: names ending in "entityName", prefixed names, private and initialiser names,
  // and names the layer does not have.
  struct Refused {
    const char* className;
    const char* selector;
    bool classMessage;
  };
  const Refused refused[] = {
      {"NSManagedObject", "entityName", true},
      {"NSManagedObject", "DS_DS_findAll", true},
      {"NSManagedObject", "noSuchOperation", true},
      {"NSManagedObjectContext", "initWithName", false},
      {"NSManagedObjectContext", "_hidden", false},
      {"NSManagedObjectContext", "defaultContext", false},
  };
  for (const Refused& r : refused) {
    SCOPED_TRACE(r.selector);
    if (r.classMessage) {
      EXPECT_THROW(DataStackShorthand::sendClassMessage(r.className, r.selector, record), DSUnrecognizedSelector);
    } else {
      EXPECT_THROW(DataStackShorthand::sendInstanceMessage(r.className, r.selector, defaultContext),
                   DSUnrecognizedSelector);
    }
  }
  EXPECT_EQ(std::any_cast<std::string>(DataStackShorthand::sendClassMessage("NSManagedObject", "DS_entityName")),
            "Record");
  DataStackShorthand::setClassResolver("NSManagedObject", nullptr);
}

}  // namespace
}  // namespace dstest
