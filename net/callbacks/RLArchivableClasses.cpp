#include "net/callbacks/RLArchivableClasses.h"

#include "net/callbacks/RLCompoundResponseSerializer.h"
#include "net/callbacks/RLHTTPRequestSerializer.h"
#include "net/callbacks/RLHTTPSessionManager.h"
#include "net/callbacks/RLImageResponseSerializer.h"
#include "net/callbacks/RLJSONRequestSerializer.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "net/callbacks/RLPropertyListRequestSerializer.h"
#include "net/callbacks/RLPropertyListResponseSerializer.h"
#include "net/callbacks/RLSecurityPolicy.h"
#include "net/callbacks/RLURLSessionManager.h"
#include "net/callbacks/RLXMLDocumentResponseSerializer.h"
#include "net/callbacks/RLXMLParserResponseSerializer.h"
#include "platform/foundation/Coding.h"

void RLRegisterArchivableClasses() {
  using foundation::CodingRegistry;
  const std::string request = "RLHTTPRequestSerializer";
  CodingRegistry::registerClass<RLHTTPRequestSerializer>(request, "", true);
  CodingRegistry::registerClass<RLJSONRequestSerializer>("RLJSONRequestSerializer", request, true);
  CodingRegistry::registerClass<RLPropertyListRequestSerializer>("RLPropertyListRequestSerializer", request, true);

  const std::string response = "RLHTTPResponseSerializer";
  CodingRegistry::registerClass<RLHTTPResponseSerializer>(response, "", true);
  CodingRegistry::registerClass<RLJSONResponseSerializer>("RLJSONResponseSerializer", response, true);
  CodingRegistry::registerClass<RLXMLParserResponseSerializer>("RLXMLParserResponseSerializer", response, true);
  CodingRegistry::registerClass<RLXMLDocumentResponseSerializer>("RLXMLDocumentResponseSerializer", response, true);
  CodingRegistry::registerClass<RLPropertyListResponseSerializer>("RLPropertyListResponseSerializer", response, true);
  CodingRegistry::registerClass<RLImageResponseSerializer>("RLImageResponseSerializer", response, true);
  CodingRegistry::registerClass<RLCompoundResponseSerializer>("RLCompoundResponseSerializer", response, true);

  CodingRegistry::registerClass<RLSecurityPolicy>("RLSecurityPolicy", "", true);

  // Managers are rebuilt through their own factories: they must be owned by a shared_ptr
  // before their session can be made.
  CodingRegistry::registerClass(typeid(RLURLSessionManager),
                                {"RLURLSessionManager", "", true, [](foundation::KeyedUnarchiver& coder) {
                                   return std::shared_ptr<foundation::Coding>(RLURLSessionManager::initWithCoder(coder));
                                 }});
  CodingRegistry::registerClass(typeid(RLHTTPSessionManager),
                                {"RLHTTPSessionManager", "RLURLSessionManager", true, [](foundation::KeyedUnarchiver& coder) {
                                   return std::shared_ptr<foundation::Coding>(RLHTTPSessionManager::initWithCoder(coder));
                                 }});
}
