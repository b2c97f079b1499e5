#include <gtest/gtest.h>

#include <string>

#include "net/callbacks/RLJSONRequestSerializer.h"
#include "net/callbacks/RLPropertyListRequestSerializer.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "tests/net/callbacks/CallbacksTestSupport.h"

namespace {

using foundation::Array;
using foundation::Dictionary;
using foundation::Value;

const Value kParameters = Dictionary{{"b", "x/y"}, {"a", Array{1, true, Value()}}};

TEST(JSONRequestSerializer, WritesBodyMethodsAsJSON) {
  auto serializer = RLJSONRequestSerializer::serializer();
  auto post = serializer->requestWithMethod("POST", "http://h/p", kParameters);
  ASSERT_TRUE(post);
  EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/json");
  EXPECT_EQ(test::text(*post->httpBody()), "{\"b\":\"x\\/y\",\"a\":[1,true,null]}");
  EXPECT_TRUE(post->valueForHTTPHeaderField("User-Agent"));

  auto sorted = RLJSONRequestSerializer::serializerWithWritingOptions(foundation::JSONWritingSortedKeys |
                                                                      foundation::JSONWritingWithoutEscapingSlashes);
  EXPECT_EQ(test::text(*sorted->requestWithMethod("PUT", "http://h/p", kParameters)->httpBody()),
            "{\"a\":[1,true,null],\"b\":\"x/y\"}");

  // URI methods are the form serializer's: a query and no JSON.
  auto get = serializer->requestWithMethod("GET", "http://h/p", Dictionary{{"b", 1}, {"a", 2}});
  ASSERT_TRUE(get);
  EXPECT_EQ(get->url()->absoluteString(), "http://h/p?a=2&b=1");
  EXPECT_FALSE(get->httpBody());
  EXPECT_FALSE(get->valueForHTTPHeaderField("Content-Type"));

  // No parameters: the default headers and nothing else.
  auto empty = serializer->requestWithMethod("POST", "http://h/p", Value());
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->httpBody());
  EXPECT_FALSE(empty->valueForHTTPHeaderField("Content-Type"));
  EXPECT_TRUE(empty->valueForHTTPHeaderField("Accept-Language"));
}

TEST(JSONRequestSerializer, ACallerContentTypeStays) {
  auto serializer = RLJSONRequestSerializer::serializer();
  serializer->setValue("application/json; charset=utf-8", "Content-Type");
  auto post = serializer->requestWithMethod("POST", "http://h/p", Dictionary{{"k", "v"}});
  ASSERT_TRUE(post);
  EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/json; charset=utf-8");
}

TEST(JSONRequestSerializer, InvalidJSONObjectsAreRefused) {
  auto serializer = RLJSONRequestSerializer::serializer();
  const Value invalid[] = {Dictionary{{"when", foundation::Date::now()}}, Value("top-level string"),
                           Array{foundation::Data{1}}, Dictionary{{"n", std::numeric_limits<double>::infinity()}}};
  for (const auto& parameters : invalid) {
    foundation::Error error;
    EXPECT_FALSE(serializer->requestWithMethod("POST", "http://h/p", parameters, &error)) << parameters.description();
    EXPECT_EQ(error.domain(), "com.relay.error.serialization.request");
    EXPECT_EQ(error.code(), -1016);
    EXPECT_EQ(error.localizedFailureReason(), "The `parameters` argument is not valid JSON.");
    EXPECT_EQ(error.userInfo().size(), 1u);
  }
}

TEST(PropertyListRequestSerializer, WritesXMLOrBinaryAndReportsTheWritersError) {
  auto xml = RLPropertyListRequestSerializer::serializer();
  auto post = xml->requestWithMethod("POST", "http://h/p", Dictionary{{"k", "v"}, {"n", 2}});
  ASSERT_TRUE(post);
  EXPECT_EQ(post->valueForHTTPHeaderField("Content-Type"), "application/x-plist");
  const std::string body = test::text(*post->httpBody());
  EXPECT_EQ(body.rfind("<?xml", 0), 0u) << body;
  foundation::PropertyListFormat format{};
  EXPECT_EQ(foundation::PropertyListSerialization::propertyListWithData(*post->httpBody(), 0, &format),
            Value(Dictionary{{"k", "v"}, {"n", 2}}));
  EXPECT_EQ(format, foundation::PropertyListFormat::XML);

  auto binary = RLPropertyListRequestSerializer::serializerWithFormat(foundation::PropertyListFormat::Binary, 0);
  EXPECT_EQ(test::text(*binary->requestWithMethod("PATCH", "http://h/", Dictionary{{"k", 1}})->httpBody()).substr(0, 8),
            "bplist00");

  auto get = xml->requestWithMethod("DELETE", "http://h/", Dictionary{{"k", 1}});
  EXPECT_EQ(get->url()->absoluteString(), "http://h/?k=1");
  EXPECT_FALSE(get->httpBody());

  foundation::Error error;
  EXPECT_FALSE(xml->requestWithMethod("POST", "http://h/", Dictionary{{"null", Value()}}, &error));
  EXPECT_EQ(error.domain(), foundation::kCocoaErrorDomain);
  EXPECT_EQ(error.code(), foundation::kPropertyListWriteStreamError);
}

}  // namespace
