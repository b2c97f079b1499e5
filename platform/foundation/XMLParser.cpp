#include "platform/foundation/XMLParser.h"

#include <libxml/SAX2.h>
#include <libxml/parser.h>

#include <vector>

#include "platform/foundation/detail/LibXML.h"

namespace foundation {

struct XMLParser::Run : detail::ParseErrors {
  XMLParser* parser = nullptr;
  std::shared_ptr<XMLParserDelegate> delegate;
  xmlParserCtxtPtr ctxt = nullptr;
  bool aborted = false;
  // The prefixes each open element mapped, for the matching end events.
  std::vector<std::vector<std::string>> prefixStack;
};

namespace {

using Run = XMLParser::Run;

Run& runOf(void* ctx) {
  return *static_cast<Run*>(static_cast<detail::ParseErrors*>(static_cast<xmlParserCtxtPtr>(ctx)->_private));
}

std::string text(const xmlChar* chars) { return chars ? reinterpret_cast<const char*>(chars) : ""; }
std::string text(const xmlChar* chars, int length) {
  return chars && length > 0 ? std::string(reinterpret_cast<const char*>(chars), static_cast<std::size_t>(length))
                             : std::string();
}

std::string qualified(const xmlChar* prefix, const xmlChar* local) {
  return prefix ? text(prefix) + ":" + text(local) : text(local);
}

void startDocument(void* ctx) {
  xmlSAX2StartDocument(ctx);  // keeps the DTD's internal entities for expansion
  Run& run = runOf(ctx);
  run.delegate->parserDidStartDocument(*run.parser);
}

void endDocument(void* ctx) {
  xmlSAX2EndDocument(ctx);
  Run& run = runOf(ctx);
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  if (ctxt->wellFormed && !run.first && !run.aborted) run.delegate->parserDidEndDocument(*run.parser);
}

void startElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri,
                  int namespaceCount, const xmlChar** namespaces, int attributeCount, int,
                  const xmlChar** attributes) {
  Run& run = runOf(ctx);
  XMLParser& parser = *run.parser;
  const bool processing = parser.shouldProcessNamespaces();
  Dictionary attributeTable;
  if (!processing) {
    for (int i = 0; i < namespaceCount; ++i) {
      const xmlChar* declared = namespaces[2 * i];
      attributeTable.set(declared ? "xmlns:" + text(declared) : std::string("xmlns"), Value(text(namespaces[2 * i + 1])));
    }
  }
  for (int i = 0; i < attributeCount; ++i) {
    const xmlChar** a = attributes + 5 * i;  // local name, prefix, URI, value start, value end
    attributeTable.set(qualified(a[1], a[0]), Value(text(a[3], static_cast<int>(a[4] - a[3]))));
  }
  std::vector<std::string> mapped;
  if (parser.shouldReportNamespacePrefixes()) {
    for (int i = 0; i < namespaceCount; ++i) {
      mapped.push_back(text(namespaces[2 * i]));
      run.delegate->didStartMappingPrefix(parser, mapped.back(), text(namespaces[2 * i + 1]));
      if (run.aborted) return;
    }
  }
  run.prefixStack.push_back(std::move(mapped));
  if (processing) {
    run.delegate->didStartElement(parser, text(localName), text(uri), qualified(prefix, localName), attributeTable);
  } else {
    run.delegate->didStartElement(parser, qualified(prefix, localName), std::nullopt, std::nullopt, attributeTable);
  }
}

void endElement(void* ctx, const xmlChar* localName, const xmlChar* prefix, const xmlChar* uri) {
  Run& run = runOf(ctx);
  XMLParser& parser = *run.parser;
  if (parser.shouldProcessNamespaces()) {
    run.delegate->didEndElement(parser, text(localName), text(uri), qualified(prefix, localName));
  } else {
    run.delegate->didEndElement(parser, qualified(prefix, localName), std::nullopt, std::nullopt);
  }
  if (run.prefixStack.empty()) return;
  const std::vector<std::string> mapped = std::move(run.prefixStack.back());
  run.prefixStack.pop_back();
  for (const auto& name : mapped) {
    if (run.aborted) return;
    run.delegate->didEndMappingPrefix(parser, name);
  }
}

void characters(void* ctx, const xmlChar* chars, int length) {
  Run& run = runOf(ctx);
  run.delegate->foundCharacters(*run.parser, text(chars, length));
}

void cdataBlock(void* ctx, const xmlChar* chars, int length) {
  Run& run = runOf(ctx);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(chars);
  run.delegate->foundCDATA(*run.parser, length > 0 ? Data(bytes, bytes + length) : Data());
}

void comment(void* ctx, const xmlChar* value) {
  Run& run = runOf(ctx);
  run.delegate->foundComment(*run.parser, text(value));
}

void processingInstruction(void* ctx, const xmlChar* target, const xmlChar* data) {
  Run& run = runOf(ctx);
  run.delegate->foundProcessingInstruction(*run.parser, text(target), text(data));
}

// No entity is ever fetched from outside the document.
xmlParserInputPtr resolveEntity(void*, const xmlChar*, const xmlChar*) { return nullptr; }

// A delegate for runs without one, so the callbacks need not check.
XMLParserDelegate& silentDelegate() {
  static XMLParserDelegate silent;
  return silent;
}

}  // namespace

XMLParser::XMLParser(Data data) : data_(std::move(data)) {}

XMLParser::~XMLParser() = default;

bool XMLParser::parse() {
  detail::prepareLibXML();
  Run run;
  run.parser = this;
  run.delegate = delegate_.lock();
  if (!run.delegate) run.delegate = std::shared_ptr<XMLParserDelegate>(std::shared_ptr<void>(), &silentDelegate());

  xmlSAXHandler sax{};
  xmlSAXVersion(&sax, 2);  // the SAX2 defaults keep the internal DTD subset for entity expansion
  sax.startDocument = startDocument;
  sax.endDocument = endDocument;
  sax.startElementNs = startElement;
  sax.endElementNs = endElement;
  sax.characters = characters;
  sax.ignorableWhitespace = characters;
  sax.cdataBlock = cdataBlock;
  sax.comment = comment;
  sax.processingInstruction = processingInstruction;
  sax.resolveEntity = resolveEntity;
  sax.reference = nullptr;

  xmlParserCtxtPtr ctxt = xmlCreatePushParserCtxt(&sax, nullptr, nullptr, 0, nullptr);
  if (!ctxt) {
    error_ = Error(kXMLParserErrorDomain, 2);  // out of memory, libxml2's code
    run.delegate->parseErrorOccurred(*this, *error_);
    return false;
  }
  detail::attachErrors(ctxt, &run, detail::safeParseOptions());
  run.ctxt = ctxt;
  run_ = &run;
  error_.reset();
  const bool wellFormed = detail::feed(ctxt, data_);
  run_ = nullptr;

  if (run.aborted) {
    error_ = Error(kXMLParserErrorDomain, kXMLParserDelegateAbortedParseError);
  } else if (!wellFormed) {
    error_ = run.first ? *run.first : detail::lastError(ctxt);
  }
  if (ctxt->myDoc) xmlFreeDoc(ctxt->myDoc);  // the DTD holder the SAX2 start made
  ctxt->myDoc = nullptr;
  xmlFreeParserCtxt(ctxt);
  if (error_) run.delegate->parseErrorOccurred(*this, *error_);
  return !error_;
}

void XMLParser::abortParsing() {
  if (!run_ || run_->aborted) return;
  run_->aborted = true;
  xmlStopParser(run_->ctxt);
}

long XMLParser::lineNumber() const { return run_ ? xmlSAX2GetLineNumber(run_->ctxt) : 0; }

long XMLParser::columnNumber() const { return run_ ? xmlSAX2GetColumnNumber(run_->ctxt) : 0; }

}  // namespace foundation
