// libFuzzer target of the Relay client's response serializers: JSON, XML parser, XML document and
// property list. The first input byte chooses the serializer, its options and the response (a
// 200 or a 404 with an acceptable type, another type, no response, no body); the rest is the body.
// Invariants:
// - JSON: the object is what the JSON reader gives for the body (less the null values when those
//   are removed: then none is left), and writing it as JSON reads back equal;
// - XML parser: the parser's events nest (every end closes the element last started), a parse
//   that succeeds ends the document and one that fails reports exactly one error;
// - XML document: a document of a well-formed body writes as XML that parses again into a
//   document with the same text and the same number of nodes under its root;
// - property list: the object is what the property-list reader gives for the body.
// Whatever the serializer, an object comes back only without an error or with a validation one.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "fuzz/SameValue.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "net/callbacks/RLPropertyListResponseSerializer.h"
#include "net/callbacks/RLXMLDocumentResponseSerializer.h"
#include "net/callbacks/RLXMLParserResponseSerializer.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/PropertyListSerialization.h"
#include "platform/foundation/XMLDocument.h"
#include "platform/foundation/XMLParser.h"
#include "platform/net/URLResponse.h"

namespace {

using foundation::Data;
using foundation::Value;

enum class Kind { JSON, XMLParser, XMLDocument, PropertyList };

struct Choice {
  Kind kind;
  int status;
  bool acceptableType;
  bool withResponse;
  bool withBody;
  bool option;  // JSON: nulls removed; XML parser: namespaces; document: tidy; plist: unused
};

Choice choiceOf(std::uint8_t byte) {
  return {static_cast<Kind>(byte & 3),      (byte & 4) ? 404 : 200, (byte & 8) == 0,
          (byte & 16) == 0,                 (byte & 32) == 0,        (byte & 64) != 0};
}

const char* mimeTypeOf(Kind kind) {
  switch (kind) {
    case Kind::JSON: return "application/json";
    case Kind::PropertyList: return "application/x-plist";
    default: return "text/xml";
  }
}

void writeSeeds(fuzz::SeedWriter& seeds) {
  const auto seed = [&](const std::string& name, std::uint8_t choice, const std::string& body) {
    seeds.write(name, std::string(1, static_cast<char>(choice)) + body);
  };
  seed("json", 0, R"({"a":[1,2.5,"x",null,true],"b":{"c":null,"d":"\u00e9\ud83d\ude00"},"e":-1e300})");
  seed("json-nulls-removed", 64, R"([{"k":null},{"k":[{"n":null}]}])");
  seed("json-404", 4, R"({"error":"not found"})");
  seed("xml-parser", 1,
       "<?xml version=\"1.0\"?><!DOCTYPE r [<!ENTITY e \"text\">]><r a=\"1\"><p:i xmlns:p=\"urn:x\">&e;</p:i>"
       "<![CDATA[<raw>]]><!-- c --><?pi data?></r>");
  seed("xml-parser-namespaces", 1 | 64, "<r xmlns=\"urn:d\" xmlns:q=\"urn:q\"><q:a q:b=\"c\"/>t</r>");
  seed("xml-document", 2, "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>\xe9<a>  </a><b><![CDATA[x]]></b></r>");
  seed("xml-document-tidy", 2 | 64, "<r><a>unclosed<b></r>");
  seed("plist", 3,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict><key>k</key><array><integer>1"
       "</integer><real>2.5</real><true/><data>AAE=</data><date>2020-01-01T00:00:00Z</date></array></dict></plist>");
}

std::shared_ptr<const net::URLResponse> responseFor(const Choice& choice) {
  if (!choice.withResponse) return nullptr;
  net::HTTPHeaderFields headers;
  headers.set("Content-Type", choice.acceptableType ? mimeTypeOf(choice.kind) : "text/plain");
  return std::make_shared<net::HTTPURLResponse>(*net::URL::fromString("https://example.org/r"), choice.status,
                                                "HTTP/1.1", headers);
}

bool holdsNullValue(const Value& value) {
  if (value.isArray()) {
    for (const auto& element : value.arrayValue()) {
      if (holdsNullValue(element)) return true;
    }
  }
  if (value.isDictionary()) {
    for (const auto& [key, element] : value.dictionaryValue()) {
      if (element.isNull() || holdsNullValue(element)) return true;
    }
  }
  return false;
}

void checkJSON(const Choice& choice, const Data& body, const Value& object) {
  if (object.isNull()) return;
  const auto direct = foundation::JSONSerialization::JSONObjectWithData(body);
  fuzz::check(direct.has_value(), "a JSON object comes from a body the JSON reader reads");
  if (choice.option) {
    fuzz::check(!holdsNullValue(object), "no null value is left where they are removed");
    fuzz::check(fuzz::sameValue(object, RLJSONObjectByRemovingKeysWithNullValues(*direct, 0)),
                "the object is the body without its null values");
  } else {
    fuzz::check(fuzz::sameValue(object, *direct), "the object is what the JSON reader gives");
  }
  foundation::Error error;
  const auto written = foundation::JSONSerialization::dataWithJSONObject(object, 0, &error);
  fuzz::check(written.has_value(), "what the JSON reader gave writes: " + error.description());
  const auto back = foundation::JSONSerialization::JSONObjectWithData(*written, 0, &error);
  fuzz::check(back.has_value() && *back == object, "written JSON reads back equal");
}

// Checks the parser's events as they come: every end closes the element last started.
class NestingDelegate : public foundation::XMLParserDelegate {
 public:
  void parserDidStartDocument(foundation::XMLParser&) override { ++documentStarts; }
  void parserDidEndDocument(foundation::XMLParser&) override {
    fuzz::check(open.empty(), "the document ends with every element closed");
    ++documentEnds;
  }
  void didStartElement(foundation::XMLParser&, const std::string& name, const std::optional<std::string>&,
                       const std::optional<std::string>&, const foundation::Dictionary&) override {
    open.push_back(name);
  }
  void didEndElement(foundation::XMLParser&, const std::string& name, const std::optional<std::string>&,
                     const std::optional<std::string>&) override {
    fuzz::check(!open.empty() && open.back() == name, "an element's end matches the last start");
    open.pop_back();
  }
  void parseErrorOccurred(foundation::XMLParser&, const foundation::Error&) override { ++errors; }

  std::vector<std::string> open;
  int documentStarts = 0;
  int documentEnds = 0;
  int errors = 0;
};

void checkXMLParser(const Choice& choice, const Value& object) {
  if (object.isNull()) return;
  const auto parser = object.objectAs<foundation::XMLParser>();
  fuzz::check(parser != nullptr, "the XML parser serializer gives a parser");
  parser->setShouldProcessNamespaces(choice.option);
  parser->setShouldReportNamespacePrefixes(choice.option);
  auto delegate = std::make_shared<NestingDelegate>();
  parser->setDelegate(delegate);
  const bool parsed = parser->parse();
  fuzz::check(parsed == !parser->parserError().has_value(), "a parse fails exactly when it has an error");
  fuzz::check(delegate->errors == (parsed ? 0 : 1), "a failed parse reports one error, a good one none");
  fuzz::check(delegate->documentEnds == (parsed ? 1 : 0), "only a good parse ends the document, once");
  fuzz::check(delegate->documentStarts <= 1, "the document starts at most once");
}

std::size_t nodesUnder(const foundation::XMLNode& node) {
  std::size_t count = 1;
  for (const auto& child : node.children()) count += nodesUnder(child);
  return count;
}

void checkXMLDocument(const Data& body, const Value& object) {
  if (object.isNull()) return;
  const auto document = object.objectAs<foundation::XMLDocument>();
  fuzz::check(document != nullptr, "the XML document serializer gives a document");
  // A document recovered from a body that is not well formed is libxml2's best effort: the
  // reader mends what makes most such trees unwritable (see XMLDocument.cpp), but not all (an
  // attribute given twice stays so), so the trip is checked for well-formed bodies only.
  if (!foundation::XMLDocument::documentWithData(body, 0)) return;
  foundation::Error error;
  // Read back keeping every blank and CDATA section: the text written is all there is to compare.
  const auto again = foundation::XMLDocument::documentWithData(
      document->XMLData(), foundation::XMLNodePreserveWhitespace | foundation::XMLNodePreserveCDATA, &error);
  fuzz::check(again != nullptr, "a document's XML parses again: " + error.description());
  const auto root = document->rootElement();
  const auto rootAgain = again->rootElement();
  fuzz::check(root.has_value() == rootAgain.has_value(), "the document written keeps its root element");
  if (!root) return;
  fuzz::check(root->stringValue() == rootAgain->stringValue(), "the document written keeps its text");
  fuzz::check(nodesUnder(*root) == nodesUnder(*rootAgain), "the document written keeps its nodes");
}

void checkPropertyList(const Data& body, const Value& object) {
  if (object.isNull()) return;
  const auto direct = foundation::PropertyListSerialization::propertyListWithData(body);
  fuzz::check(direct.has_value() && fuzz::sameValue(object, *direct),
              "the property list is what the property-list reader gives");
}

std::shared_ptr<RLHTTPResponseSerializer> serializerFor(const Choice& choice) {
  switch (choice.kind) {
    case Kind::JSON: {
      auto json = RLJSONResponseSerializer::serializer();
      json->setRemovesKeysWithNullValues(choice.option);
      return json;
    }
    case Kind::XMLParser: return RLXMLParserResponseSerializer::serializer();
    case Kind::XMLDocument:
      return RLXMLDocumentResponseSerializer::serializerWithXMLDocumentOptions(choice.option ? foundation::XMLDocumentTidyXML
                                                                                             : 0);
    case Kind::PropertyList: return RLPropertyListResponseSerializer::serializer();
  }
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::initialize(writeSeeds);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const Choice choice = choiceOf(data[0]);
  const Data body(data + 1, data + size);
  const auto serializer = serializerFor(choice);
  std::optional<foundation::Error> error;
  const RLOptionalData sent = choice.withBody ? RLOptionalData(body) : std::nullopt;
  const Value object = serializer->responseObjectForResponse(responseFor(choice), sent, &error);
  if (!object.isNull() && error) {
    fuzz::check(error->domain() == RLURLResponseSerializationErrorDomain,
                "an object comes with no error but a validation one: " + error->description());
  }
  switch (choice.kind) {
    case Kind::JSON: checkJSON(choice, body, object); break;
    case Kind::XMLParser: checkXMLParser(choice, object); break;
    case Kind::XMLDocument: checkXMLDocument(body, object); break;
    case Kind::PropertyList: checkPropertyList(body, object); break;
  }
  return 0;
}
