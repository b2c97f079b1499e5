#pragma once
// TLPageLog is the log of one tracked page (type "page"): a name and string properties.
#include "telemetry/analytics/Model/TLLogWithNameAndProperties.h"

class TLPageLog : public TLLogWithNameAndProperties {
 public:
  // Type "page".
  TLPageLog();
  // Reads back the keys of a named log.
  explicit TLPageLog(foundation::KeyedUnarchiver& coder) : TLLogWithNameAndProperties(coder) {}

  // Whether `other` is a TLPageLog equal as a named log.
  bool isEqual(const foundation::Object& other) const override;
};
