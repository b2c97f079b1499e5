#pragma once
// XMLDocument stands in for the platform's XML document: a tree read from bytes, whose nodes
// (elements, text, comments, processing instructions) can be walked, read and written back as
// text. It is built by libxml2 with the same lock-down as XMLParser: no external entity or DTD is
// ever loaded, no network, bounded entity expansion.
//
// Input options, the platform's bit values, honoured here: XMLNodePreserveWhitespace keeps text
// nodes made only of white space (dropped otherwise), XMLNodePreserveCDATA keeps CDATA sections
// as such (merged into text otherwise), XMLDocumentTidyXML recovers what it can of a document
// that is not well formed. Every other bit is accepted and ignored; the external-entity ones
// never turn loading on.
//
// What it leaves out: editing, XPath and XQuery, DTD objects, HTML. A document never changes
// after it is made, so it and its nodes may be read from several threads at once.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

struct _xmlNode;
struct _xmlDoc;

namespace foundation {

enum XMLDocumentOptions : unsigned {
  XMLDocumentTidyXML = 1u << 10,
  XMLNodeLoadExternalEntitiesAlways = 1u << 14,
  XMLNodePreserveCDATA = 1u << 24,
  XMLNodePreserveWhitespace = 1u << 25,
};

// One node of a document: a light handle that keeps its document alive. Copies are cheap.
class XMLNode {
 public:
  // The platform's node kinds, with its values.
  enum class Kind { Invalid = 0, Document = 1, Element = 2, Attribute = 3, Namespace = 4,
                    ProcessingInstruction = 5, Comment = 6, Text = 7, DTD = 8 };

  Kind kind() const;
  // Elements: the name as written ("p:item"); processing instructions: the target; others nothing.
  std::optional<std::string> name() const;
  // The text the node holds: for elements and the document, all descendant text joined.
  std::string stringValue() const;
  // The child nodes in document order (none for text, comments and instructions).
  std::vector<XMLNode> children() const;
  std::size_t childCount() const;
  // The parent, or nothing for the document node.
  std::optional<XMLNode> parent() const;
  // The node written as XML text.
  std::string XMLString() const;

  // Elements only (nothing or empty otherwise): the value of the attribute named as written, the
  // attributes in document order, and the child elements with the given name.
  std::optional<std::string> attributeForName(const std::string& name) const;
  Dictionary attributes() const;
  std::vector<XMLNode> elementsForName(const std::string& name) const;

  bool operator==(const XMLNode& other) const { return node_ == other.node_; }

 private:
  friend class XMLDocument;
  struct Holder;
  XMLNode(std::shared_ptr<const Holder> holder, _xmlNode* node) : holder_(std::move(holder)), node_(node) {}
  std::shared_ptr<const Holder> holder_;
  _xmlNode* node_;
};

class XMLDocument : public Object {
 public:
  // Parses `data` with `options` (see above). Returns the document, or null with *error (when
  // given) set to a parser-domain error (kXMLParserErrorDomain, libxml2's code) when the bytes
  // are not a well-formed document and tidying was not asked for or could not help. Never throws.
  // Thread-safe.
  static std::shared_ptr<XMLDocument> documentWithData(const Data& data, unsigned options, Error* error = nullptr);

  // The document element, if any.
  std::optional<XMLNode> rootElement() const;
  // The document node, parent of the root element.
  XMLNode documentNode() const;
  // The XML declaration's version and encoding, when the text had them.
  std::optional<std::string> version() const;
  std::optional<std::string> characterEncoding() const;
  // The whole document written as XML text (in UTF-8 unless it declared another encoding).
  Data XMLData() const;
  std::string XMLString() const;

  std::string description() const override { return XMLString(); }

 private:
  explicit XMLDocument(std::shared_ptr<const XMLNode::Holder> holder) : holder_(std::move(holder)) {}
  std::shared_ptr<const XMLNode::Holder> holder_;
};

}  // namespace foundation
