#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "net/callbacks/RLArchivableClasses.h"
#include "net/callbacks/RLJSONRequestSerializer.h"
#include "net/callbacks/RLPropertyListRequestSerializer.h"
#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/KeyedUnarchiver.h"
#include "tests/net/callbacks/CallbacksTestSupport.h"

namespace {

using foundation::Dictionary;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::Value;

// Sets the state that archiving and copying must (headers, style) and must not (properties,
// encoding, method set) carry over.
void configure(RLHTTPRequestSerializer& serializer) {
  serializer.setValue("yes", "X-Kept");
  serializer.setAuthorizationHeaderFieldWithUsername("u", "p");
  serializer.setQueryStringSerializationWithStyle(3);
  serializer.setTimeoutInterval(7);
  serializer.setStringEncoding(RLStringEncoding::ASCII);
  serializer.setHTTPMethodsEncodingParametersInURI({"GET"});
}

void expectCarried(const RLHTTPRequestSerializer& original, const RLHTTPRequestSerializer& other) {
  EXPECT_EQ(other.HTTPRequestHeaders(), original.HTTPRequestHeaders());
  EXPECT_EQ(other.valueForHTTPHeaderField("X-Kept"), "yes");
  EXPECT_EQ(other.valueForHTTPHeaderField("Authorization"), "Basic dTpw");
  EXPECT_EQ(other.queryStringSerializationStyle(), 3u);
  EXPECT_TRUE(other.observedChangedKeyPaths().empty());
  EXPECT_EQ(other.stringEncoding(), RLStringEncoding::UTF8);
  EXPECT_EQ(other.HTTPMethodsEncodingParametersInURI(), (std::set<std::string>{"GET", "HEAD", "DELETE"}));
}

template <class T>
std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& serializer) {
  foundation::Error error;
  auto data = KeyedArchiver::archivedDataWithRootObject(serializer, &error);
  EXPECT_TRUE(data) << error.description();
  if (!data) return nullptr;
  RLRegisterArchivableClasses();
  // Decoded securely as the base class: subclasses come back as themselves.
  auto value = KeyedUnarchiver::unarchivedObjectOfClass("RLHTTPRequestSerializer", *data, &error);
  EXPECT_TRUE(value) << error.description();
  return value ? value->template objectAs<T>() : nullptr;
}

TEST(RequestSerializerCoding, ArchivingKeepsHeadersStyleAndOptions) {
  auto base = RLHTTPRequestSerializer::serializer();
  configure(*base);
  auto decodedBase = roundTrip(base);
  ASSERT_TRUE(decodedBase);
  expectCarried(*base, *decodedBase);

  auto json = RLJSONRequestSerializer::serializerWithWritingOptions(3);
  configure(*json);
  auto decodedJSON = roundTrip(json);
  ASSERT_TRUE(decodedJSON);
  expectCarried(*json, *decodedJSON);
  EXPECT_EQ(decodedJSON->writingOptions(), 3u);

  auto plist = RLPropertyListRequestSerializer::serializerWithFormat(foundation::PropertyListFormat::Binary, 5);
  configure(*plist);
  auto decodedPlist = roundTrip(plist);
  ASSERT_TRUE(decodedPlist);
  expectCarried(*plist, *decodedPlist);
  EXPECT_EQ(decodedPlist->format(), foundation::PropertyListFormat::Binary);
  EXPECT_EQ(decodedPlist->writeOptions(), 5u);
}

TEST(RequestSerializerCoding, CopiesKeepHeadersStyleBlockAndOptions) {
  auto json = RLJSONRequestSerializer::serializerWithWritingOptions(2);
  configure(*json);
  json->setQueryStringSerializationWithBlock(
      [](const net::URLRequest&, const Value&, std::optional<foundation::Error>&) -> std::optional<std::string> {
        return "from-block";
      });
  auto copy = std::dynamic_pointer_cast<RLJSONRequestSerializer>(json->copy());
  ASSERT_TRUE(copy);
  EXPECT_EQ(copy->HTTPRequestHeaders(), json->HTTPRequestHeaders());
  EXPECT_TRUE(copy->observedChangedKeyPaths().empty());
  EXPECT_EQ(copy->writingOptions(), 2u);
  EXPECT_EQ(copy->requestWithMethod("GET", "http://h/", Dictionary{{"a", 1}})->url()->absoluteString(),
            "http://h/?from-block");

  auto plist = RLPropertyListRequestSerializer::serializerWithFormat(foundation::PropertyListFormat::Binary, 1);
  auto plistCopy = std::dynamic_pointer_cast<RLPropertyListRequestSerializer>(plist->copy());
  ASSERT_TRUE(plistCopy);
  EXPECT_EQ(plistCopy->format(), foundation::PropertyListFormat::Binary);
  EXPECT_EQ(plistCopy->writeOptions(), 1u);

  // A copy is independent: later changes to the original do not reach it.
  json->setValue("changed", "X-Kept");
  EXPECT_EQ(copy->valueForHTTPHeaderField("X-Kept"), "yes");
}

// Writes what a serializer writes, with a header value of its choice; archived under a name as
// long as the serializer's, which the test then swaps in.
class ForgedSerializer final : public foundation::Coding {
 public:
  explicit ForgedSerializer(Value headerValue) : headerValue_(std::move(headerValue)) {}
  explicit ForgedSerializer(foundation::KeyedUnarchiver&) {}
  void encodeWithCoder(foundation::KeyedArchiver& coder) const override {
    coder.encodeObject(Value(Dictionary{{"X-Forged", headerValue_}}), "mutableHTTPRequestHeaders");
    coder.encodeInteger(0, "queryStringSerializationStyle");
  }

 private:
  Value headerValue_;
};

// The forged archive decoded as a serializer.
std::optional<Value> decodeForged(const Value& headerValue) {
  auto data = KeyedArchiver::archivedDataWithRootObject(std::make_shared<ForgedSerializer>(headerValue));
  EXPECT_TRUE(data);
  if (!data) return std::nullopt;
  std::string bytes = test::text(*data);
  for (auto at = bytes.find("TestForgedSerializer123"); at != std::string::npos; at = bytes.find("TestForgedSerializer123")) {
    bytes.replace(at, 23, "RLHTTPRequestSerializer");
  }
  return KeyedUnarchiver::unarchivedObjectOfClass("RLHTTPRequestSerializer", test::bytes(bytes));
}

TEST(RequestSerializerCoding, AHeaderThatIsNotTextFailsTheUnarchiving) {
  RLRegisterArchivableClasses();
  ASSERT_TRUE(foundation::CodingRegistry::registerClass<ForgedSerializer>("TestForgedSerializer123"));
  const auto text = decodeForged("fine");
  ASSERT_TRUE(text);
  auto serializer = text->objectAs<RLHTTPRequestSerializer>();
  ASSERT_TRUE(serializer);
  EXPECT_EQ(serializer->valueForHTTPHeaderField("X-Forged"), "fine");

  EXPECT_FALSE(decodeForged(5));
  foundation::CodingRegistry::unregisterClass("TestForgedSerializer123");
}

}  // namespace
