#include "telemetry/core/TLArchivableClasses.h"

#include <mutex>

#include "platform/foundation/Coding.h"
#include "telemetry/core/Internals/Context/AuthToken/TLAuthTokenInfo.h"
#include "telemetry/core/Internals/Context/Device/TLDeviceHistoryInfo.h"
#include "telemetry/core/Internals/Context/Session/TLSessionHistoryInfo.h"
#include "telemetry/core/Internals/Context/UserId/TLUserIdHistoryInfo.h"
#include "telemetry/core/Internals/Model/TLCommonSchemaLog.h"
#include "telemetry/core/Internals/Model/TLCustomPropertiesLog.h"
#include "telemetry/core/Internals/Model/TLDevice.h"
#include "telemetry/core/Internals/Model/TLLogWithProperties.h"
#include "telemetry/core/Internals/Model/TLStartServiceLog.h"
#include "telemetry/core/Internals/Model/TLTypedProperty.h"

namespace {

template <class T>
void add(const char* name, const char* superclassName = "") {
  foundation::CodingRegistry::registerClass<T>(name, superclassName, true);
}

}  // namespace

void TLRegisterArchivableClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    add<TLWrapperSdk>("TLWrapperSdk");
    add<TLDevice>("TLDevice", "TLWrapperSdk");

    add<TLAbstractLog>("TLAbstractLog");
    add<TLLogWithProperties>("TLLogWithProperties", "TLAbstractLog");
    add<TLStartServiceLog>("TLStartServiceLog", "TLAbstractLog");
    add<TLCustomPropertiesLog>("TLCustomPropertiesLog", "TLAbstractLog");
    add<TLCommonSchemaLog>("TLCommonSchemaLog", "TLAbstractLog");

    add<TLCSData>("TLCSData");
    add<TLCSExtensions>("TLCSExtensions");
    add<TLMetadataExtension>("TLMetadataExtension");
    add<TLProtocolExtension>("TLProtocolExtension");
    add<TLUserExtension>("TLUserExtension");
    add<TLDeviceExtension>("TLDeviceExtension");
    add<TLOSExtension>("TLOSExtension");
    add<TLAppExtension>("TLAppExtension");
    add<TLNetExtension>("TLNetExtension");
    add<TLSDKExtension>("TLSDKExtension");
    add<TLLocExtension>("TLLocExtension");

    add<TLTypedProperty>("TLTypedProperty");
    add<TLStringTypedProperty>("TLStringTypedProperty", "TLTypedProperty");
    add<TLBooleanTypedProperty>("TLBooleanTypedProperty", "TLTypedProperty");
    add<TLLongTypedProperty>("TLLongTypedProperty", "TLTypedProperty");
    add<TLDoubleTypedProperty>("TLDoubleTypedProperty", "TLTypedProperty");
    add<TLDateTimeTypedProperty>("TLDateTimeTypedProperty", "TLTypedProperty");

    add<TLHistoryInfo>("TLHistoryInfo");
    add<TLSessionHistoryInfo>("TLSessionHistoryInfo", "TLHistoryInfo");
    add<TLUserIdHistoryInfo>("TLUserIdHistoryInfo", "TLHistoryInfo");
    add<TLDeviceHistoryInfo>("TLDeviceHistoryInfo", "TLHistoryInfo");
    TLAuthTokenInfo::registerForCoding();
  });
}
