#pragma once
// XMLParser stands in for the platform's event-driven XML parser: it reads a document from bytes
// and tells its delegate of each start and end of the document and of elements, of character
// data, CDATA, comments, processing instructions and namespace mappings, in document order, on
// the thread that calls parse(). It runs over libxml2's SAX interface.
//
// Documents usually come from servers: external entities and external DTDs are never loaded
// (whatever shouldResolveExternalEntities says), nothing touches the network, and internal
// entities expand only within libxml2's amplification limits. A document that names an external
// entity it uses fails to parse instead of reading a file.
//
// What it leaves out: parsing from a stream or URL, DTD declaration callbacks, validation.
// A parser is used by one thread at a time.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace foundation {

// The parser's error domain and the user-info keys of its errors (codes are libxml2's, which the
// platform's parser errors share, plus kXMLParserDelegateAbortedParseError).
inline constexpr const char* kXMLParserErrorDomain = "NSXMLParserErrorDomain";
inline constexpr const char* kXMLParserErrorLineNumberKey = "NSXMLParserErrorLineNumber";
inline constexpr const char* kXMLParserErrorColumnNumberKey = "NSXMLParserErrorColumn";
inline constexpr long kXMLParserDelegateAbortedParseError = 512;

class XMLParser;

// Receives the parser's events. Every method does nothing unless overridden. Callbacks run on the
// thread of parse(), synchronously.
class XMLParserDelegate {
 public:
  virtual ~XMLParserDelegate() = default;
  virtual void parserDidStartDocument(XMLParser&) {}
  // Only after a document that parsed without error.
  virtual void parserDidEndDocument(XMLParser&) {}
  // Without namespace processing `elementName` is the name as written ("p:item") and the
  // namespace URI and qualified name are nothing; with it, `elementName` is the local name,
  // `namespaceURI` the element's namespace ("" when none) and `qualifiedName` the name as
  // written. `attributes` maps attribute names as written to their values; namespace
  // declarations ("xmlns", "xmlns:p") appear among them only without namespace processing.
  virtual void didStartElement(XMLParser&, const std::string& /*elementName*/,
                               const std::optional<std::string>& /*namespaceURI*/,
                               const std::optional<std::string>& /*qualifiedName*/, const Dictionary& /*attributes*/) {}
  virtual void didEndElement(XMLParser&, const std::string& /*elementName*/,
                             const std::optional<std::string>& /*namespaceURI*/,
                             const std::optional<std::string>& /*qualifiedName*/) {}
  // Only with shouldReportNamespacePrefixes: each prefix an element declares ("" for the default
  // namespace), before its start and after its end.
  virtual void didStartMappingPrefix(XMLParser&, const std::string& /*prefix*/, const std::string& /*namespaceURI*/) {}
  virtual void didEndMappingPrefix(XMLParser&, const std::string& /*prefix*/) {}
  // Character data, possibly in several pieces for one run of text; entities already expanded.
  virtual void foundCharacters(XMLParser&, const std::string& /*text*/) {}
  virtual void foundProcessingInstruction(XMLParser&, const std::string& /*target*/, const std::string& /*data*/) {}
  virtual void foundComment(XMLParser&, const std::string& /*comment*/) {}
  virtual void foundCDATA(XMLParser&, const Data& /*block*/) {}
  // The error that ends the parse, once, before parse() returns false.
  virtual void parseErrorOccurred(XMLParser&, const Error& /*error*/) {}
};

class XMLParser : public Object {
 public:
  // A parser over a copy of `data`; nothing is read until parse().
  explicit XMLParser(Data data);
  ~XMLParser() override;
  XMLParser(const XMLParser&) = delete;
  XMLParser& operator=(const XMLParser&) = delete;

  // The delegate is held weakly; parse() holds it for the length of the run.
  void setDelegate(std::weak_ptr<XMLParserDelegate> delegate) { delegate_ = std::move(delegate); }
  std::shared_ptr<XMLParserDelegate> delegate() const { return delegate_.lock(); }

  void setShouldProcessNamespaces(bool value) { processNamespaces_ = value; }
  bool shouldProcessNamespaces() const { return processNamespaces_; }
  void setShouldReportNamespacePrefixes(bool value) { reportPrefixes_ = value; }
  bool shouldReportNamespacePrefixes() const { return reportPrefixes_; }
  // Kept for callers that set it; external entities are never loaded either way.
  void setShouldResolveExternalEntities(bool value) { resolveExternalEntities_ = value; }
  bool shouldResolveExternalEntities() const { return resolveExternalEntities_; }

  // Parses the whole data, calling the delegate. Returns true when the document is well formed
  // and the delegate did not abort; otherwise false, with parserError() set and the delegate told
  // through parseErrorOccurred. Each call parses the data anew.
  bool parse();
  // From inside a delegate callback: stops the parse, which then fails with
  // kXMLParserDelegateAbortedParseError. Outside a parse it does nothing.
  void abortParsing();
  // The error of the last parse, or nothing after success or before any parse.
  const std::optional<Error>& parserError() const { return error_; }
  // Where the parse is (1-based), during callbacks; 0 outside a parse.
  long lineNumber() const;
  long columnNumber() const;

  // The bytes the parser reads.
  const Data& data() const { return data_; }
  std::string description() const override { return "<XMLParser: " + std::to_string(data_.size()) + " bytes>"; }

  // The state of one parse; internal to parse().
  struct Run;

 private:
  Data data_;
  std::weak_ptr<XMLParserDelegate> delegate_;
  bool processNamespaces_ = false;
  bool reportPrefixes_ = false;
  bool resolveExternalEntities_ = false;
  std::optional<Error> error_;
  Run* run_ = nullptr;  // the parse in progress, if any
};

}  // namespace foundation
