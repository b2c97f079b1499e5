#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/XMLDocument.h"
#include "platform/foundation/XMLParser.h"
#include "tests/support/TempDir.h"

using namespace foundation;

namespace {

Data bytes(const std::string& text) { return Data(text.begin(), text.end()); }

// Writes every event as one short line, so a whole parse reads as a list.
struct Recorder : XMLParserDelegate {
  std::vector<std::string> events;
  std::string abortOnStartOf;

  void parserDidStartDocument(XMLParser&) override { events.push_back("start-document"); }
  void parserDidEndDocument(XMLParser&) override { events.push_back("end-document"); }
  void didStartElement(XMLParser& parser, const std::string& name, const std::optional<std::string>& uri,
                       const std::optional<std::string>& qName, const Dictionary& attributes) override {
    std::string line = "<" + name;
    if (uri) line += " {" + *uri + "}";
    if (qName) line += " q=" + *qName;
    for (const auto& [key, value] : attributes) line += " " + key + "=" + value.stringValue();
    events.push_back(line + ">");
    if (name == abortOnStartOf) parser.abortParsing();
  }
  void didEndElement(XMLParser&, const std::string& name, const std::optional<std::string>&,
                     const std::optional<std::string>&) override {
    events.push_back("</" + name + ">");
  }
  void didStartMappingPrefix(XMLParser&, const std::string& prefix, const std::string& uri) override {
    events.push_back("map " + prefix + "=" + uri);
  }
  void didEndMappingPrefix(XMLParser&, const std::string& prefix) override { events.push_back("unmap " + prefix); }
  void foundCharacters(XMLParser&, const std::string& text) override {
    // Text may come in pieces; join neighbouring pieces so the list does not depend on them.
    if (!events.empty() && events.back().rfind("text ", 0) == 0) events.back() += text;
    else events.push_back("text " + text);
  }
  void foundCDATA(XMLParser&, const Data& block) override {
    events.push_back("cdata " + std::string(block.begin(), block.end()));
  }
  void foundComment(XMLParser&, const std::string& comment) override { events.push_back("comment " + comment); }
  void foundProcessingInstruction(XMLParser&, const std::string& target, const std::string& data) override {
    events.push_back("pi " + target + " " + data);
  }
  void parseErrorOccurred(XMLParser&, const Error& error) override {
    events.push_back("error " + std::to_string(error.code()));
  }
};

struct Parsed {
  bool ok;
  std::vector<std::string> events;
  std::optional<Error> error;
};

Parsed parse(const std::string& text, bool namespaces = false, bool prefixes = false, std::string abortOn = {}) {
  auto recorder = std::make_shared<Recorder>();
  recorder->abortOnStartOf = abortOn;
  XMLParser parser(bytes(text));
  parser.setDelegate(recorder);
  parser.setShouldProcessNamespaces(namespaces);
  parser.setShouldReportNamespacePrefixes(prefixes);
  const bool ok = parser.parse();
  return {ok, recorder->events, parser.parserError()};
}

using Events = std::vector<std::string>;

TEST(XMLParserTest, EventsInDocumentOrder) {
  const auto parsed = parse(
      "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY who \"world\">]>"
      "<r a=\"1\"><!--c--><?go fast?><t>hello &who; &amp; &#233;</t><![CDATA[<raw>]]><e/></r>");
  EXPECT_TRUE(parsed.ok);
  EXPECT_FALSE(parsed.error);
  EXPECT_EQ(parsed.events, (Events{"start-document", "<r a=1>", "comment c", "pi go fast", "<t>",
                                   "text hello world & \u00e9", "</t>", "cdata <raw>", "<e>", "</e>", "</r>",
                                   "end-document"}));
}

TEST(XMLParserTest, NamespacesAsWrittenOrProcessed) {
  const std::string text = "<f:feed xmlns:f=\"urn:f\" xmlns=\"urn:d\"><item f:id=\"7\"/></f:feed>";
  EXPECT_EQ(parse(text).events,
            (Events{"start-document", "<f:feed xmlns:f=urn:f xmlns=urn:d>", "<item f:id=7>", "</item>", "</f:feed>",
                    "end-document"}));
  EXPECT_EQ(parse(text, true, true).events,
            (Events{"start-document", "map f=urn:f", "map =urn:d", "<feed {urn:f} q=f:feed>",
                    "<item {urn:d} q=item f:id=7>", "</item>", "</feed>", "unmap f", "unmap ", "end-document"}));
}

TEST(XMLParserTest, MalformedDocumentsFailWithTheParserError) {
  struct Case {
    const char* text;
    long code;  // libxml2's numbering, shared by the platform's parser errors
  } cases[] = {
      {"", 5},                // nothing: the push parser calls it a premature end
      {"text only", 4},       // no element at all: empty
      {"<r><a></r>", 76},     // tag name mismatch
      {"<r>", 5},             // premature end
      {"<r a=1/>", 39},       // attribute value not quoted
      {"<r>&nope;</r>", 26},  // undeclared entity
  };
  for (const auto& c : cases) {
    const auto parsed = parse(c.text);
    EXPECT_FALSE(parsed.ok) << c.text;
    ASSERT_TRUE(parsed.error) << c.text;
    EXPECT_EQ(parsed.error->domain(), kXMLParserErrorDomain) << c.text;
    EXPECT_EQ(parsed.error->code(), c.code) << c.text << ": " << parsed.error->description();
    ASSERT_FALSE(parsed.events.empty());
    EXPECT_EQ(parsed.events.back(), "error " + std::to_string(c.code)) << c.text;
    EXPECT_EQ(std::count(parsed.events.begin(), parsed.events.end(), "end-document"), 0) << c.text;
  }
}

TEST(XMLParserTest, TheDelegateCanAbort) {
  const auto parsed = parse("<r><a/><b/><c/></r>", false, false, "b");
  EXPECT_FALSE(parsed.ok);
  ASSERT_TRUE(parsed.error);
  EXPECT_EQ(parsed.error->code(), kXMLParserDelegateAbortedParseError);
  EXPECT_EQ(parsed.events, (Events{"start-document", "<r>", "<a>", "</a>", "<b>", "error 512"}));
}

// A server's document must not make the parser read local files (or anything else).
TEST(XMLParserTest, ExternalEntitiesAreNeverRead) {
  test::TempDir dir;
  const std::string secret = dir.file("secret.txt");
  ASSERT_TRUE(test::writeFile(secret, "TOP-SECRET"));
  ASSERT_TRUE(test::writeFile(dir.file("evil.dtd"), "<!ENTITY leak SYSTEM \"file://" + secret + "\">"));
  const std::string documents[] = {
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"file://" + secret + "\">]><r>&x;</r>",
      "<!DOCTYPE r [<!ENTITY x SYSTEM \"" + secret + "\">]><r>&x;</r>",
      "<!DOCTYPE r [<!ENTITY % p SYSTEM \"file://" + dir.file("evil.dtd") + "\"> %p;]><r>&leak;</r>",
      "<!DOCTYPE r SYSTEM \"file://" + dir.file("evil.dtd") + "\"><r>&leak;</r>",
  };
  for (const auto& text : documents) {
    XMLParser parser(bytes(text));
    auto recorder = std::make_shared<Recorder>();
    parser.setDelegate(recorder);
    parser.setShouldResolveExternalEntities(true);  // asking does not turn loading on
    const bool parsed = parser.parse();
    for (const auto& event : recorder->events) EXPECT_EQ(event.find("TOP-SECRET"), std::string::npos) << text;
    EXPECT_FALSE(parsed) << text;
    EXPECT_EQ(parser.parserError().value_or(Error()).domain(), kXMLParserErrorDomain) << text;

    Error error;
    const auto document = XMLDocument::documentWithData(bytes(text), XMLNodeLoadExternalEntitiesAlways | XMLDocumentTidyXML, &error);
    if (document) EXPECT_EQ(document->XMLString().find("TOP-SECRET"), std::string::npos) << text;
    else EXPECT_EQ(error.domain(), kXMLParserErrorDomain);
  }
}

TEST(XMLParserTest, EntityExpansionIsBounded) {
  std::string text = "<!DOCTYPE r [<!ENTITY a0 \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\">";
  for (int i = 1; i < 12; ++i) {
    const std::string previous = "&a" + std::to_string(i - 1) + ";";
    std::string ten;
    for (int k = 0; k < 10; ++k) ten += previous;
    text += "<!ENTITY a" + std::to_string(i) + " \"" + ten + "\">";
  }
  text += "]><r>&a11;</r>";
  const auto parsed = parse(text);
  EXPECT_FALSE(parsed.ok);
  ASSERT_TRUE(parsed.error);
  EXPECT_FALSE(XMLDocument::documentWithData(bytes(text), 0));
}

TEST(XMLDocumentTest, TreeOfAWellFormedDocument) {
  Error error;
  const auto document = XMLDocument::documentWithData(
      bytes("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<list xmlns:x=\"urn:x\" n=\"2\">\n  <item>one</item>\n"
            "  <x:item>two<![CDATA[ & three]]></x:item>\n  <!--note-->\n</list>"),
      0, &error);
  ASSERT_TRUE(document) << error.description();
  EXPECT_EQ(document->version(), "1.0");
  EXPECT_EQ(document->characterEncoding(), "UTF-8");
  const auto root = document->rootElement();
  ASSERT_TRUE(root);
  EXPECT_EQ(root->name(), "list");
  EXPECT_EQ(root->attributeForName("n"), "2");
  EXPECT_EQ(root->attributeForName("missing"), std::nullopt);
  // White space between elements is dropped and CDATA merged into text by default.
  const auto children = root->children();
  ASSERT_EQ(children.size(), 3u);
  EXPECT_EQ(children[0].stringValue(), "one");
  EXPECT_EQ(children[1].name(), "x:item");
  EXPECT_EQ(children[1].stringValue(), "two & three");
  EXPECT_EQ(children[2].kind(), XMLNode::Kind::Comment);
  EXPECT_EQ(root->elementsForName("item").size(), 1u);
  EXPECT_EQ(children[0].parent(), root);
  EXPECT_EQ(root->parent(), document->documentNode());
  EXPECT_EQ(children[1].XMLString(), "<x:item>two &amp; three</x:item>");
  EXPECT_NE(document->XMLString().find("<item>one</item>"), std::string::npos);

  const auto preserved = XMLDocument::documentWithData(
      bytes("<r> <a><![CDATA[c]]></a> </r>"), XMLNodePreserveWhitespace | XMLNodePreserveCDATA);
  ASSERT_TRUE(preserved);
  EXPECT_EQ(preserved->rootElement()->childCount(), 3u);
  EXPECT_EQ(preserved->rootElement()->children()[1].XMLString(), "<a><![CDATA[c]]></a>");
}

TEST(XMLDocumentTest, MalformedInputFailsUnlessTidied) {
  Error error;
  EXPECT_FALSE(XMLDocument::documentWithData(bytes("<r><a></r>"), 0, &error));
  EXPECT_EQ(error.domain(), kXMLParserErrorDomain);
  EXPECT_EQ(error.code(), 76);
  EXPECT_FALSE(XMLDocument::documentWithData(Data(), 0, &error));
  EXPECT_EQ(error.code(), 5);

  const auto tidied = XMLDocument::documentWithData(bytes("<r><a>text</r>"), XMLDocumentTidyXML, &error);
  ASSERT_TRUE(tidied);
  EXPECT_EQ(tidied->rootElement()->stringValue(), "text");
}

// Found by fuzzing: recovery left a second element beside the root, and the document's own text
// then failed to parse ("Extra content at the end of the document").
TEST(XMLDocumentTest, ATidiedDocumentHasOneRootAndParsesAgain) {
  Error error;
  const auto tidied = XMLDocument::documentWithData(bytes("<r\x9c<a>unclose-<b></r>"), XMLDocumentTidyXML, &error);
  ASSERT_TRUE(tidied) << error.description();
  const auto again = XMLDocument::documentWithData(tidied->XMLData(), 0, &error);
  ASSERT_TRUE(again) << tidied->XMLString() << error.description();
  EXPECT_EQ(again->rootElement()->stringValue(), "unclose-");
  EXPECT_EQ(again->rootElement()->XMLString(), tidied->rootElement()->XMLString());
  EXPECT_EQ(again->documentNode().children().size(), 1u);

  // Recovery also kept a byte that is no UTF-8, which the writer then dropped: the document and
  // its text disagreed. It is U+FFFD in the tree, so both say the same.
  const auto controls = XMLDocument::documentWithData(bytes("<r><a>not\xff" "e</r>"), XMLDocumentTidyXML, &error);
  ASSERT_TRUE(controls) << error.description();
  EXPECT_EQ(controls->rootElement()->stringValue(), "not\xef\xbf\xbd" "e");
  const auto reread = XMLDocument::documentWithData(controls->XMLData(), 0, &error);
  ASSERT_TRUE(reread) << error.description();
  EXPECT_EQ(reread->rootElement()->stringValue(), controls->rootElement()->stringValue());
  // The same in names, and for the overlong forms that libxml2's own decoder lets through.
  // A declaration recovered in the middle is dropped: no document may hold one there.
  for (const char* text : {"<r\x03<p\xed\xed/></r>", "<r>\xc4\x9e\xc1\x8a" "ed<b></r>",
                           "<r><a>t<?xml version=\"1.0\"?>u</r>", "<r\x03<?UTF-8\xd6?><p/></r>",
                           "<r><p xmlns=\"u\xf3<b></r>", "<r><a>u<?xml version=\"1.0\"?>8!\xf6" "D></r>"}) {
    const auto tidied = XMLDocument::documentWithData(bytes(text), XMLDocumentTidyXML, &error);
    ASSERT_TRUE(tidied) << error.description();
    const auto written = XMLDocument::documentWithData(tidied->XMLData(), 0, &error);
    ASSERT_TRUE(written) << tidied->XMLString() << error.description();
    EXPECT_EQ(written->rootElement()->stringValue(), tidied->rootElement()->stringValue()) << text;
    EXPECT_EQ(written->rootElement()->XMLString(), tidied->rootElement()->XMLString()) << text;
    EXPECT_EQ(written->rootElement()->children()[0].childCount(), tidied->rootElement()->children()[0].childCount())
        << text;
  }
}

}  // namespace
