#include "platform/foundation/KeyedArchiver.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>

#include "platform/foundation/KeyedUnarchiver.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/Set.h"

namespace {

using foundation::Array;
using foundation::ArchiveClass;
using foundation::Coding;
using foundation::CodingRegistry;
using foundation::Data;
using foundation::Date;
using foundation::Dictionary;
using foundation::Error;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::Value;

// A small model family: a base class with one field and a subclass with a field of every kind.
class Base : public Coding {
 public:
  Base() = default;
  explicit Base(KeyedUnarchiver& coder) : name(coder.decodeStringForKey("name")) {}
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeObject(name, "name"); }
  bool isEqual(const Object& other) const override {
    const auto* base = dynamic_cast<const Base*>(&other);
    return base && typeid(*base) == typeid(*this) && base->name == name;
  }
  std::optional<std::string> name;
};

class Record : public Base {
 public:
  Record() = default;
  explicit Record(KeyedUnarchiver& coder)
      : Base(coder),
        flag(coder.decodeBoolForKey("flag")),
        count(coder.decodeInt64ForKey("count")),
        ratio(coder.decodeDoubleForKey("ratio")),
        when(coder.decodeObjectOfClass(ArchiveClass::Date, "when")),
        tags(coder.decodeObjectOfClass(ArchiveClass::Set, "tags")),
        info(coder.decodeObjectOfClass(ArchiveClass::Dictionary, "info")),
        child(coder.decodeObjectOfClass<Base>("child")),
        sibling(coder.decodeObjectOfClass<Base>("sibling")),
        dollar(coder.decodeObjectForKey("$class")) {}
  void encodeWithCoder(KeyedArchiver& coder) const override {
    Base::encodeWithCoder(coder);
    coder.encodeBool(flag, "flag");
    coder.encodeInt64(count, "count");
    coder.encodeDouble(ratio, "ratio");
    coder.encodeObject(when, "when");
    coder.encodeObject(tags, "tags");
    coder.encodeObject(info, "info");
    coder.encodeObject(child, "child");
    coder.encodeObject(sibling, "sibling");
    coder.encodeObject(dollar, "$class");  // a key that looks like the archiver's own
  }
  bool flag = false;
  std::int64_t count = 0;
  double ratio = 0;
  Value when, tags, info;
  std::shared_ptr<Base> child, sibling;
  Value dollar;
};

// Stores its one dictionary without a key, as some model classes do.
class Unkeyed : public Coding {
 public:
  Unkeyed() = default;
  explicit Unkeyed(KeyedUnarchiver& coder) : properties(coder.decodeObject()), extra(coder.decodeObject()) {}
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeRootObject(properties); }
  Value properties, extra;
};

// Supports secure coding, unlike the classes above.
class Secure : public Coding {
 public:
  Secure() = default;
  explicit Secure(KeyedUnarchiver& coder) : inner(coder.decodeObjectForKey("inner")) {}
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeObject(inner, "inner"); }
  Value inner;
};

// Holds itself, to show that such a graph is refused.
class Loop : public Coding {
 public:
  Loop() = default;
  explicit Loop(KeyedUnarchiver& coder) : decoded(coder.decodeObjectForKey("self")) {}
  void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeObject(self.lock(), "self"); }
  std::weak_ptr<Loop> self;
  Value decoded;
};

class KeyedArchiverTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CodingRegistry::registerClass<Base>("TestBase"));
    ASSERT_TRUE(CodingRegistry::registerClass<Record>("TestRecord", "TestBase"));
    ASSERT_TRUE(CodingRegistry::registerClass<Unkeyed>("TestUnkeyed"));
    ASSERT_TRUE(CodingRegistry::registerClass<Secure>("TestSecure", "", true));
  }
  void TearDown() override {
    for (const char* name : {"TestBase", "TestRecord", "TestUnkeyed", "TestSecure", "TestLoop"}) {
      CodingRegistry::unregisterClass(name);
    }
  }

  static Data archive(const Value& root) {
    Error error;
    auto data = KeyedArchiver::archivedDataWithRootObject(root, &error);
    EXPECT_TRUE(data) << error.description();
    return data.value_or(Data());
  }
  static std::optional<Value> unarchive(const Data& data, Error* error = nullptr) {
    return KeyedUnarchiver::unarchiveObjectWithData(data, error);
  }
};

Value object(std::shared_ptr<Coding> coding) { return Value(std::shared_ptr<foundation::Object>(std::move(coding))); }

// An archive written by hand from an object table, for inputs the archiver never writes.
Data crafted(Array table, std::uint64_t root = 1) {
  const Value archive(Dictionary{{"$archiver", "KeyedArchiver"},
                                 {"$version", 1},
                                 {"$top", Dictionary{{"root", Dictionary{{"CF$UID", Value(root)}}}}},
                                 {"$objects", std::move(table)}});
  return foundation::PropertyListSerialization::dataWithPropertyList(archive, foundation::PropertyListFormat::Binary)
      .value_or(Data());
}
Value ref(std::uint64_t index) { return Value(Dictionary{{"CF$UID", Value(index)}}); }
Value classRecord(const char* name) { return Value(Dictionary{{"$classname", name}}); }

std::shared_ptr<Record> fullRecord() {
  auto record = std::make_shared<Record>();
  record->name = "device";
  record->flag = true;
  record->count = std::numeric_limits<std::int64_t>::min();
  record->ratio = 0.1;
  record->when = Value(Date::fromTimeIntervalSinceReferenceDate(123456789.123456789));
  record->tags = foundation::setValue({"a", "b", 3});
  record->info = Value(Dictionary{{"k", Array{1, "two", Data{3}}}, {"$0", "escaped"}, {"", Value()}});
  auto child = std::make_shared<Base>();
  child->name = "child";
  record->child = child;
  record->sibling = child;
  record->dollar = "not the class";
  return record;
}

TEST_F(KeyedArchiverTest, EveryValueKindSurvivesARoundTripWithItsType) {
  const std::string nul("a\0b", 3);
  const Value cases[] = {
      Value(),
      Value(true),
      Value(false),
      Value(0),
      Value(std::numeric_limits<long long>::min()),
      Value(std::numeric_limits<long long>::max()),
      Value(std::numeric_limits<unsigned long long>::max()),
      Value(0.1),
      Value(-1e308),
      Value(std::numeric_limits<double>::infinity()),
      Value(""),
      Value("h\u00f4te \U0001F600"),
      Value(nul),
      Value(std::string("\xff\xfe invalid")),
      Value("$null"),
      Value(std::string(10000, 'x')),
      Value(Data{}),
      Value(Data{0, 1, 255}),
      Value(Date::fromTimeIntervalSinceReferenceDate(-1.0000001)),
      Value(Date::fromTimeIntervalSinceReferenceDate(7e10 + 0.000123)),  // far beyond 32-bit seconds
      Value(Array{}),
      Value(Array{Value(), 1, Array{Value(Array{"deep"})}, Dictionary{}}),
      foundation::setValue({}),
      foundation::setValue({"x", 2, Data{1}}),
      Value(Dictionary{{"$class", 1}, {"$top", "t"}, {"", Value()}, {nul, Array{}}}),
  };
  for (const Value& value : cases) {
    SCOPED_TRACE(value.description());
    Error error;
    const auto back = unarchive(archive(value), &error);
    ASSERT_TRUE(back) << error.description();
    EXPECT_EQ(back->type(), value.type());
    EXPECT_EQ(*back, value);
  }
}

TEST_F(KeyedArchiverTest, NestedObjectsKeepTheirFieldsAndSharing) {
  const auto record = fullRecord();
  Error error;
  const auto back = unarchive(archive(object(record)), &error);
  ASSERT_TRUE(back) << error.description();
  const auto decoded = back->objectAs<Record>();
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->name, "device");
  EXPECT_TRUE(decoded->flag);
  EXPECT_EQ(decoded->count, record->count);
  EXPECT_EQ(decoded->ratio, 0.1);
  EXPECT_EQ(decoded->when, record->when);
  EXPECT_EQ(decoded->tags, record->tags);
  EXPECT_EQ(decoded->info, record->info);
  EXPECT_EQ(decoded->dollar, Value("not the class"));
  ASSERT_TRUE(decoded->child);
  EXPECT_EQ(decoded->child->name, "child");
  EXPECT_EQ(decoded->child, decoded->sibling);  // written once, shared again

  // The same object inside containers, and a null child.
  record->child = nullptr;
  const Value list(Array{object(record), Dictionary{{"again", object(record)}}});
  const auto listBack = unarchive(archive(list), &error);
  ASSERT_TRUE(listBack) << error.description();
  const auto first = (*listBack)[std::size_t{0}].objectAs<Record>();
  ASSERT_TRUE(first);
  EXPECT_EQ(first, (*listBack)[std::size_t{1}]["again"].objectAs<Record>());
  EXPECT_FALSE(first->child);
}

TEST_F(KeyedArchiverTest, UnkeyedRootObjectReadsBackInOrder) {
  auto unkeyed = std::make_shared<Unkeyed>();
  unkeyed->properties = Value(Dictionary{{"baseType", "x"}, {"n", 1}});
  const auto back = unarchive(archive(object(unkeyed)));
  ASSERT_TRUE(back);
  const auto decoded = back->objectAs<Unkeyed>();
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->properties, unkeyed->properties);
  EXPECT_TRUE(decoded->extra.isNull());  // nothing more was written
}

TEST_F(KeyedArchiverTest, UnkeyedObjectOfClassesAcceptsOnlyThoseClassesAlsoInsideContainers) {
  // Reads its one unkeyed dictionary of TestSecure objects, as a bag of properties does.
  class Bag : public Coding {
   public:
    Bag() = default;
    explicit Bag(KeyedUnarchiver& coder)
        : properties(coder.decodeObjectOfClasses({ArchiveClass::Dictionary, "TestSecure"})) {}
    void encodeWithCoder(KeyedArchiver& coder) const override { coder.encodeObject(properties); }
    Value properties;
  };
  ASSERT_TRUE(CodingRegistry::registerClass<Bag>("TestLoop", "", true));  // a name TearDown forgets
  auto inner = std::make_shared<Secure>();
  inner->inner = Value("x");
  auto bag = std::make_shared<Bag>();
  bag->properties = Value(Dictionary{{"a", object(inner)}});
  const auto back = KeyedUnarchiver::unarchivedObjectOfClass("TestLoop", archive(object(bag)));
  ASSERT_TRUE(back);
  const auto entry = back->objectAs<Bag>()->properties["a"].objectAs<Secure>();
  ASSERT_TRUE(entry);
  EXPECT_EQ(entry->inner, Value("x"));

  const Value wrongKinds[] = {Value(Array{"not a dictionary"}),
                              Value(Dictionary{{"a", object(std::make_shared<Bag>())}})};
  for (const Value& wrong : wrongKinds) {
    bag->properties = wrong;
    Error error;
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClass("TestLoop", archive(object(bag)), &error))
        << wrong.description();
    EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
  }
}

TEST_F(KeyedArchiverTest, PrimitivesReadWithConversionsAndAbsentKeysGiveZero) {
  class Numbers : public Coding {
   public:
    Numbers() = default;
    explicit Numbers(KeyedUnarchiver& coder)
        : asInt(coder.decodeInt64ForKey("double")),
          asDouble(coder.decodeDoubleForKey("int")),
          asBool(coder.decodeBoolForKey("int")),
          missing(coder.decodeInt64ForKey("missing")),
          asObject(coder.decodeObjectOfClass(ArchiveClass::Number, "int")),
          has(coder.containsValueForKey("nil")),
          hasMissing(coder.containsValueForKey("missing")) {}
    void encodeWithCoder(KeyedArchiver& coder) const override {
      coder.encodeDouble(-2.9, "double");
      coder.encodeInt64(7, "int");
      coder.encodeObject(Value(), "nil");
    }
    std::int64_t asInt = 0;
    double asDouble = 0;
    bool asBool = false;
    std::int64_t missing = 1;
    Value asObject;
    bool has = false, hasMissing = true;
  };
  ASSERT_TRUE(CodingRegistry::registerClass<Numbers>("TestNumbers"));
  const auto back = unarchive(archive(object(std::make_shared<Numbers>())));
  CodingRegistry::unregisterClass("TestNumbers");
  ASSERT_TRUE(back);
  const auto numbers = back->objectAs<Numbers>();
  ASSERT_TRUE(numbers);
  EXPECT_EQ(numbers->asInt, -2);
  EXPECT_EQ(numbers->asDouble, 7.0);
  EXPECT_TRUE(numbers->asBool);
  EXPECT_EQ(numbers->missing, 0);
  EXPECT_EQ(numbers->asObject, Value(7));
  EXPECT_TRUE(numbers->has);
  EXPECT_FALSE(numbers->hasMissing);
}

TEST_F(KeyedArchiverTest, UnregisteredClassesAreNeitherWrittenNorRead) {
  Error error;
  EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(Value(std::make_shared<Error>()), &error));
  EXPECT_EQ(error.code(), foundation::kCoderInvalidValueError);

  const Data data = archive(object(fullRecord()));
  CodingRegistry::unregisterClass("TestBase");  // the record's child is of this class
  EXPECT_FALSE(unarchive(data, &error));
  EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain);
  EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
}

TEST_F(KeyedArchiverTest, RegistrationRefusesTakenNamesAndBuiltInKinds) {
  EXPECT_TRUE(CodingRegistry::registerClass<Base>("TestBase"));        // the same pairing again
  EXPECT_FALSE(CodingRegistry::registerClass<Secure>("TestBase"));     // name taken by another class
  EXPECT_FALSE(CodingRegistry::registerClass<Base>("TestOther"));      // class taken under another name
  EXPECT_FALSE(CodingRegistry::registerClass<Loop>("NSString"));       // a built-in kind
  EXPECT_TRUE(CodingRegistry::isKindOf("TestRecord", "TestBase"));
  EXPECT_FALSE(CodingRegistry::isKindOf("TestBase", "TestRecord"));
}

TEST_F(KeyedArchiverTest, SecureDecodingRebuildsOnlyTheClassesAskedFor) {
  auto secure = std::make_shared<Secure>();
  secure->inner = Value(Array{"text", 1});
  const Data secureData = archive(object(secure));
  auto nested = std::make_shared<Secure>();
  nested->inner = object(secure);
  const Data nestedData = archive(object(nested));
  const Data insecureData = archive(object(fullRecord()));
  const Data listData = archive(Value(Array{object(secure)}));

  struct Case {
    const char* what;
    const Data& data;
    KeyedUnarchiver::ClassList classes;
    bool decodes;
  };
  const Case cases[] = {
      {"the class asked for", secureData, {"TestSecure"}, true},
      {"another class asked for", secureData, {"TestBase"}, false},
      {"a built-in kind asked for", secureData, {ArchiveClass::Dictionary}, false},
      {"a class without secure coding", insecureData, {"TestRecord"}, false},
      {"nested object of an allowed class", nestedData, {"TestSecure"}, true},
      {"array with its element class", listData, {ArchiveClass::Array, "TestSecure"}, true},
      {"array without its element class", listData, {ArchiveClass::Array}, false},
      {"array asked for as a set", listData, {ArchiveClass::Set, "TestSecure"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Error error;
    const auto value = KeyedUnarchiver::unarchivedObjectOfClasses(c.classes, c.data, &error);
    EXPECT_EQ(value.has_value(), c.decodes) << error.description();
    if (!c.decodes) {
      EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
    }
  }
  const auto typed = KeyedUnarchiver::unarchivedObjectOfClass<Secure>(secureData);
  ASSERT_TRUE(typed);
  EXPECT_EQ(typed->inner, secure->inner);
  EXPECT_FALSE(KeyedUnarchiver::unarchivedObjectOfClass<Base>(secureData));
}

TEST_F(KeyedArchiverTest, AKeyedDecodeOfTheWrongClassFailsTheWholeArchive) {
  // "when" must be a date; here it holds a string, in an archive that is otherwise sound.
  auto record = fullRecord();
  record->when = "yesterday";
  Error error;
  EXPECT_FALSE(unarchive(archive(object(record)), &error));
  EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);

  // A subclass passes where its superclass is asked for.
  auto parent = fullRecord();
  parent->child = fullRecord();
  const auto back = unarchive(archive(object(parent)), &error);
  ASSERT_TRUE(back) << error.description();
  EXPECT_TRUE(std::dynamic_pointer_cast<Record>(back->objectAs<Record>()->child));
}

TEST_F(KeyedArchiverTest, ObjectsThatContainThemselvesAreRefusedBothWays) {
  ASSERT_TRUE(CodingRegistry::registerClass<Loop>("TestLoop"));
  auto loop = std::make_shared<Loop>();
  loop->self = loop;
  Error error;
  EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(object(loop), &error));
  EXPECT_EQ(error.code(), foundation::kCoderInvalidValueError);

  // Written by hand: record 1 refers to itself.
  const Data data = crafted({"$null", Dictionary{{"$class", ref(2)}, {"self", ref(1)}}, classRecord("TestLoop")});
  EXPECT_FALSE(unarchive(data, &error));
  EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
}

TEST_F(KeyedArchiverTest, HostileTablesFailWithAnError) {
  const Value arrayClass = classRecord("NSArray");
  // An array that holds itself: only the nesting limit stops it.
  const Array selfArray{"$null", Dictionary{{"$class", ref(2)}, {"NS.objects", Array{ref(1)}}}, arrayClass};
  // Twenty levels of arrays, each naming the next one 64 times: 64^20 elements from a few KB.
  Array bomb{"$null"};
  for (std::uint64_t level = 0; level < 20; ++level) {
    bomb.push_back(Dictionary{{"$class", ref(21)}, {"NS.objects", Array(64, ref(level + 2))}});
  }
  bomb.back() = Value(std::string(1000, 'x'));
  bomb.push_back(arrayClass);

  struct Case {
    const char* what;
    Data data;
  };
  const Case cases[] = {
      {"empty", Data{}},
      {"not a property list", Data{'h', 'i'}},
      {"a property list but no archive", foundation::PropertyListSerialization::dataWithPropertyList(
                                              Value(Array{1}), foundation::PropertyListFormat::Binary)
                                              .value()},
      {"root outside the table", crafted({"$null"}, 5)},
      {"record without a class", crafted({"$null", Dictionary{{"x", 1}}})},
      {"class without a name", crafted({"$null", Dictionary{{"$class", ref(2)}}, Dictionary{}})},
      {"class reference to itself", crafted({"$null", Dictionary{{"$class", ref(1)}}})},
      {"element outside the table", crafted({"$null", Dictionary{{"$class", ref(2)}, {"NS.objects", Array{ref(9)}}}, arrayClass})},
      {"element that is no reference", crafted({"$null", Dictionary{{"$class", ref(2)}, {"NS.objects", Array{1}}}, arrayClass})},
      {"dictionary with unequal keys", crafted({"$null", Dictionary{{"$class", ref(2)}, {"NS.keys", Array{ref(3)}}, {"NS.objects", Array{}}}, classRecord("NSDictionary"), "k"})},
      {"dictionary key not a string", crafted({"$null", Dictionary{{"$class", ref(2)}, {"NS.keys", Array{ref(3)}}, {"NS.objects", Array{ref(3)}}}, classRecord("NSDictionary"), 4})},
      {"date without time", crafted({"$null", Dictionary{{"$class", ref(2)}}, classRecord("NSDate")})},
      {"unknown class", crafted({"$null", Dictionary{{"$class", ref(2)}}, classRecord("Nobody")})},
      {"array that holds itself", crafted(selfArray)},
      {"reference bomb", crafted(bomb)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Error error;
    EXPECT_FALSE(unarchive(c.data, &error));
    EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
    EXPECT_FALSE(error.localizedDescription().empty());
  }
}

// Nil elements are values too: `outer` references to one array of `inner` nil references.
Data arraysOfNils(std::size_t outer, std::size_t inner) {
  return crafted({"$null", Dictionary{{"$class", ref(3)}, {"NS.objects", Array(outer, ref(2))}},
                  Dictionary{{"$class", ref(3)}, {"NS.objects", Array(inner, ref(0))}}, classRecord("NSArray")});
}

TEST_F(KeyedArchiverTest, NilAndRepeatedElementsAreChargedToTheBudget) {
  const auto small = unarchive(arraysOfNils(3, 2));
  ASSERT_TRUE(small);
  EXPECT_EQ(*small, Value(Array(3, Value(Array{Value(), Value()}))));

  // 8,000 x 8,000 = 64 M values from about 16 KB: refused once the budget is spent, not built.
  const Data bomb = arraysOfNils(8000, 8000);
  EXPECT_LT(bomb.size(), 40000u);
  Error error;
  EXPECT_FALSE(unarchive(bomb, &error));
  EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
  EXPECT_NE(error.userInfo().get(foundation::kDebugDescriptionErrorKey).stringValue().find("expands to far more"),
            std::string::npos);
}

TEST_F(KeyedArchiverTest, EveryTruncationOfAnArchiveFails) {
  const Data data = archive(object(fullRecord()));
  ASSERT_TRUE(unarchive(data));
  for (std::size_t length = 0; length < data.size(); ++length) {
    Error error;
    EXPECT_FALSE(unarchive(Data(data.begin(), data.begin() + static_cast<long>(length)), &error)) << length;
    EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError) << length;
  }
}

TEST_F(KeyedArchiverTest, RandomAndDamagedBytesNeverCrash) {
  const Data data = archive(object(fullRecord()));
  std::mt19937 random(17);
  auto check = [](const Data& bytes) {
    Error error;
    if (!KeyedUnarchiver::unarchiveObjectWithData(bytes, &error)) {
      EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
    }
  };
  for (int round = 0; round < 300; ++round) {
    Data noise(random() % 400);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    if (round % 2) std::copy_n("bplist00", std::min<std::size_t>(8, noise.size()), noise.begin());
    EXPECT_FALSE(KeyedUnarchiver::unarchiveObjectWithData(noise));
  }
  // Every byte of a real archive, changed in turn: decoding may succeed or fail, but never crashes.
  for (std::size_t at = 0; at < data.size(); ++at) {
    for (std::uint8_t flip : {0x01, 0x80, 0xFF}) {
      Data damaged = data;
      damaged[at] ^= flip;
      check(damaged);
    }
  }
}

TEST_F(KeyedArchiverTest, NestingIsCappedOnBothSides) {
  Value deep("bottom");
  for (int i = 0; i < 300; ++i) deep = Value(Array{deep});
  Error error;
  EXPECT_FALSE(KeyedArchiver::archivedDataWithRootObject(deep, &error));
  EXPECT_EQ(error.code(), foundation::kCoderInvalidValueError);

  Value shallow("bottom");
  for (int i = 0; i < 200; ++i) shallow = Value(Array{shallow});
  const auto back = unarchive(archive(shallow), &error);
  ASSERT_TRUE(back) << error.description();
  EXPECT_EQ(*back, shallow);
}

}  // namespace
