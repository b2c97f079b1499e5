#include "net/callbacks/RLResponseSideClasses.h"

#include "net/callbacks/RLCompoundResponseSerializer.h"
#include "net/callbacks/RLImageResponseSerializer.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "net/callbacks/RLPropertyListResponseSerializer.h"
#include "net/callbacks/RLSecurityPolicy.h"
#include "net/callbacks/RLXMLDocumentResponseSerializer.h"
#include "net/callbacks/RLXMLParserResponseSerializer.h"
#include "platform/foundation/Coding.h"

void RLRegisterResponseSideClasses() {
  using foundation::CodingRegistry;
  const std::string base = "RLHTTPResponseSerializer";
  CodingRegistry::registerClass<RLHTTPResponseSerializer>(base, "", true);
  CodingRegistry::registerClass<RLJSONResponseSerializer>("RLJSONResponseSerializer", base, true);
  CodingRegistry::registerClass<RLXMLParserResponseSerializer>("RLXMLParserResponseSerializer", base, true);
  CodingRegistry::registerClass<RLXMLDocumentResponseSerializer>("RLXMLDocumentResponseSerializer", base, true);
  CodingRegistry::registerClass<RLPropertyListResponseSerializer>("RLPropertyListResponseSerializer", base, true);
  CodingRegistry::registerClass<RLImageResponseSerializer>("RLImageResponseSerializer", base, true);
  CodingRegistry::registerClass<RLCompoundResponseSerializer>("RLCompoundResponseSerializer", base, true);
  CodingRegistry::registerClass<RLSecurityPolicy>("RLSecurityPolicy", "", true);
}
