#include "platform/foundation/detail/LibXML.h"

#include <libxml/SAX2.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/foundation/XMLParser.h"

namespace foundation::detail {

namespace {

// Every external entity, DTD or XInclude goes through here; none is ever read.
xmlParserInputPtr refuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

Error errorFrom(const xmlError& raw) {
  std::string message = raw.message ? raw.message : "";
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
  Dictionary info;
  if (!message.empty()) info.set(kDebugDescriptionErrorKey, Value(message));
  info.set(kXMLParserErrorLineNumberKey, Value(raw.line));
  info.set(kXMLParserErrorColumnNumberKey, Value(raw.int2));
  return Error(kXMLParserErrorDomain, raw.code != 0 ? raw.code : 1, std::move(info));
}

void recordError(void* userData, xmlErrorPtr raw) {
  if (!raw || raw->level < XML_ERR_ERROR) return;
  auto* ctxt = static_cast<xmlParserCtxtPtr>(userData);
  auto* errors = ctxt ? static_cast<ParseErrors*>(ctxt->_private) : nullptr;
  if (!errors || errors->first) return;
  // A namespace slip (an undeclared prefix) leaves the document well formed, as XML 1.0 has it.
  if (raw->domain == XML_FROM_NAMESPACE) return;
  errors->first = errorFrom(*raw);
}

// A document that uses an external entity fails at the reference: silently dropping the entity
// would hand the caller text that differs from the document, and loading it is out of question.
xmlEntityPtr getEntityRefusingExternal(void* ctx, const xmlChar* name) {
  xmlEntityPtr entity = xmlSAX2GetEntity(ctx, name);
  if (!entity || (entity->etype != XML_EXTERNAL_GENERAL_PARSED_ENTITY &&
                  entity->etype != XML_EXTERNAL_GENERAL_UNPARSED_ENTITY)) {
    return entity;
  }
  auto* ctxt = static_cast<xmlParserCtxtPtr>(ctx);
  if (auto* errors = static_cast<ParseErrors*>(ctxt->_private); errors && !errors->first) {
    const std::string entityName = name ? reinterpret_cast<const char*>(name) : "";
    errors->first = Error(kXMLParserErrorDomain, XML_ERR_ENTITY_IS_EXTERNAL,
                          Dictionary{{kDebugDescriptionErrorKey,
                                      Value("Entity '" + entityName + "' is external and is not loaded")},
                                     {kXMLParserErrorLineNumberKey, Value(xmlSAX2GetLineNumber(ctx))},
                                     {kXMLParserErrorColumnNumberKey, Value(xmlSAX2GetColumnNumber(ctx))}});
  }
  xmlStopParser(ctxt);
  return nullptr;
}

// Slices small enough for libxml2's int lengths and for a stop to take effect soon.
constexpr std::size_t kSlice = 256 * 1024;

}  // namespace

void prepareLibXML() {
  static std::once_flag once;
  std::call_once(once, [] {
    xmlInitParser();
    xmlSetExternalEntityLoader(&refuseExternalEntity);
  });
}

int safeParseOptions() { return XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING; }

void attachErrors(xmlParserCtxtPtr ctxt, ParseErrors* errors, int options) {
  ctxt->_private = errors;
  ctxt->sax->serror = &recordError;
  // Nothing else may load: no external subset, no attribute defaults from a DTD, no validation.
  ctxt->sax->externalSubset = nullptr;
  ctxt->sax->getEntity = &getEntityRefusingExternal;
  xmlCtxtUseOptions(ctxt, options);
}

bool feed(xmlParserCtxtPtr ctxt, const Data& data) {
  const auto* bytes = reinterpret_cast<const char*>(data.data());
  std::size_t offset = 0;
  const auto stopped = [&] { return ctxt->disableSAX != 0 || ctxt->instate == XML_PARSER_EOF; };
  while (offset < data.size() && !stopped()) {
    const std::size_t slice = std::min(kSlice, data.size() - offset);
    xmlParseChunk(ctxt, bytes + offset, static_cast<int>(slice), 0);
    offset += slice;
  }
  if (!stopped()) xmlParseChunk(ctxt, nullptr, 0, 1);
  const auto* errors = static_cast<const ParseErrors*>(ctxt->_private);
  return ctxt->wellFormed && !(errors && errors->first);
}

Error lastError(xmlParserCtxtPtr ctxt) {
  const xmlError* raw = xmlCtxtGetLastError(ctxt);
  if (raw && raw->code != XML_ERR_OK) return errorFrom(*raw);
  return Error(kXMLParserErrorDomain, 1);
}

}  // namespace foundation::detail
