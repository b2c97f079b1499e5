#include <gtest/gtest.h>

#include "net/callbacks/RLCompoundResponseSerializer.h"
#include "net/callbacks/RLImageResponseSerializer.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "net/callbacks/RLPropertyListResponseSerializer.h"
#include "net/callbacks/RLXMLDocumentResponseSerializer.h"
#include "net/callbacks/RLXMLParserResponseSerializer.h"
#include "platform/foundation/XMLDocument.h"
#include "platform/net/URLError.h"
#include "tests/net/callbacks/ResponseTestSupport.h"

using foundation::Error;
using foundation::Value;
using test::body;
using test::httpResponse;

namespace {

const std::set<std::string> kJSONTypes{"application/json", "text/json", "text/javascript"};
const Error kUntouched("untouched", 1);

TEST(HTTPResponseSerializerTest, Defaults) {
  const auto base = RLHTTPResponseSerializer::serializer();
  ASSERT_TRUE(base->acceptableStatusCodes());
  EXPECT_EQ(*base->acceptableStatusCodes(), foundation::IndexSet::indexSetWithIndexesInRange({200, 100}));
  EXPECT_FALSE(base->acceptableContentTypes());
  EXPECT_EQ(RLJSONResponseSerializer::serializer()->acceptableContentTypes(), kJSONTypes);
  EXPECT_EQ(RLJSONResponseSerializer::serializer()->readingOptions(), 0u);
  EXPECT_EQ(RLJSONResponseSerializer::serializerWithReadingOptions(4)->readingOptions(), 4u);
  EXPECT_FALSE(RLJSONResponseSerializer::serializer()->removesKeysWithNullValues());
}

TEST(HTTPResponseSerializerTest, ValidationTable) {
  struct Case {
    const char* name;
    int status;
    std::optional<std::string> mime;
    RLOptionalData data;
    bool withURL;
    bool jsonTypes;  // else any type
    bool valid;
    long code;        // of the stored error; 0: none stored (or untouched when valid)
    long underlying;  // code under it
    const char* message;
  } cases[] = {
      {"json ok", 200, "application/json", body("{}"), true, true, true, 0, 0, ""},
      {"299 is the last good status", 299, "text/json", body("{}"), true, true, true, 0, 0, ""},
      {"html with a body", 200, "text/html", body("<p>"), true, true, false, -1016, 0,
       "Request failed: unacceptable content-type: text/html"},
      {"html, empty body: invalid without error", 200, "text/html", body(""), true, true, false, 0, 0, ""},
      {"html, nil body: invalid without error", 200, "text/html", std::nullopt, true, true, false, 0, 0, ""},
      {"html without URL: invalid without error", 200, "text/html", body("x"), false, true, false, 0, 0, ""},
      {"no MIME type, empty body", 204, std::nullopt, body(""), true, true, true, 0, 0, ""},
      {"no MIME type with a body", 200, std::nullopt, body("x"), true, true, false, -1016, 0,
       "Request failed: unacceptable content-type: (null)"},
      {"500", 500, "application/json", body("{}"), true, true, false, -1011, 0,
       "Request failed: internal server error (500)"},
      {"404 without body", 404, "application/json", std::nullopt, true, true, false, -1011, 0,
       "Request failed: not found (404)"},
      {"300", 300, "application/json", body("{}"), true, true, false, -1011, 0, "Request failed: multiple choices (300)"},
      {"500 and html: the MIME error under the status one", 500, "text/html", body("<p>"), true, true, false, -1011, -1016,
       "Request failed: internal server error (500)"},
      {"404 without URL is not checked", 404, "application/json", body("{}"), false, true, true, 0, 0, ""},
      {"any type when none is set", 200, "text/html", body("<p>"), true, false, true, 0, 0, ""},
      {"status alone with any type", 503, "text/html", body("<p>"), true, false, false, -1011, 0,
       "Request failed: service unavailable (503)"},
  };
  for (const auto& c : cases) {
    auto serializer = RLHTTPResponseSerializer::serializer();
    if (c.jsonTypes) serializer->setAcceptableContentTypes(kJSONTypes);
    const auto response = httpResponse(c.status, c.mime, c.withURL);
    std::optional<Error> error = kUntouched;
    EXPECT_EQ(serializer->validateResponse(response, c.data, &error), c.valid) << c.name;
    if (c.valid) {
      EXPECT_EQ(error, kUntouched) << c.name;
      continue;
    }
    EXPECT_EQ(test::codeOf(error), c.code) << c.name;
    EXPECT_EQ(test::underlyingCodeOf(error), c.underlying) << c.name;
    if (!error) continue;
    EXPECT_EQ(error->domain(), RLURLResponseSerializationErrorDomain) << c.name;
    EXPECT_EQ(error->localizedDescription(), c.message) << c.name;
    const auto& info = error->userInfo();
    EXPECT_EQ(info.get(RLNetworkingOperationFailingURLResponseErrorKey).objectValue(), response) << c.name;
    const auto url = info.get(net::kURLErrorFailingURLErrorKey).objectAs<net::URL>();
    ASSERT_TRUE(url) << c.name;
    EXPECT_EQ(url->absoluteString(), test::kResponseURL) << c.name;
    EXPECT_EQ(info.contains(RLNetworkingOperationFailingURLResponseDataErrorKey), c.data.has_value()) << c.name;
    if (c.data) {
      EXPECT_EQ(info.get(RLNetworkingOperationFailingURLResponseDataErrorKey).dataValue(), *c.data) << c.name;
    }
  }
}

TEST(HTTPResponseSerializerTest, ResponsesThatAreNotHTTPAlwaysPass) {
  auto serializer = RLJSONResponseSerializer::serializer();
  const RLURLResponsePtr file =
      std::make_shared<net::URLResponse>(*net::URL::fromString("file:///tmp/x"), "text/html", 3, std::nullopt);
  for (const RLURLResponsePtr& response : {file, RLURLResponsePtr()}) {
    std::optional<Error> error = kUntouched;
    EXPECT_TRUE(serializer->validateResponse(response, body("<p>"), &error));
    EXPECT_EQ(error, kUntouched);
  }
  // The base returns the body as it came, with or without a failed validation.
  std::optional<Error> error;
  const auto base = RLHTTPResponseSerializer::serializer();
  EXPECT_EQ(base->responseObjectForResponse(httpResponse(500, "text/plain"), body("oops"), &error), Value(*body("oops")));
  EXPECT_EQ(test::codeOf(error), -1011);
  EXPECT_TRUE(base->responseObjectForResponse(httpResponse(200, "text/plain"), std::nullopt, nullptr).isNull());
}

TEST(HTTPResponseSerializerTest, ErrorChaining) {
  const Error outer("outer", 1);
  const Error inner("inner", 2);
  const Error chained("outer", 1, {}, std::make_shared<const Error>(Error("deep", 3)));
  EXPECT_EQ(RLErrorWithUnderlyingError(std::nullopt, inner), inner);
  EXPECT_EQ(RLErrorWithUnderlyingError(outer, std::nullopt), outer);
  EXPECT_EQ(RLErrorWithUnderlyingError(std::nullopt, std::nullopt), std::nullopt);
  const auto both = RLErrorWithUnderlyingError(outer, inner);
  ASSERT_TRUE(both && both->underlyingError());
  EXPECT_EQ(both->domain(), "outer");
  EXPECT_EQ(*both->underlyingError(), inner);
  // An error that already has an underlying error keeps it.
  const auto kept = RLErrorWithUnderlyingError(chained, inner);
  EXPECT_EQ(kept->underlyingError()->domain(), "deep");

  const auto three = RLErrorWithUnderlyingError(Error("a", 1), RLErrorWithUnderlyingError(Error("b", 2), Error("c", 3)));
  EXPECT_TRUE(RLErrorOrUnderlyingErrorHasCodeInDomain(three, 3, "c"));
  EXPECT_TRUE(RLErrorOrUnderlyingErrorHasCodeInDomain(three, 1, "a"));
  EXPECT_FALSE(RLErrorOrUnderlyingErrorHasCodeInDomain(three, 3, "b"));
  EXPECT_FALSE(RLErrorOrUnderlyingErrorHasCodeInDomain(std::nullopt, 3, "c"));
}

TEST(JSONResponseSerializerTest, ParsingTable) {
  struct Case {
    const char* name;
    int status;
    const char* mime;
    RLOptionalData data;
    const char* expected;  // JSON of the object; null: none
    long code;
    long underlying;
  } cases[] = {
      {"object", 200, "application/json", body("{\"a\":[1,true,\"x\"]}"), "{\"a\":[1,true,\"x\"]}", 0, 0},
      {"404 with a JSON body: object and error", 404, "text/javascript", body("{\"e\":1}"), "{\"e\":1}", -1011, 0},
      {"500 with a JSON body", 500, "application/json", body("[1]"), "[1]", -1011, 0},
      {"html is not parsed", 200, "text/html", body("{\"a\":1}"), nullptr, -1016, 0},
      {"500 and html: the chain holds the MIME error", 500, "text/html", body("{}"), nullptr, -1011, -1016},
      {"empty body", 200, "application/json", body(""), nullptr, 0, 0},
      {"nil body", 200, "application/json", std::nullopt, nullptr, 0, 0},
      {"a single space", 200, "application/json", body(" "), nullptr, 0, 0},
      {"two spaces are malformed", 200, "application/json", body("  "), nullptr, 3840, 0},
      {"malformed", 200, "application/json", body("{\"a\":"), nullptr, 3840, 0},
      {"malformed 500: parser error over the status one", 500, "application/json", body("{"), nullptr, 3840, -1011},
      {"scalar without the fragments option", 200, "application/json", body("42"), nullptr, 3840, 0},
  };
  const auto serializer = RLJSONResponseSerializer::serializer();
  for (const auto& c : cases) {
    std::optional<Error> error;
    const Value object = serializer->responseObjectForResponse(httpResponse(c.status, c.mime), c.data, &error);
    EXPECT_EQ(object, c.expected ? test::json(c.expected) : Value()) << c.name;
    EXPECT_EQ(test::codeOf(error), c.code) << c.name;
    EXPECT_EQ(test::underlyingCodeOf(error), c.underlying) << c.name;
  }
  // Without an error pointer a failed validation gives nothing, even with a JSON body.
  EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(500, "application/json"), body("[1]"), nullptr).isNull());
  EXPECT_EQ(RLJSONResponseSerializer::serializerWithReadingOptions(foundation::JSONReadingAllowFragments)
                ->responseObjectForResponse(httpResponse(200, "application/json"), body("42"), nullptr),
            Value(42));
}

TEST(JSONResponseSerializerTest, NullsRemovedFromNestedDictionariesOnly) {
  const std::string text = "{\"a\":null,\"b\":[null,{\"c\":null,\"d\":1},[{\"e\":null}]],\"f\":{\"g\":null,\"h\":{\"i\":null}},\"j\":0}";
  auto serializer = RLJSONResponseSerializer::serializer();
  EXPECT_EQ(serializer->responseObjectForResponse(httpResponse(200, "application/json"), body(text), nullptr),
            test::json(text));
  serializer->setRemovesKeysWithNullValues(true);
  const char* expected = "{\"b\":[null,{\"d\":1},[{}]],\"f\":{\"h\":{}},\"j\":0}";
  EXPECT_EQ(serializer->responseObjectForResponse(httpResponse(200, "application/json"), body(text), nullptr),
            test::json(expected));
  EXPECT_EQ(RLJSONObjectByRemovingKeysWithNullValues(test::json("[null,1]"), 1), test::json("[null,1]"));
  EXPECT_EQ(RLJSONObjectByRemovingKeysWithNullValues(Value("text"), 0), Value("text"));
}

// Archiving and copying keep each serializer's class and configuration.
TEST(ResponseSerializerArchivingTest, RoundTripsAndCopies) {
  auto base = RLHTTPResponseSerializer::serializer();
  base->setAcceptableStatusCodes(std::nullopt);
  base->setAcceptableContentTypes(std::set<std::string>{"text/plain"});
  auto jsonSerializer = RLJSONResponseSerializer::serializerWithReadingOptions(5);
  jsonSerializer->setRemovesKeysWithNullValues(true);
  jsonSerializer->setAcceptableContentTypes(std::nullopt);  // a missing set stays missing
  auto codes = foundation::IndexSet::indexSetWithIndexesInRange({200, 2});
  codes.addIndex(404);
  jsonSerializer->setAcceptableStatusCodes(codes);
  const std::shared_ptr<RLXMLDocumentResponseSerializer> document = RLXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(foundation::XMLNodePreserveWhitespace);
  const auto plist = RLPropertyListResponseSerializer::serializerWithFormat(200, 2);
  const auto compound = RLCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
      {jsonSerializer, RLImageResponseSerializer::serializer(), RLXMLParserResponseSerializer::serializer()});

  const std::vector<std::shared_ptr<RLHTTPResponseSerializer>> originals{base, jsonSerializer, document, plist, compound};
  for (const auto& original : originals) {
    const auto archived = test::roundTrip(original);
    const auto copied = std::dynamic_pointer_cast<RLHTTPResponseSerializer>(original->copy());
    const auto& originalObject = *original;
    const auto& originalType = typeid(originalObject);
    for (const auto& other : {archived, copied}) {
      ASSERT_TRUE(other);
      EXPECT_NE(other, original);
      const auto& otherObject = *other;
      EXPECT_EQ(typeid(otherObject), originalType);
      EXPECT_EQ(other->acceptableStatusCodes(), original->acceptableStatusCodes()) << originalType.name();
      EXPECT_EQ(other->acceptableContentTypes(), original->acceptableContentTypes()) << originalType.name();
    }
  }
  for (const auto& json : {test::roundTrip(jsonSerializer),
                           std::dynamic_pointer_cast<RLJSONResponseSerializer>(jsonSerializer->copy())}) {
    EXPECT_EQ(json->readingOptions(), 5u);
    EXPECT_TRUE(json->removesKeysWithNullValues());
  }
  EXPECT_EQ(test::roundTrip(document)->options(), foundation::XMLNodePreserveWhitespace);
  EXPECT_EQ(std::dynamic_pointer_cast<RLXMLDocumentResponseSerializer>(document->copy())->options(),
            foundation::XMLNodePreserveWhitespace);
  for (const auto& list : {test::roundTrip(plist), std::dynamic_pointer_cast<RLPropertyListResponseSerializer>(plist->copy())}) {
    EXPECT_EQ(list->format(), 200u);
    EXPECT_EQ(list->readOptions(), 2u);
  }
  const auto compoundBack = test::roundTrip(compound);
  ASSERT_EQ(compoundBack->responseSerializers().size(), 3u);
  const auto inner = std::dynamic_pointer_cast<RLJSONResponseSerializer>(compoundBack->responseSerializers()[0]);
  ASSERT_TRUE(inner);
  EXPECT_EQ(inner->readingOptions(), 5u);
  EXPECT_TRUE(std::dynamic_pointer_cast<RLImageResponseSerializer>(compoundBack->responseSerializers()[1]));
  EXPECT_TRUE(std::dynamic_pointer_cast<RLXMLParserResponseSerializer>(compoundBack->responseSerializers()[2]));
  const auto compoundCopy = std::dynamic_pointer_cast<RLCompoundResponseSerializer>(compound->copy());
  EXPECT_EQ(compoundCopy->responseSerializers(), compound->responseSerializers());
}

}  // namespace
