#pragma once
// What the XML parser and the XML document share of libxml2: the one-time lock-down of the
// library, the options every parse uses, feeding bytes to a push parser and turning libxml2's
// errors into the parser error domain. Internal to the foundation.
//
// Documents arrive from servers, so nothing in them may make the library read anything else: the
// process-wide external-entity loader refuses every URL and file, network access is off, external
// DTD subsets are never loaded, and internal entities are expanded within libxml2's amplification
// limits (a "billion laughs" document fails instead of growing).
#include <libxml/parser.h>

#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Value.h"

namespace foundation::detail {

// Runs libxml2's initialisation and installs the refusing entity loader, once per process.
// Every parse calls it first. Thread-safe.
void prepareLibXML();

// The libxml2 options of every parse: no network, internal entities substituted (external ones
// go to the refusing loader), errors not printed.
int safeParseOptions();

// What a parse keeps in its context's _private: the first error that breaks the document.
struct ParseErrors {
  std::optional<Error> first;
};

// Sets up `ctxt` (made by xmlCreatePushParserCtxt) to record its errors into `errors`, with
// `options` on top of nothing else. The context's SAX handler must be a SAX2 one.
void attachErrors(xmlParserCtxtPtr ctxt, ParseErrors* errors, int options);

// Feeds `data` to the push parser in slices and finishes the document; stops early when the
// parser stopped (a fatal error or xmlStopParser). Returns whether the document was well formed
// and no error was recorded.
bool feed(xmlParserCtxtPtr ctxt, const Data& data);

// The error for a parse that failed without a recorded one (libxml2's last error, else code 1).
Error lastError(xmlParserCtxtPtr ctxt);

}  // namespace foundation::detail
