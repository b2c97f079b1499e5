#include "telemetry/analytics/Model/TLPageLog.h"

TLPageLog::TLPageLog() { setType("page"); }

bool TLPageLog::isEqual(const foundation::Object& other) const {
  return dynamic_cast<const TLPageLog*>(&other) && TLLogWithNameAndProperties::isEqual(other);
}
