#pragma once
// Checks shared by the tests that read the reports the writer made.
#include <gtest/gtest.h>

#include <memory>

#include "crash/engine/CrashReport.h"

namespace test {

// The one thread of `report` marked as crashed, or null; a second one is a failure.
inline std::shared_ptr<const CrashReportThreadInfo> crashedThread(const CrashReport& report) {
  std::shared_ptr<const CrashReportThreadInfo> found;
  for (const auto& thread : report.threads()) {
    if (!thread->crashed()) continue;
    EXPECT_EQ(found, nullptr) << "a second crashed thread";
    found = thread;
  }
  return found;
}

}  // namespace test
