#include "telemetry/analytics/Model/TLStartSessionLog.h"

TLStartSessionLog::TLStartSessionLog() { setType("startSession"); }

bool TLStartSessionLog::isEqual(const foundation::Object& other) const {
  return dynamic_cast<const TLStartSessionLog*>(&other) && TLAbstractLog::isEqual(other);
}
