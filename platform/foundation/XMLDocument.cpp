#include "platform/foundation/XMLDocument.h"

#include <cstdint>
#include <optional>
#include <string>

#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unicode/utf8.h>

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

namespace {

// Recovery can leave elements and text beside the root element at the top of the tree (from
// "<r\x9c<a>x", the root "r" and a second top-level "a"): a tree no XML document can have,
// whose text would not parse again. Such nodes become the root's last children, in their order,
// so that nothing recovered is lost and the document stays one element. Comments and processing
// instructions may stand beside the root and stay.
void adoptStrayTopLevelNodes(xmlDocPtr doc) {
  xmlNodePtr root = xmlDocGetRootElement(doc);
  xmlNodePtr node = root->next;
  while (node) {
    xmlNodePtr next = node->next;
    if (node->type != XML_COMMENT_NODE && node->type != XML_PI_NODE) {
      xmlUnlinkNode(node);
      xmlAddChild(root, node);  // may merge a text node into the root's last text, freeing it
    }
    node = next;
  }
}

bool isXMLCharacter(int c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// `content` with every character XML cannot hold, and every byte that is no UTF-8, as U+FFFD;
// nothing when it has none.
std::optional<std::string> withoutForbiddenCharacters(const xmlChar* content) {
  const std::string text = reinterpret_cast<const char*>(content);
  std::string out;
  bool changed = false;
  // ICU's decoder is the strict one: libxml2's own lets overlong forms through, which its writer
  // then refuses.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto size = static_cast<std::int32_t>(text.size());
  for (std::int32_t at = 0; at < size;) {
    const std::int32_t start = at;
    UChar32 c = 0;
    U8_NEXT(bytes, at, size, c);
    if (c >= 0 && isXMLCharacter(c)) {
      out.append(text, static_cast<std::size_t>(start), static_cast<std::size_t>(at - start));
      continue;
    }
    out.append("\xef\xbf\xbd");
    changed = true;
  }
  if (!changed) return std::nullopt;
  return out;
}

// Recovery keeps characters that XML cannot hold (broken UTF-8, mostly) in text, comments,
// attribute values and even names; the writer then drops or copies them with an error of its
// own, so the document and the text it writes differ, and that text may not parse. They become
// U+FFFD in the tree itself.
// The namespace declarations of an element: their URIs and prefixes.
void replaceForbiddenCharacters(xmlNsPtr ns) {
  for (; ns; ns = ns->next) {
    for (const xmlChar** field : {&ns->href, &ns->prefix}) {
      if (!*field) continue;
      if (auto clean = withoutForbiddenCharacters(*field)) {
        xmlFree(const_cast<xmlChar*>(*field));
        *field = xmlStrdup(BAD_CAST clean->c_str());
      }
    }
  }
}

// Entity references and the DTD are passed over: their children are the declarations, shared by
// every reference.
void replaceForbiddenCharacters(xmlNodePtr node) {
  for (xmlNodePtr next = nullptr; node; node = next) {
    next = node->next;
    // A declaration recovered in the middle ("<r><?xml ...?>") is a processing instruction of the
    // reserved target "xml", which no document may hold: it carries nothing, and is dropped.
    if (node->type == XML_PI_NODE && node->name && xmlStrcasecmp(node->name, BAD_CAST "xml") == 0) {
      xmlNodePtr before = node->prev;
      xmlUnlinkNode(node);
      xmlFreeNode(node);
      // The texts on both sides become one, as they read once the document is written; the
      // merged text is looked at again, as its second part has not been yet.
      if (before && next && before->type == XML_TEXT_NODE && next->type == XML_TEXT_NODE) {
        next = xmlTextMerge(before, next);
      }
      continue;
    }
    const bool holdsText = node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE ||
                           node->type == XML_COMMENT_NODE || node->type == XML_PI_NODE;
    if (holdsText && node->content) {
      if (auto clean = withoutForbiddenCharacters(node->content)) {
        xmlNodeSetContentLen(node, reinterpret_cast<const xmlChar*>(clean->data()), static_cast<int>(clean->size()));
      }
    }
    const bool named =
        node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE || node->type == XML_PI_NODE;
    if (named && node->name) {
      // U+FFFD may stand anywhere in a name, so the name stays one.
      if (auto clean = withoutForbiddenCharacters(node->name)) xmlNodeSetName(node, BAD_CAST clean->c_str());
    }
    if (node->type == XML_ELEMENT_NODE) {
      replaceForbiddenCharacters(reinterpret_cast<xmlNodePtr>(node->properties));
      replaceForbiddenCharacters(node->nsDef);
    }
    if (node->type == XML_ELEMENT_NODE || node->type == XML_ATTRIBUTE_NODE) replaceForbiddenCharacters(node->children);
  }
}

}  // namespace

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
  if (!wellFormed) {
    adoptStrayTopLevelNodes(doc);
    replaceForbiddenCharacters(doc->children);
  }
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
