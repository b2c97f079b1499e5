#include "telemetry/crashes/TLCrashesArchivableClasses.h"

#include <mutex>

#include "platform/foundation/Coding.h"
#include "telemetry/core/TLArchivableClasses.h"
#include "telemetry/crashes/Internals/Model/TLAppleErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLHandledErrorLog.h"
#include "telemetry/crashes/Internals/Model/TLWrapperException.h"
#include "telemetry/crashes/TLErrorAttachmentLog.h"

namespace {

template <class T>
void add(const char* name, const char* superclassName = "") {
  foundation::CodingRegistry::registerClass<T>(name, superclassName, true);
}

}  // namespace

void TLRegisterCrashesArchivableClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    TLRegisterArchivableClasses();

    add<TLAbstractErrorLog>("TLAbstractErrorLog", "TLLogWithProperties");
    add<TLAppleErrorLog>("TLAppleErrorLog", "TLAbstractErrorLog");
    add<TLHandledErrorLog>("TLHandledErrorLog", "TLLogWithProperties");
    add<TLErrorAttachmentLog>("TLErrorAttachmentLog", "TLAbstractLog");

    add<TLThread>("TLThread");
    add<TLStackFrame>("TLStackFrame");
    add<TLBinary>("TLBinary");
    add<TLException>("TLException");
    add<TLWrapperException>("TLWrapperException");
  });
}
