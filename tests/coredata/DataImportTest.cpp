// Import of nested dictionaries and arrays into a real store: key mapping, value conversion,
// identifying attributes, relationships, hooks and the colour and date helpers.
#include <functional>

#include "coredata/DataImport.h"
#include "tests/coredata/DataStackFixture.h"

namespace dstest {
namespace {

using coredata::ManagedObject;
using foundation::Array;
using foundation::Date;
using foundation::Dictionary;

// Group (identified by groupID, read from "id") holds an ordered to-many "hosts" (read from
// "entries") of Host (identified by hostID) and a to-one "owner" Person (no identifying
// attribute). Guarded objects are made by a class with import hooks.
std::shared_ptr<coredata::ManagedObjectModel> importModel() {
  auto model = coredata::ManagedObjectModel::create();
  auto group = coredata::EntityDescription::create("Group");
  group->addAttribute("groupID", AttributeType::Integer64)->setUserInfo({{"mappedKeyName", Value("id")}});
  group->addAttribute("name", AttributeType::String)
      ->setUserInfo({{"mappedKeyName", Value("info.title")},
                     {"mappedKeyName.1", Value("label")},
                     {"mappedKeyName.2", Value("caption")}});
  group->addAttribute("created", AttributeType::Date);
  group->addAttribute("updated", AttributeType::Date)->setUserInfo({{"dateFormat", Value("dd/MM/yyyy HH:mm")}});
  group->addAttribute("stamp", AttributeType::Date)->setUserInfo({{"dateFormat", Value("UnixTime")}});
  group->addAttribute("enabled", AttributeType::Boolean);
  group->addAttribute("count", AttributeType::Integer32);
  group->addAttribute("rank", AttributeType::Integer32, true, Value(7))
      ->setUserInfo({{"useDefaultValueWhenNotPresent", Value(true)}});
  group->addAttribute("note", AttributeType::String);
  auto hosts = group->addRelationship("hosts", "Host", true, "group");
  hosts->setOrdered(true);
  hosts->setUserInfo({{"mappedKeyName", Value("entries")}});
  group->addRelationship("owner", "Person", false, "groups");

  auto host = coredata::EntityDescription::create("Host");
  host->addAttribute("hostID", AttributeType::String)->setUserInfo({{"mappedKeyName", Value("name")}});
  host->addAttribute("address", AttributeType::String);
  host->addRelationship("group", "Group", false, "hosts");

  auto person = coredata::EntityDescription::create("Person");
  person->addAttribute("nick", AttributeType::String);
  person->addRelationship("groups", "Group", true, "owner");

  auto guarded = coredata::EntityDescription::create("Guarded");
  guarded->setManagedObjectClassName("GuardedObject");
  guarded->setUserInfo({{"relatedByAttribute", Value("code")}});
  guarded->addAttribute("code", AttributeType::String);
  guarded->addAttribute("title", AttributeType::String);
  guarded->addAttribute("log", AttributeType::String);
  guarded->addRelationship("hosts", "Host", true);
  for (auto entity : {group, host, person, guarded}) model->addEntity(entity);
  return model;
}

// Vetoes sources marked "skip", takes over "title", refuses the "hosts" relationship and records
// the order in which the hooks ran.
class GuardedObject : public ManagedObject, public DataStackDataImportProtocol {
 public:
  std::optional<bool> shouldImport(const Value& data) override { return !data["skip"].boolValue(); }
  void willImport(const Value&) override { trace += "will,"; }
  void didImport(const Value&) override {
    trace += "did";
    setValueForKey(Value(trace), "log");
  }
  std::optional<bool> importValueForKey(const std::string& key, const Value& value) override {
    if (key != "Title") return std::nullopt;
    trace += "title,";
    setValueForKey(Value("hooked " + value.stringValue()), "title");
    return true;
  }
  std::optional<bool> shouldImportRelationship(const std::string& key, const Value&) override {
    trace += "should" + key + ",";
    return false;
  }
  std::string trace;
};

class DataImportTest : public DataStackTest {
 protected:
  void SetUp() override {
    DataStackTest::SetUp();
    ManagedObject::registerEntityClass("GuardedObject", [] { return std::make_shared<GuardedObject>(); });
    DSManagedObjectModel::DS_setDefaultManagedObjectModel(importModel());
    hookErrors();
    DataStack::setupCoreDataStackWithAutoMigratingSqliteStoreAtURL(storeURL());
  }

  // Imports in a save block, so the batch reaches the store before this returns.
  static void importAndSave(const std::string& entity, const Array& sources) {
    DataStack::saveWithBlockAndWait(
        [&](const DSContextPtr& context) { DSManagedObjectImport::DS_importFromArray(entity, sources, context); });
  }

  // Runs `check` on the store's objects of `entity`, sorted by `key`, in a fresh root context.
  static void readBack(const std::string& entity, const std::string& key,
                       const std::function<void(const std::vector<ManagedObjectPtr>&)>& check) {
    auto context = coredata::ManagedObjectContext::create(coredata::ConcurrencyType::PrivateQueue);
    context->setPersistentStoreCoordinator(DSPersistentStoreCoordinator::DS_defaultStoreCoordinator());
    context->performAndWait([&] {
      coredata::FetchRequest request(entity);
      request.setSortDescriptors({coredata::SortDescriptor(key)});
      foundation::Error error;
      auto objects = context->fetchObjects(request, &error);
      ASSERT_TRUE(objects) << error.localizedDescription();
      check(*objects);
    });
  }

  static std::vector<std::string> hostIDs(const ManagedObjectPtr& group) {
    std::vector<std::string> ids;
    for (const auto& host : group->objectsForKey("hosts")) ids.push_back(host->valueForKey("hostID").stringValue());
    return ids;
  }
};

Dictionary host(const char* name, const char* address) {
  return {{"name", Value(name)}, {"address", Value(address)}};
}

TEST_F(DataImportTest, NestedFixtureIsStoredWithMappedKeysDatesAndRelationships) {
  const Array sources{
      Value(Dictionary{{"id", Value(1)},
                       {"info", Value(Dictionary{{"title", Value("Work")}})},
                       {"created", Value("2024-01-15T10:30:00GMT")},
                       {"updated", Value("15/01/2024 10:30")},
                       {"stamp", Value(1000)},
                       {"enabled", Value("YES")},
                       {"count", Value("42")},
                       {"note", Value(12.5)},
                       {"entries", Value(Array{Value(host("b.lan", "10.0.0.2")), Value(host("a.lan", "10.0.0.1"))})},
                       {"owner", Value(Dictionary{{"nick", Value("ann")}})}}),
      // Neither "info.title" nor "label" exists: the second alternative, "caption", is used.
      Value(Dictionary{{"id", Value("2")},
                       {"caption", Value("Home")},
                       {"enabled", Value(0)},
                       {"entries", Value(Array{Value("c.lan"), Value("a.lan"), Value("d.lan")})}}),
  };
  importAndSave("Group", sources);
  ASSERT_TRUE(capture->errors().empty());

  readBack("Group", "groupID", [](const std::vector<ManagedObjectPtr>& groups) {
    ASSERT_EQ(groups.size(), 2u);
    const auto& work = groups[0];
    EXPECT_EQ(work->valueForKey("groupID"), Value(1));
    EXPECT_EQ(work->valueForKey("name"), Value("Work"));
    EXPECT_EQ(work->valueForKey("created"), Value(Date::fromTimeIntervalSince1970(1705314600)));
    EXPECT_EQ(work->valueForKey("updated"), Value(Date::fromTimeIntervalSince1970(1705314600)));
    EXPECT_EQ(work->valueForKey("stamp"), Value(Date::fromTimeIntervalSince1970(1)));
    EXPECT_EQ(work->valueForKey("enabled"), Value(true));
    EXPECT_EQ(work->valueForKey("count"), Value(42));
    EXPECT_EQ(work->valueForKey("note"), Value("12.5"));
    EXPECT_EQ(work->valueForKey("rank"), Value(7));
    // "a.lan" was found again by the second source and, a host having one group, moved there.
    EXPECT_EQ(hostIDs(work), (std::vector<std::string>{"b.lan"}));
    const auto owner = work->valueForKey("owner").objectAs<ManagedObject>();
    ASSERT_TRUE(owner);
    EXPECT_EQ(owner->valueForKey("nick"), Value("ann"));

    const auto& home = groups[1];
    EXPECT_EQ(home->valueForKey("groupID"), Value(2));
    EXPECT_EQ(home->valueForKey("name"), Value("Home"));
    EXPECT_EQ(home->valueForKey("enabled"), Value(false));
    // Identifiers find the host made from a dictionary and create the others, in array order.
    EXPECT_EQ(hostIDs(home), (std::vector<std::string>{"c.lan", "a.lan", "d.lan"}));
  });
  readBack("Host", "hostID", [](const std::vector<ManagedObjectPtr>& hosts) {
    ASSERT_EQ(hosts.size(), 4u);
    EXPECT_EQ(hosts[0]->valueForKey("address"), Value("10.0.0.1"));
  });
}

TEST_F(DataImportTest, IdentifyingValueUpdatesOneObjectAndItsAbsenceCreatesNew) {
  const Dictionary first{{"id", Value(5)}, {"label", Value("one")}, {"note", Value("kept")}};
  importAndSave("Group", {Value(first), Value(first)});
  // A present null clears the attribute; a missing key leaves it alone.
  importAndSave("Group", {Value(Dictionary{{"id", Value(5)}, {"label", Value()}})});
  // No identifier, or a null one: each source is a new object and no existing one is touched.
  importAndSave("Group", {Value(Dictionary{{"label", Value("anon")}}), Value(Dictionary{{"label", Value("anon")}}),
                          Value(Dictionary{{"id", Value()}, {"label", Value("null id")}})});
  importAndSave("Group", {Value(Dictionary{{"label", Value("anon again")}})});
  ASSERT_TRUE(capture->errors().empty());

  readBack("Group", "name", [](const std::vector<ManagedObjectPtr>& groups) {
    std::vector<std::string> names;
    for (const auto& group : groups) names.push_back(group->valueForKey("name").stringValue());
    EXPECT_EQ(names, (std::vector<std::string>{"", "anon", "anon", "anon again", "null id"}));
    EXPECT_TRUE(groups[0]->valueForKey("name").isNull());
    EXPECT_EQ(groups[0]->valueForKey("note"), Value("kept"));
  });
}

TEST_F(DataImportTest, HooksVetoTakeOverAndSkip) {
  DataStack::saveWithBlockAndWait([](const DSContextPtr& context) {
    auto vetoed = DSManagedObject::DS_createEntity("Guarded", context);
    vetoed->setValueForKey(Value("before"), "title");
    EXPECT_FALSE(DSManagedObjectImport::DS_importValuesForKeysWithObject(
        vetoed, Value(Dictionary{{"skip", Value(true)}, {"title", Value("after")}})));
    EXPECT_EQ(vetoed->valueForKey("title"), Value("before"));
    EXPECT_EQ(std::dynamic_pointer_cast<GuardedObject>(vetoed)->trace, "");

    const auto imported = DSManagedObjectImport::DS_importFromObject(
        "Guarded",
        Value(Dictionary{{"code", Value("g1")}, {"title", Value("t")}, {"hosts", Value(Array{Value("x.lan")})}}),
        context);
    ASSERT_TRUE(imported);
    EXPECT_EQ(imported->valueForKey("title"), Value("hooked t"));
    EXPECT_EQ(imported->valueForKey("log"), Value("will,title,shouldHosts,did"));
    EXPECT_TRUE(imported->objectsForKey("hosts").empty());
    EXPECT_EQ(DSManagedObject::DS_countOfEntities("Host", context), 0u);
  });
}

TEST_F(DataImportTest, MissingIdentifyingAttributeIsLoggedAndEveryImportCreates) {
  // Person has no "personID": matching is impossible, so both sources make objects.
  importAndSave("Person", {Value(Dictionary{{"nick", Value("a")}}), Value(Dictionary{{"nick", Value("a")}})});
  readBack("Person", "nick", [](const std::vector<ManagedObjectPtr>& people) { EXPECT_EQ(people.size(), 2u); });
  EXPECT_GE(capture->count("Invalid value for key 'relatedByAttribute' in 'Person' entity. Remove this key or add "
                           "attribute 'personID'"),
            1);
}

TEST_F(DataImportTest, AttributeValueConversion) {
  auto attribute = [](AttributeType type, Dictionary info = {}) {
    auto description = std::make_shared<coredata::AttributeDescription>("v", type);
    description->setUserInfo(std::move(info));
    return description;
  };
  struct Case {
    const char* label;
    std::shared_ptr<coredata::AttributeDescription> attribute;
    Value source;
    Value expected;
  };
  const Case cases[] = {
      {"number from text", attribute(AttributeType::Double), Value("2.5"), Value(2.5)},
      {"unparsable number is 0", attribute(AttributeType::Integer16), Value("abc"), Value(0)},
      {"text from number", attribute(AttributeType::String), Value(3), Value("3")},
      {"boolean from text", attribute(AttributeType::Boolean), Value("true"), Value(true)},
      {"null stays null", attribute(AttributeType::String), Value(), Value()},
      {"default date format", attribute(AttributeType::Date), Value("2024-01-15T10:30:00GMT+01:00"),
       Value(Date::fromTimeIntervalSince1970(1705311000))},
      {"seconds since 1970", attribute(AttributeType::Date), Value(1000), Value(Date::fromTimeIntervalSince1970(1000))},
      {"milliseconds with UnixTime", attribute(AttributeType::Date, {{"dateFormat", Value("UnixTime")}}), Value(1000),
       Value(Date::fromTimeIntervalSince1970(1))},
      {"unparsable date is nothing", attribute(AttributeType::Date), Value("yesterday"), Value()},
      {"value class skips conversion", attribute(AttributeType::String, {{"attributeValueClassName", Value("NSURL")}}),
       Value(7), Value(7)},
      {"colour text", attribute(AttributeType::Transformable, {{"attributeValueClassName", Value("NSColor")}}),
       Value("rgba(255, 0, 0, 1)"), Value(std::static_pointer_cast<foundation::Object>(
                                              DSColor::colorWithDeviceRed(1, 0, 0, 1)))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(DSAttributeDescription::DS_valueForKeyPath(*c.attribute, "a.v",
                                                         Value(Dictionary{{"a", Value(Dictionary{{"v", c.source}})}})),
              c.expected);
  }
}

TEST(DataImportFunctions, NamesAndColourText) {
  EXPECT_EQ(DS_capitalizedFirstCharacterString(""), "");
  EXPECT_EQ(DS_capitalizedFirstCharacterString("hostGroup"), "HostGroup");
  EXPECT_EQ(DS_capitalizedFirstCharacterString("ärger"), "Ärger");
  EXPECT_EQ(DS_primaryKeyNameFromString("HostGroup"), "hostGroupID");
  EXPECT_EQ(DS_attributeNameFromString("notes"), "Notes");

  using Components = std::optional<std::array<int, 4>>;
  struct Case {
    const char* text;
    Components components;
  };
  const Case cases[] = {
      {"rgba(255,0,0,1)", std::array<int, 4>{255, 0, 0, 1}},
      {"rgba( 10, 20 , 30, 0 )", std::array<int, 4>{10, 20, 30, 0}},
      // Extra components are ignored; missing ones read 0 and a missing alpha 1.
      {"rgba(1,2,3,4,5,6)", std::array<int, 4>{1, 2, 3, 4}},
      {"rgba(9,8)", std::array<int, 4>{9, 8, 0, 1}},
      // Text that is not a number ends the scan (it used to never end).
      {"rgba(7, red, 3, 1)", std::array<int, 4>{7, 0, 0, 1}},
      {"rgb(1,2,3)", std::nullopt},
      {"#ff0000", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(DS_newColorComponentsFromString(c.text), c.components);
  }
  const auto red = DS_colorFromString("rgba(255,0,0,1)");
  ASSERT_TRUE(red);
  EXPECT_DOUBLE_EQ(red->redComponent(), 1.0);
  EXPECT_DOUBLE_EQ(red->greenComponent(), 0.0);
  EXPECT_DOUBLE_EQ(red->alphaComponent(), 1.0);
  EXPECT_FALSE(DS_colorFromString("hsl(0,0,0)"));
}

}  // namespace
}  // namespace dstest
