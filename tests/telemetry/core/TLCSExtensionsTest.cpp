#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <typeindex>

#include "telemetry/core/Internals/Model/TLCSData.h"
#include "telemetry/core/Internals/Model/TLCSExtensions.h"
#include "telemetry/core/Internals/Util/TLUtility+StringFormatting.h"
#include "tests/telemetry/support/TLModelFixtures.h"

namespace {

using foundation::Array;
using foundation::Dictionary;
using foundation::Value;

const foundation::UUID kInstallId = *foundation::UUID::fromString("0f8fad5b-d9cb-469f-a165-70867728950e");

template <class T>
std::shared_ptr<T> make(std::function<void(T&)> fill = nullptr) {
  auto object = std::make_shared<T>();
  if (fill) fill(*object);
  return object;
}

// The object's JSON text, or "nothing" when it writes no dictionary.
std::string jsonOf(const TLSerializableObject& object) {
  const auto dictionary = object.serializeToDictionary();
  if (!dictionary) return "nothing";
  return *TLUtility::jsonStringFromObject(*dictionary, false);
}

TEST(TLCSExtensionsTest, EachExtensionWritesItsSetFieldsOrNothing) {
  const struct {
    const char* name;
    std::shared_ptr<TLSerializableObject> extension;
    const char* json;
  } cases[] = {
      {"metadata absent", make<TLMetadataExtension>(), "nothing"},
      {"metadata empty", make<TLMetadataExtension>([](auto& e) { e.setMetadata(Dictionary{}); }), "{}"},
      {"metadata", make<TLMetadataExtension>([](auto& e) { e.setMetadata(Dictionary{{"f", Dictionary{{"a", 4}}}}); }),
       R"J({"f":{"a":4}})J"},
      {"protocol empty", make<TLProtocolExtension>(), "nothing"},
      {"protocol keys", make<TLProtocolExtension>([](auto& e) { e.ticketKeys = std::vector<std::string>{"k"}; }),
       R"J({"ticketKeys":["k"]})J"},
      {"protocol model", make<TLProtocolExtension>([](auto& e) { e.devModel = "M"; }), R"J({"devModel":"M"})J"},
      {"user empty", make<TLUserExtension>(), "nothing"},
      {"user locale", make<TLUserExtension>([](auto& e) { e.locale = "en-US"; }), R"J({"locale":"en-US"})J"},
      {"device empty", make<TLDeviceExtension>(), "nothing"},
      {"os empty", make<TLOSExtension>(), "nothing"},
      {"os version", make<TLOSExtension>([](auto& e) { e.ver = "Version 1"; }), R"J({"ver":"Version 1"})J"},
      {"app empty", make<TLAppExtension>(), "nothing"},
      {"app id only", make<TLAppExtension>([](auto& e) { e.appId = "I:org.example"; }), R"J({"id":"I:org.example"})J"},
      {"net empty", make<TLNetExtension>(), "nothing"},
      {"sdk seq 0 only", make<TLSDKExtension>(), "nothing"},
      {"sdk seq and install id",
       make<TLSDKExtension>([](auto& e) {
         e.seq = 5;
         e.installId = kInstallId;
       }),
       R"J({"seq":5,"installId":"0F8FAD5B-D9CB-469F-A165-70867728950E"})J"},
      {"sdk epoch only", make<TLSDKExtension>([](auto& e) { e.epoch = "E"; }), R"J({"epoch":"E"})J"},
      {"loc empty", make<TLLocExtension>(), "nothing"},
      {"loc", make<TLLocExtension>([](auto& e) { e.tz = "-03:30"; }), R"J({"tz":"-03:30"})J"},
  };
  for (const auto& c : cases) EXPECT_EQ(jsonOf(*c.extension), c.json) << c.name;
}

TEST(TLCSExtensionsTest, TheSetWritesOnlyExtensionsThatWriteSomething) {
  auto set = make<TLCSExtensions>();
  EXPECT_EQ(jsonOf(*set), "{}");
  EXPECT_TRUE(set->isValid());

  set->protocolExt = make<TLProtocolExtension>();
  set->sdkExt = make<TLSDKExtension>([](auto& e) { e.seq = 3; });
  set->netExt = make<TLNetExtension>([](auto& e) { e.provider = "P"; });
  EXPECT_EQ(jsonOf(*set), R"J({"net":{"provider":"P"},"sdk":{"seq":3}})J");
  EXPECT_TRUE(set->isValid());
}

TEST(TLCSExtensionsTest, EqualityNeedsTheSameClassAndEveryField) {
  const auto app = [](std::optional<std::string> userId) {
    return make<TLAppExtension>([&](auto& e) {
      e.appId = "I:ns";
      e.userId = userId;
    });
  };
  const auto metadata = [](Dictionary tree) { return make<TLMetadataExtension>([&](auto& e) { e.setMetadata(tree); }); };
  const auto keys = [](std::vector<std::string> keys) {
    return make<TLProtocolExtension>([&](auto& e) { e.ticketKeys = keys; });
  };
  const auto sdk = [](std::int64_t seq, std::optional<foundation::UUID> installId) {
    return make<TLSDKExtension>([&](auto& e) {
      e.seq = seq;
      e.installId = installId;
    });
  };
  const struct {
    const char* name;
    std::shared_ptr<foundation::Object> a, b;
    bool equal;
  } cases[] = {
      {"same app", app("u"), app("u"), true},
      {"apps differing in userId", app("u"), app(std::nullopt), false},
      {"same texts, other class", make<TLUserExtension>([](auto& e) { e.localId = "x"; }),
       make<TLDeviceExtension>([](auto& e) { e.localId = "x"; }), false},
      {"empty extensions of two classes", make<TLNetExtension>(), make<TLLocExtension>(), false},
      {"metadata in another order", metadata(Dictionary{{"a", 1}, {"b", 2}}), metadata(Dictionary{{"b", 2}, {"a", 1}}),
       true},
      {"metadata absent and empty", make<TLMetadataExtension>(), metadata(Dictionary{}), false},
      {"ticket keys in another order", keys({"a", "b"}), keys({"b", "a"}), false},
      {"sdk seq", sdk(1, kInstallId), sdk(2, kInstallId), false},
      {"sdk install id", sdk(1, kInstallId), sdk(1, std::nullopt), false},
      {"sets differing in one extension", make<TLCSExtensions>([](auto& s) { s.locExt = make<TLLocExtension>(); }),
       make<TLCSExtensions>(), false},
      {"sets with equal extensions",
       make<TLCSExtensions>([&](auto& s) { s.appExt = app("u"); }),
       make<TLCSExtensions>([&](auto& s) { s.appExt = app("u"); }), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.a->isEqual(*c.b), c.equal) << c.name;
    EXPECT_EQ(c.b->isEqual(*c.a), c.equal) << c.name;
  }
}

TEST(TLCSExtensionsTest, EveryClassSurvivesArchiving) {
  auto full = make<TLCSExtensions>([](TLCSExtensions& s) {
    s.metadataExt = make<TLMetadataExtension>([](auto& e) { e.setMetadata(Dictionary{{"f", Dictionary{{"a", 9}}}}); });
    s.protocolExt = make<TLProtocolExtension>([](auto& e) {
      e.ticketKeys = std::vector<std::string>{"k1", "k2"};
      e.devMake = "Make";
      e.devModel = "Model";
    });
    s.userExt = make<TLUserExtension>([](auto& e) {
      e.localId = "c:u";
      e.locale = "de-DE";
    });
    s.deviceExt = make<TLDeviceExtension>([](auto& e) { e.localId = "d"; });
    s.osExt = make<TLOSExtension>([](auto& e) {
      e.name = "OS";
      e.ver = "Version 1";
    });
    s.appExt = make<TLAppExtension>([](auto& e) {
      e.appId = "I:ns";
      e.ver = "1";
      e.name = "App";
      e.locale = "de";
      e.userId = "u";
    });
    s.netExt = make<TLNetExtension>([](auto& e) { e.provider = "P"; });
    s.sdkExt = make<TLSDKExtension>([](auto& e) {
      e.libVer = "sdk-1";
      e.epoch = "E";
      e.seq = -7;
      e.installId = kInstallId;
    });
    s.locExt = make<TLLocExtension>([](auto& e) { e.tz = "+01:00"; });
  });
  const auto copy = test::archiveRoundTrip(full, "TLCSExtensions");
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->isEqual(*full));
  EXPECT_EQ(jsonOf(*copy), jsonOf(*full));

  // Each extension on its own, with nothing set: nothing comes back as something.
  const auto empty = make<TLCSExtensions>([](TLCSExtensions& s) {
    s.metadataExt = make<TLMetadataExtension>();
    s.protocolExt = make<TLProtocolExtension>();
    s.sdkExt = make<TLSDKExtension>();
  });
  const auto emptyCopy = test::archiveRoundTrip(empty, "TLCSExtensions");
  ASSERT_TRUE(emptyCopy);
  EXPECT_TRUE(emptyCopy->isEqual(*empty));
  EXPECT_FALSE(emptyCopy->metadataExt->metadata());
  EXPECT_FALSE(emptyCopy->protocolExt->ticketKeys);
  EXPECT_FALSE(emptyCopy->userExt);

  auto data = make<TLCSData>([](auto& d) { d.setProperties(Dictionary{{"a", Dictionary{{"b", 1}}}}); });
  const auto dataCopy = test::archiveRoundTrip(data, "TLCSData");
  ASSERT_TRUE(dataCopy);
  EXPECT_TRUE(dataCopy->isEqual(*data));
}

// Archives written by a stand-in class whose name has the length of a real one: renaming it in
// the bytes makes an archive of the real class with contents of the test's choosing.
template <int N>
class ArchiveForger : public foundation::Coding {
 public:
  explicit ArchiveForger(std::function<void(foundation::KeyedArchiver&)> encode) : encode_(std::move(encode)) {}
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override { encode_(coder); }

 private:
  std::function<void(foundation::KeyedArchiver&)> encode_;
};

template <int N>
  requires(N >= 0 && N <= 9)
std::optional<Value> forgeAndUnarchive(const std::string& realName, std::function<void(foundation::KeyedArchiver&)> encode,
                                       foundation::Error* error) {
  TLRegisterArchivableClasses();
  std::string forgedName = realName;
  forgedName.replace(0, 2, "Q" + std::to_string(N));  // each forger needs a name of its own
  EXPECT_TRUE(foundation::CodingRegistry::registerClass(std::type_index(typeid(ArchiveForger<N>)),
                                            {forgedName, "", true, [](auto&) { return nullptr; }}));
  auto data = foundation::KeyedArchiver::archivedDataWithRootObject(std::make_shared<ArchiveForger<N>>(encode), error);
  EXPECT_TRUE(data) << error->description();
  if (!data) return std::nullopt;
  auto at = std::search(data->begin(), data->end(), forgedName.begin(), forgedName.end());
  EXPECT_NE(at, data->end());
  std::copy(realName.begin(), realName.end(), at);
  return foundation::KeyedUnarchiver::unarchiveObjectWithData(*data, error);
}

TEST(TLCSExtensionsTest, StoredPartsOfTheWrongShapeFailToUnarchive) {
  using foundation::KeyedArchiver;
  foundation::Error error;

  // The forgery itself is sound: a dictionary written unkeyed reads back as the data's properties.
  const auto good = forgeAndUnarchive<0>(
      "TLCSData", [](KeyedArchiver& coder) { coder.encodeRootObject(Dictionary{{"a", 1}}); }, &error);
  ASSERT_TRUE(good) << error.description();
  ASSERT_TRUE(good->objectAs<TLCSData>());
  EXPECT_EQ(good->objectAs<TLCSData>()->properties(), (Dictionary{{"a", 1}}));
  // The app id is stored under "id", as in the JSON.
  const auto app = forgeAndUnarchive<6>(
      "TLAppExtension", [](KeyedArchiver& coder) { coder.encodeObject("I:ns", "id"); }, &error);
  ASSERT_TRUE(app && app->objectAs<TLAppExtension>()) << error.description();
  EXPECT_EQ(app->objectAs<TLAppExtension>()->appId, "I:ns");

  EXPECT_FALSE(forgeAndUnarchive<1>("TLCSData", [](KeyedArchiver& coder) { coder.encodeRootObject("text"); }, &error));
  EXPECT_FALSE(forgeAndUnarchive<2>(
      "TLMetadataExtension", [](KeyedArchiver& coder) { coder.encodeRootObject(Array{1, 2}); }, &error));
  EXPECT_FALSE(forgeAndUnarchive<3>(
      "TLSDKExtension", [](KeyedArchiver& coder) { coder.encodeObject("not-a-uuid", "installId"); }, &error));
  EXPECT_FALSE(forgeAndUnarchive<4>(
      "TLProtocolExtension", [](KeyedArchiver& coder) { coder.encodeObject(Array{"k", 1}, "ticketKeys"); }, &error));
  EXPECT_FALSE(forgeAndUnarchive<5>(
      "TLAppExtension", [](KeyedArchiver& coder) { coder.encodeObject(7, "id"); }, &error));
  EXPECT_EQ(error.code(), foundation::kCoderReadCorruptError);
}

}  // namespace
