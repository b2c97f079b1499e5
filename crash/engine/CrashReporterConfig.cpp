#include "crash/engine/CrashReporterConfig.h"

std::shared_ptr<const CrashReporterConfig> CrashReporterConfig::defaultConfiguration() {
  return std::make_shared<const CrashReporterConfig>();
}
