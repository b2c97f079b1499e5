#include "platform/foundation/XMLDocument.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include "platform/foundation/XMLParser.h"
#include "platform/foundation/detail/LibXML.h"

namespace foundation {

struct XMLNode::Holder {
  xmlDocPtr doc;
  explicit Holder(xmlDocPtr d) : doc(d) {}
  ~Holder() { xmlFreeDoc(doc); }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;
};

namespace {

std::string text(const xmlChar* chars) { return chars ? reinterpret_cast<const char*>(chars) : ""; }

// libxml2 hands out strings the caller frees.
std::string take(xmlChar* chars) {
  std::string out = text(chars);
  xmlFree(chars);
  return out;
}

std::string qualifiedName(const xmlNode* node) {
  if (node->ns && node->ns->prefix) return text(node->ns->prefix) + ":" + text(node->name);
  return text(node->name);
}

std::string qualifiedName(const xmlAttr* attribute) {
  if (attribute->ns && attribute->ns->prefix) return text(attribute->ns->prefix) + ":" + text(attribute->name);
  return text(attribute->name);
}

bool isListedChild(const xmlNode* node) {
  switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
    case XML_DTD_NODE:
      return true;
    default:
      return false;
  }
}

std::string dump(xmlDocPtr doc, xmlNodePtr node) {
  xmlBufferPtr buffer = xmlBufferCreate();
  if (!buffer) return {};
  xmlNodeDump(buffer, doc, node, 0, 0);
  std::string out(reinterpret_cast<const char*>(xmlBufferContent(buffer)), static_cast<std::size_t>(xmlBufferLength(buffer)));
  xmlBufferFree(buffer);
  return out;
}

}  // namespace

XMLNode::Kind XMLNode::kind() const {
  switch (node_->type) {
    case XML_DOCUMENT_NODE: return Kind::Document;
    case XML_ELEMENT_NODE: return Kind::Element;
    case XML_ATTRIBUTE_NODE: return Kind::Attribute;
    case XML_NAMESPACE_DECL: return Kind::Namespace;
    case XML_PI_NODE: return Kind::ProcessingInstruction;
    case XML_COMMENT_NODE: return Kind::Comment;
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE: return Kind::Text;
    case XML_DTD_NODE: return Kind::DTD;
    default: return Kind::Invalid;
  }
}

std::optional<std::string> XMLNode::name() const {
  switch (node_->type) {
    case XML_ELEMENT_NODE: return qualifiedName(node_);
    case XML_PI_NODE:
    case XML_DTD_NODE: return text(node_->name);
    default: return std::nullopt;
  }
}

std::string XMLNode::stringValue() const { return take(xmlNodeGetContent(node_)); }

std::vector<XMLNode> XMLNode::children() const {
  std::vector<XMLNode> out;
  for (xmlNodePtr child = node_->children; child; child = child->next) {
    if (isListedChild(child)) out.push_back(XMLNode(holder_, child));
  }
  return out;
}

std::size_t XMLNode::childCount() const {
  std::size_t count = 0;
  for (xmlNodePtr child = node_->children; child; child = child->next) count += isListedChild(child) ? 1 : 0;
  return count;
}

std::optional<XMLNode> XMLNode::parent() const {
  if (!node_->parent) return std::nullopt;
  return XMLNode(holder_, node_->parent);
}

std::string XMLNode::XMLString() const {
  if (node_->type == XML_DOCUMENT_NODE) {
    xmlChar* bytes = nullptr;
    int length = 0;
    xmlDocDumpMemory(reinterpret_cast<xmlDocPtr>(node_), &bytes, &length);
    std::string out(reinterpret_cast<const char*>(bytes), bytes ? static_cast<std::size_t>(length) : 0);
    xmlFree(bytes);
    return out;
  }
  return dump(holder_->doc, node_);
}

std::optional<std::string> XMLNode::attributeForName(const std::string& name) const {
  if (node_->type != XML_ELEMENT_NODE) return std::nullopt;
  for (xmlAttrPtr attribute = node_->properties; attribute; attribute = attribute->next) {
    if (qualifiedName(attribute) == name) return take(xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(attribute)));
  }
  return std::nullopt;
}

Dictionary XMLNode::attributes() const {
  Dictionary out;
  if (node_->type != XML_ELEMENT_NODE) return out;
  for (xmlAttrPtr attribute = node_->properties; attribute; attribute = attribute->next) {
    out.set(qualifiedName(attribute), Value(take(xmlNodeGetContent(reinterpret_cast<xmlNodePtr>(attribute)))));
  }
  return out;
}

std::vector<XMLNode> XMLNode::elementsForName(const std::string& name) const {
  std::vector<XMLNode> out;
  for (xmlNodePtr child = node_->children; child; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && qualifiedName(child) == name) out.push_back(XMLNode(holder_, child));
  }
  return out;
}

std::shared_ptr<XMLDocument> XMLDocument::documentWithData(const Data& data, unsigned options, Error* error) {
  detail::prepareLibXML();
  int parseOptions = detail::safeParseOptions();
  if (!(options & XMLNodePreserveWhitespace)) parseOptions |= XML_PARSE_NOBLANKS;
  if (!(options & XMLNodePreserveCDATA)) parseOptions |= XML_PARSE_NOCDATA;
  const bool tidy = options & XMLDocumentTidyXML;
  if (tidy) parseOptions |= XML_PARSE_RECOVER;

  // With no handler of its own the push parser builds the tree with libxml2's SAX2 builder.
  xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(nullptr, nullptr, nullptr, 0, nullptr);
  if (!ctxt) {
    if (error) *error = Error(kXMLParserErrorDomain, 2);
    return nullptr;
  }
  detail::ParseErrors errors;
  detail::attachErrors(ctxt, &errors, parseOptions);
  const bool wellFormed = detail::feed(ctxt, data);
  xmlDocPtr doc = ctxt->myDoc;
  ctxt->myDoc = nullptr;
  const bool usable = doc && xmlDocGetRootElement(doc) && (wellFormed || tidy);
  if (!usable) {
    if (error) *error = errors.first ? *errors.first : detail::lastError(ctxt);
    if (doc) xmlFreeDoc(doc);
    xmlFreeParserCtxt(ctxt);
    return nullptr;
  }
  xmlFreeParserCtxt(ctxt);
  return std::shared_ptr<XMLDocument>(new XMLDocument(std::make_shared<const XMLNode::Holder>(doc)));
}

std::optional<XMLNode> XMLDocument::rootElement() const {
  xmlNodePtr root = xmlDocGetRootElement(holder_->doc);
  if (!root) return std::nullopt;
  return XMLNode(holder_, root);
}

XMLNode XMLDocument::documentNode() const { return XMLNode(holder_, reinterpret_cast<xmlNodePtr>(holder_->doc)); }

std::optional<std::string> XMLDocument::version() const {
  if (!holder_->doc->version) return std::nullopt;
  return text(holder_->doc->version);
}

std::optional<std::string> XMLDocument::characterEncoding() const {
  if (!holder_->doc->encoding) return std::nullopt;
  return text(holder_->doc->encoding);
}

std::string XMLDocument::XMLString() const { return documentNode().XMLString(); }

Data XMLDocument::XMLData() const {
  const std::string out = XMLString();
  return Data(out.begin(), out.end());
}

}  // namespace foundation
