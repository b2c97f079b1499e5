#include "fuzz/SampleObjects.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include "net/callbacks/RLArchivableClasses.h"
#include "net/callbacks/RLCompoundResponseSerializer.h"
#include "net/callbacks/RLHTTPRequestSerializer.h"
#include "net/callbacks/RLImageResponseSerializer.h"
#include "net/callbacks/RLJSONRequestSerializer.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "net/callbacks/RLPropertyListRequestSerializer.h"
#include "net/callbacks/RLPropertyListResponseSerializer.h"
#include "net/callbacks/RLSecurityPolicy.h"
#include "net/callbacks/RLXMLDocumentResponseSerializer.h"
#include "net/callbacks/RLXMLParserResponseSerializer.h"
#include "platform/foundation/Coding.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/IndexSet.h"
#include "platform/net/URL.h"
#include "platform/net/URLSessionConfiguration.h"
#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/Model/TLPageLog.h"
#include "telemetry/analytics/Model/TLStartSessionLog.h"
#include "telemetry/analytics/TLAnalyticsArchivableClasses.h"
#include "telemetry/analytics/TLEventProperties.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenInfo.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceHistoryInfo.h"
#include "telemetry/core/Internals/Context/Session/TLSessionHistoryInfo.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdHistoryInfo.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Model/TLCustomPropertiesLog.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/Internals/Model/TLTypedProperty.h"
#include "telemetry/crashes/Internals/Model/TLAppleErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLBinary.h"
#include "telemetry/crashes/Internals/Model/TLException.h"
#include "telemetry/crashes/Internals/Model/TLHandledErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLStackFrame.h"
#include "telemetry/crashes/Internals/Model/TLThread.h"
#include "telemetry/crashes/Internals/Model/TLWrapperException.h"
#include "telemetry/crashes/TLCrashesArchivableClasses.h"
#include "telemetry/crashes/TLErrorAttachmentLog.h"

namespace fuzz {

namespace {

using foundation::Date;
using foundation::Dictionary;
using foundation::Value;

const Date kTime = Date::fromTimeIntervalSince1970(1548942307.123);

template <class T>
Value objectOf(const std::shared_ptr<T>& object) {
  return Value(std::static_pointer_cast<foundation::Object>(object));
}
// A token is "<iKey>-<secret>": the part before the dash names the collector's target.
const char* const kToken = "0a1b2c3d-aaaa-bbbb-cccc-0123456789ab";

const char* const kEveryClass[] = {
    "RLHTTPRequestSerializer", "RLJSONRequestSerializer", "RLPropertyListRequestSerializer",
    "RLHTTPResponseSerializer", "RLJSONResponseSerializer", "RLXMLParserResponseSerializer",
    "RLXMLDocumentResponseSerializer", "RLPropertyListResponseSerializer", "RLImageResponseSerializer",
    "RLCompoundResponseSerializer", "RLSecurityPolicy", "RLURLSessionManager", "RLHTTPSessionManager",
    "NSURL", "NSIndexSet", "NSURLSessionConfiguration",
    "TLWrapperSdk", "TLDevice", "TLAbstractLog", "TLLogWithProperties", "TLStartServiceLog",
    "TLCustomPropertiesLog", "TLCommonSchemaLog", "TLCSData", "TLCSExtensions", "TLMetadataExtension",
    "TLProtocolExtension", "TLUserExtension", "TLDeviceExtension", "TLOSExtension", "TLAppExtension",
    "TLNetExtension", "TLSDKExtension", "TLLocExtension", "TLTypedProperty", "TLStringTypedProperty",
    "TLBooleanTypedProperty", "TLLongTypedProperty", "TLDoubleTypedProperty", "TLDateTimeTypedProperty",
    "TLHistoryInfo", "TLSessionHistoryInfo", "TLUserIdHistoryInfo", "TLDeviceHistoryInfo", "TLAuthTokenInfo",
    "TLLogWithNameAndProperties", "TLEventLog", "TLPageLog", "TLStartSessionLog", "TLEventProperties",
    "TLAbstractErrorLog", "TLAppleErrorLog", "TLHandledErrorLog", "TLErrorAttachmentLog", "TLThread",
    "TLStackFrame", "TLBinary", "TLException", "TLWrapperException",
};

std::shared_ptr<TLDevice> device() {
  auto device = std::make_shared<TLDevice>();
  device->sdkName = "telemetry.macos";
  device->sdkVersion = "2.4.0";
  device->osName = "Debian GNU/Linux";
  device->osVersion = "12.0.0";
  device->osBuild = "6.1.0";
  device->locale = "en_US";
  device->timeZoneOffset = 60;
  device->appVersion = "2.0.0";
  device->appBuild = "200";
  device->model = "PC";
  device->wrapperSdkName = "wrapper";
  device->wrapperSdkVersion = "1.0";
  return device;
}

template <class T>
std::shared_ptr<T> log() {
  auto log = std::make_shared<T>();
  log->setTimestamp(kTime);
  log->setSid("5b4b0d3c-6d4a-4c6a-9d2c-1f2e3d4c5b6a");
  log->setUserId("user");
  log->setDevice(device());
  log->addTransmissionTargetToken(kToken);
  return log;
}

std::shared_ptr<TLStackFrame> frame(const char* method) {
  auto frame = std::make_shared<TLStackFrame>();
  frame->address = "0x7f0011223344";
  frame->code = "main + 12";
  frame->className = "Quillmere";
  frame->methodName = method;
  frame->lineNumber = 42;
  frame->fileName = "main.cpp";
  return frame;
}

std::shared_ptr<TLException> exception() {
  auto exception = std::make_shared<TLException>();
  exception->type = "std::runtime_error";
  exception->message = "bad \"thing\"";
  exception->frames = std::vector{frame("run"), frame("main")};
  auto inner = std::make_shared<TLException>();
  inner->type = "inner";
  exception->innerExceptions = std::vector{inner};
  return exception;
}

std::shared_ptr<TLEventProperties> typedProperties() {
  auto properties = std::make_shared<TLEventProperties>();
  properties->setString("text", "s").setDouble(0.5, "d").setInt64(-3, "n").setBool(true, "b");
  return properties;
}

std::shared_ptr<TLAppleErrorLog> appleErrorLog() {
  auto error = log<TLAppleErrorLog>();
  error->errorId = "8c6a0d7e-5b4c-4a3b-9c2d-1e0f2a3b4c5d";
  error->processId = 1234;
  error->processName = "quillmere";
  error->fatal = true;
  error->appLaunchTimestamp = kTime;
  error->primaryArchitectureId = 16777223;
  error->applicationPath = "/usr/bin/quillmere";
  error->osExceptionType = "SIGSEGV";
  error->osExceptionCode = "SEGV_MAPERR";
  error->osExceptionAddress = "0x0";
  auto thread = std::make_shared<TLThread>();
  thread->threadId = 1;
  thread->name = "main";
  thread->frames = std::vector{frame("crash")};
  error->threads = std::vector{thread};
  auto binary = std::make_shared<TLBinary>();
  binary->binaryId = "0123456789abcdef";
  binary->startAddress = "0x400000";
  binary->endAddress = "0x500000";
  binary->name = "quillmere";
  binary->path = "/usr/bin/quillmere";
  binary->primaryArchitectureId = 16777223;
  error->binaries = std::vector{binary};
  error->exception = exception();
  return error;
}

}  // namespace

void registerEveryArchivableClass() {
  RLRegisterArchivableClasses();
  TLRegisterAnalyticsArchivableClasses();
  TLRegisterCrashesArchivableClasses();
  // The platform's classes register when their files are linked in; naming them links them.
  static_cast<void>(net::URLSessionConfiguration::defaultSessionConfiguration());
  for (const char* name : kEveryClass) {
    if (foundation::CodingRegistry::registrationFor(name)) continue;
    std::fprintf(stderr, "fuzz: the class %s is not registered\n", name);
    std::exit(1);
  }
}

std::vector<std::string> registeredClassNames() { return {std::begin(kEveryClass), std::end(kEveryClass)}; }

std::vector<std::shared_ptr<TLAbstractLog>> sampleLogs() {
  auto event = log<TLEventLog>();
  event->setName("apply");
  event->setEventId("f1e2d3c4-b5a6-4978-8a9b-0c1d2e3f4a5b");
  event->setProperties(Dictionary{{"kind", "local"}, {"count", "3"}});
  event->setTypedProperties(typedProperties());
  auto page = log<TLPageLog>();
  page->setName("Preferences");
  page->setProperties(Dictionary{{"tab", "general"}});
  auto start = log<TLStartServiceLog>();
  start->setServices(std::vector<std::string>{"Analytics", "Crashes"});
  auto custom = log<TLCustomPropertiesLog>();
  custom->setProperties(Dictionary{{"s", "text"}, {"n", 1.5}, {"b", true}, {"d", kTime}, {"cleared", Value()}});
  auto handled = log<TLHandledErrorLog>();
  handled->errorId = "0f1e2d3c-4b5a-4697-8a9b-0c1d2e3f4a5b";
  handled->exception = exception();
  auto attachment = TLErrorAttachmentLog::attachmentWithText("a text", "notes.txt");
  attachment->setTimestamp(kTime);
  attachment->setDevice(device());
  attachment->errorId = "8c6a0d7e-5b4c-4a3b-9c2d-1e0f2a3b4c5d";
  attachment->attachmentId = "9d7b1e8f-6c5d-4b4c-8d3e-2f1a3b4c5d6e";
  return {event, page, log<TLStartSessionLog>(), start, custom, handled, appleErrorLog(), attachment};
}

std::vector<Value> sampleArchiveRoots() {
  std::vector<Value> roots;
  for (const auto& log : sampleLogs()) {
    roots.push_back(objectOf(log));
    for (const auto& converted : log->toCommonSchemaLogsWithFlags(0)) roots.push_back(objectOf(converted));
  }
  auto wrapper = std::make_shared<TLWrapperException>();
  wrapper->modelException = exception();
  wrapper->exceptionData = foundation::Data{1, 2, 3};
  wrapper->processId = 99;
  roots.push_back(objectOf(wrapper));
  auto typed = std::make_shared<TLDateTimeTypedProperty>();
  typed->setName("when");
  typed->setValue(kTime);
  roots.push_back(objectOf(typed));
  roots.push_back(Value(foundation::Array{
      objectOf(std::make_shared<TLSessionHistoryInfo>(kTime, "session")),
      objectOf(std::make_shared<TLUserIdHistoryInfo>(kTime, "user")),
      objectOf(std::make_shared<TLDeviceHistoryInfo>(kTime, device())),
      objectOf(std::make_shared<TLAuthTokenInfo>("token", "account", kTime, kTime)),
  }));

  auto json = RLJSONResponseSerializer::serializer();
  json->setRemovesKeysWithNullValues(true);
  auto plist = RLPropertyListResponseSerializer::serializer();
  plist->setAcceptableStatusCodes(foundation::IndexSet::indexSetWithIndexesInRange({200, 100}));
  const std::vector<Value> serializers = {
      objectOf(RLHTTPRequestSerializer::serializer()),
      objectOf(RLJSONRequestSerializer::serializer()),
      objectOf(RLPropertyListRequestSerializer::serializer()),
      objectOf(RLCompoundResponseSerializer::compoundSerializerWithResponseSerializers(
          {json, plist, RLXMLDocumentResponseSerializer::serializer(), RLXMLParserResponseSerializer::serializer(),
           RLImageResponseSerializer::serializer()})),
      objectOf(RLSecurityPolicy::defaultPolicy()),
  };
  roots.insert(roots.end(), serializers.begin(), serializers.end());
  if (auto url = net::URL::fromString("https://example.org/a/b?c=d#e")) {
    roots.push_back(objectOf(std::make_shared<net::URL>(*url)));
  }
  roots.push_back(objectOf(
      std::make_shared<net::URLSessionConfiguration>(net::URLSessionConfiguration::defaultSessionConfiguration())));
  roots.push_back(Value(Dictionary{{"plain", Value(foundation::Array{1, "two", 3.5, true, Value(), kTime})}}));
  return roots;
}

}  // namespace fuzz
