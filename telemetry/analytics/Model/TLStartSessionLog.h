#pragma once
// TLStartSessionLog announces a new analytics session (type "startSession"). The session tracker
// sets its session id itself, so the channels never stamp one on it.
#include "telemetry/core/Internals/Model/TLAbstractLog.h"

class TLStartSessionLog : public TLAbstractLog, public TLNoAutoAssignSessionIdLog {
 public:
  // Type "startSession".
  TLStartSessionLog();
  // Reads back the keys of a base log.
  explicit TLStartSessionLog(foundation::KeyedUnarchiver& coder) : TLAbstractLog(coder) {}

  // Whether `other` is a TLStartSessionLog equal as a base log.
  bool isEqual(const foundation::Object& other) const override;
};
