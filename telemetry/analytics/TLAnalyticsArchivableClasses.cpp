#include "telemetry/analytics/TLAnalyticsArchivableClasses.h"

#include <mutex>

#include "platform/foundation/Coding.h"
#include "telemetry/analytics/Model/TLEventLog.h"
#include "telemetry/analytics/Model/TLPageLog.h"
#include "telemetry/analytics/Model/TLStartSessionLog.h"
#include "telemetry/analytics/TLEventProperties.h"
#include "telemetry/core/TLArchivableClasses.h"

namespace {

template <class T>
void add(const char* name, const char* superclassName = "") {
  foundation::CodingRegistry::registerClass<T>(name, superclassName, true);
}

}  // namespace

void TLRegisterAnalyticsArchivableClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    TLRegisterArchivableClasses();

    add<TLLogWithNameAndProperties>("TLLogWithNameAndProperties", "TLLogWithProperties");
    add<TLEventLog>("TLEventLog", "TLLogWithNameAndProperties");
    add<TLPageLog>("TLPageLog", "TLLogWithNameAndProperties");
    add<TLStartSessionLog>("TLStartSessionLog", "TLAbstractLog");
    add<TLEventProperties>("TLEventProperties");
  });
}
