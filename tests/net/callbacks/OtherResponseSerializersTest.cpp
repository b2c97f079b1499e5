#include <gtest/gtest.h>

#include "net/callbacks/RLCompoundResponseSerializer.h"
#include "net/callbacks/RLImageResponseSerializer.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "net/callbacks/RLPropertyListResponseSerializer.h"
#include "net/callbacks/RLXMLDocumentResponseSerializer.h"
#include "net/callbacks/RLXMLParserResponseSerializer.h"
#include "platform/appkit/Image.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/XMLDocument.h"
#include "platform/foundation/XMLParser.h"
#include "tests/net/callbacks/ResponseTestSupport.h"
#include "tests/support/SharedArrays.h"

using foundation::Error;
using foundation::Value;
using test::body;
using test::httpResponse;

namespace {

const char* kWellFormed = "<?xml version=\"1.0\"?><feed><item id=\"1\">first</item></feed>";
const char* kMalformed = "<feed><item></feed>";

// The external-entity fixture pointing at a secret file of this test's own.
struct ExternalEntityDocument {
  test::TempDir dir;
  RLOptionalData bytes;
  ExternalEntityDocument() {
    EXPECT_TRUE(test::writeFile(dir.file("secret.txt"), "TOP-SECRET"));
    const auto raw = test::fixture("external-entity.xml");
    std::string text(raw.begin(), raw.end());
    text.replace(text.find("@SECRET@"), 8, dir.file("secret.txt"));
    bytes = body(text);
  }
};

TEST(XMLParserResponseSerializerTest, HandsBackAParserThatHasNotRun) {
  const auto serializer = RLXMLParserResponseSerializer::serializer();
  EXPECT_EQ(serializer->acceptableContentTypes(), (std::set<std::string>{"application/xml", "text/xml"}));

  // Even a malformed body gives a parser: the failure shows when the caller runs it.
  std::optional<Error> error;
  const auto parser = serializer->responseObjectForResponse(httpResponse(200, "text/xml"), body(kMalformed), &error)
                          .objectAs<foundation::XMLParser>();
  ASSERT_TRUE(parser);
  EXPECT_FALSE(error);
  EXPECT_EQ(parser->data(), *body(kMalformed));
  EXPECT_FALSE(parser->parse());
  EXPECT_EQ(parser->parserError()->domain(), foundation::kXMLParserErrorDomain);

  const auto withStatus = serializer->responseObjectForResponse(httpResponse(500, "application/xml"), body(kWellFormed), &error);
  ASSERT_TRUE(withStatus.objectAs<foundation::XMLParser>());
  EXPECT_TRUE(withStatus.objectAs<foundation::XMLParser>()->parse());
  EXPECT_EQ(test::codeOf(error), -1011);

  error.reset();
  EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(200, "application/json"), body(kWellFormed), &error).isNull());
  EXPECT_EQ(test::codeOf(error), -1016);

  // Running the parser over a server's external entity reads nothing.
  ExternalEntityDocument evil;
  struct Collect : foundation::XMLParserDelegate {
    std::string text;
    void foundCharacters(foundation::XMLParser&, const std::string& more) override { text += more; }
  };
  auto collect = std::make_shared<Collect>();
  const auto evilParser = serializer->responseObjectForResponse(httpResponse(200, "text/xml"), evil.bytes, nullptr)
                              .objectAs<foundation::XMLParser>();
  ASSERT_TRUE(evilParser);
  evilParser->setDelegate(collect);
  EXPECT_FALSE(evilParser->parse());
  EXPECT_EQ(collect->text.find("TOP-SECRET"), std::string::npos);
}

TEST(XMLDocumentResponseSerializerTest, DocumentsAndParserErrors) {
  const auto serializer = RLXMLDocumentResponseSerializer::serializer();
  struct Case {
    const char* name;
    int status;
    const char* mime;
    const char* text;
    bool document;
    std::string domain;  // of the stored error; empty: none
    long code;
    long underlying;
  } cases[] = {
      {"well formed", 200, "text/xml", kWellFormed, true, "", 0, 0},
      {"500 gives the document and the status error", 500, "application/xml", kWellFormed, true,
       RLURLResponseSerializationErrorDomain, -1011, 0},
      {"malformed", 200, "text/xml", kMalformed, false, foundation::kXMLParserErrorDomain, 76, 0},
      {"malformed 500: parser error over the status one", 500, "text/xml", kMalformed, false,
       foundation::kXMLParserErrorDomain, 76, -1011},
      {"empty body", 200, "text/xml", "", false, foundation::kXMLParserErrorDomain, 5, 0},
      {"wrong MIME type is not parsed", 200, "text/html", kWellFormed, false, RLURLResponseSerializationErrorDomain, -1016, 0},
  };
  for (const auto& c : cases) {
    std::optional<Error> error;
    const auto object = serializer->responseObjectForResponse(httpResponse(c.status, c.mime), body(c.text), &error);
    const auto document = object.objectAs<foundation::XMLDocument>();
    EXPECT_EQ(bool(document), c.document) << c.name;
    EXPECT_EQ(object.isNull(), !c.document) << c.name;
    if (document) {
      EXPECT_EQ(document->rootElement()->elementsForName("item")[0].stringValue(), "first");
    }
    EXPECT_EQ(error ? error->domain() : "", c.domain) << c.name;
    EXPECT_EQ(test::codeOf(error), c.code) << c.name;
    EXPECT_EQ(test::underlyingCodeOf(error), c.underlying) << c.name;
  }

  ExternalEntityDocument evil;
  std::optional<Error> error;
  EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(200, "text/xml"), evil.bytes, &error).isNull());
  EXPECT_EQ(test::codeOf(error), 29);  // the entity is external and is not loaded
  EXPECT_EQ(error->description().find("TOP-SECRET"), std::string::npos);
}

TEST(PropertyListResponseSerializerTest, ReadsEitherFormAndReportsTheReader) {
  const Value list(foundation::Dictionary{{"name", Value("hosts")}, {"count", Value(3)}});
  const auto binary = foundation::PropertyListSerialization::dataWithPropertyList(list, foundation::PropertyListFormat::Binary);
  const auto xml = foundation::PropertyListSerialization::dataWithPropertyList(list, foundation::PropertyListFormat::XML);
  ASSERT_TRUE(binary && xml);
  const auto serializer = RLPropertyListResponseSerializer::serializer();
  EXPECT_EQ(serializer->format(), 100u);
  EXPECT_EQ(serializer->acceptableContentTypes(), (std::set<std::string>{"application/x-plist"}));
  struct Case {
    const char* name;
    int status;
    const char* mime;
    RLOptionalData data;
    bool parsed;
    long code;
    long underlying;
  } cases[] = {
      {"binary", 200, "application/x-plist", binary, true, 0, 0},
      {"xml", 200, "application/x-plist", xml, true, 0, 0},
      {"missing body", 200, "application/x-plist", std::nullopt, false, 0, 0},
      {"missing body, 500", 500, "application/x-plist", std::nullopt, false, -1011, 0},
      {"no property list", 200, "application/x-plist", body("hello"), false, 3840, 0},
      {"no property list, 500", 500, "application/x-plist", body("hello"), false, 3840, -1011},
      {"500 with a list", 500, "application/x-plist", binary, true, -1011, 0},
      {"wrong MIME type", 200, "application/json", xml, false, -1016, 0},
      // About 200 bytes that expand to 2^40 values: the reader's budget refuses them at once.
      {"shared references", 200, "application/x-plist", test::sharedArraysPropertyList(40), false, 3840, 0},
  };
  for (const auto& c : cases) {
    std::optional<Error> error;
    const auto object = serializer->responseObjectForResponse(httpResponse(c.status, c.mime), c.data, &error);
    EXPECT_EQ(object, c.parsed ? list : Value()) << c.name;
    EXPECT_EQ(test::codeOf(error), c.code) << c.name;
    EXPECT_EQ(test::underlyingCodeOf(error), c.underlying) << c.name;
  }
}

TEST(ImageResponseSerializerTest, DecodesBitmapsAndRefusesTheRest) {
  const auto serializer = RLImageResponseSerializer::serializer();
  EXPECT_EQ(serializer->acceptableContentTypes()->size(), 10u);
  struct Case {
    const char* file;
    const char* mime;
    appkit::Size size;
  } images[] = {{"tiny.png", "image/png", {3, 2}}, {"tiny.jpg", "image/jpeg", {4, 2}}, {"tiny.gif", "image/gif", {1, 1}}};
  for (const auto& c : images) {
    std::optional<Error> error;
    const auto image = serializer->responseObjectForResponse(httpResponse(200, c.mime), test::fixture(c.file), &error)
                           .objectAs<appkit::Image>();
    ASSERT_TRUE(image) << c.file;
    EXPECT_FALSE(error) << c.file;
    EXPECT_EQ(image->size(), c.size) << c.file;
    ASSERT_EQ(image->representations().size(), 1u);
    EXPECT_EQ(image->representations()[0]->pixelsWide(), c.size.width);
  }
  const auto png = serializer->responseObjectForResponse(httpResponse(200, "image/png"), test::fixture("tiny.png"), nullptr)
                       .objectAs<appkit::Image>();
  EXPECT_EQ(png->representations()[0]->colorAt(0, 0), 0xffff0000u);
  EXPECT_EQ(png->representations()[0]->colorAt(2, 0), 0xff0000ffu);
  const auto gif = serializer->responseObjectForResponse(httpResponse(200, "image/gif"), test::fixture("tiny.gif"), nullptr)
                       .objectAs<appkit::Image>();
  EXPECT_EQ(gif->representations()[0]->colorAt(0, 0), 0xffff0000u);

  for (const auto& bad : {test::fixture("truncated.png"), *body("<html>oops</html>")}) {
    std::optional<Error> error;
    EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(200, "image/png"), bad, &error).isNull());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code(), -1016);
    EXPECT_EQ(error->localizedDescription(), "Request failed: image could not be decoded");
    EXPECT_EQ(error->userInfo().get(RLNetworkingOperationFailingURLResponseDataErrorKey).dataValue(), bad);
  }
  std::optional<Error> error;
  EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(500, "image/png"), test::fixture("tiny.png"), &error)
                  .objectAs<appkit::Image>());
  EXPECT_EQ(test::codeOf(error), -1011);
  error.reset();
  EXPECT_TRUE(serializer->responseObjectForResponse(httpResponse(200, "text/html"), test::fixture("tiny.png"), &error).isNull());
  EXPECT_EQ(test::codeOf(error), -1016);
}

// A serializer of the protocol that is not of the HTTP family: the compound must never ask it.
struct Outsider : RLURLResponseSerialization {
  Value responseObjectForResponse(const RLURLResponsePtr&, const RLOptionalData&, RLErrorOut) const override {
    return Value("outsider");
  }
  std::shared_ptr<RLURLResponseSerialization> copy() const override { return std::make_shared<Outsider>(); }
  void encodeWithCoder(foundation::KeyedArchiver&) const override {}
};

TEST(CompoundResponseSerializerTest, FirstObjectWins) {
  const auto jsonAndImage = RLCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
      {RLJSONResponseSerializer::serializer(), RLImageResponseSerializer::serializer()});
  EXPECT_FALSE(jsonAndImage->acceptableContentTypes());

  // The JSON serializer refuses the PNG (MIME error), the image serializer takes it; the JSON
  // attempt's error is not passed on.
  std::optional<Error> error;
  EXPECT_TRUE(jsonAndImage->responseObjectForResponse(httpResponse(200, "image/png"), test::fixture("tiny.png"), &error)
                  .objectAs<appkit::Image>());
  EXPECT_FALSE(error);
  EXPECT_EQ(jsonAndImage->responseObjectForResponse(httpResponse(200, "application/json"), body("[2]"), &error),
            test::json("[2]"));
  EXPECT_FALSE(error);

  // The winner's error goes over what the caller's pointer held.
  error = Error("earlier", 7);
  EXPECT_EQ(jsonAndImage->responseObjectForResponse(httpResponse(500, "application/json"), body("[2]"), &error),
            test::json("[2]"));
  EXPECT_EQ(test::codeOf(error), -1011);
  EXPECT_EQ(error->underlyingError()->domain(), "earlier");

  // Nothing from the list: the compound's own base answer, the body with status validation.
  const auto data = body("<p>plain</p>");
  for (const auto& list : {RLCompoundResponseSerializer::Serializers{},
                           RLCompoundResponseSerializer::Serializers{std::make_shared<Outsider>(), nullptr},
                           RLCompoundResponseSerializer::Serializers{RLJSONResponseSerializer::serializer()}}) {
    const auto compound = RLCompoundResponseSerializer::compoundSerializerWithResponseSerializers(list);
    error.reset();
    EXPECT_EQ(compound->responseObjectForResponse(httpResponse(200, "text/html"), data, &error), Value(*data));
    EXPECT_FALSE(error);
    EXPECT_EQ(compound->responseObjectForResponse(httpResponse(404, "text/html"), data, &error), Value(*data));
    EXPECT_EQ(test::codeOf(error), -1011);
  }
}

}  // namespace
