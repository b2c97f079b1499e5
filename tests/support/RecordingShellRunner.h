#pragma once
// A shell runner for tests that records each command it is given and answers with the result the
// test chose; it runs nothing.
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/ShellRunner.h"

namespace test {

class RecordingShellRunner : public foundation::ShellRunner {
 public:
  // Records (command, privileged) and returns `next`. Not thread-safe: the runner is called from
  // the main thread only.
  Result run(const std::string& command, bool privileged) override {
    calls.emplace_back(command, privileged);
    return next;
  }

  std::vector<std::pair<std::string, bool>> calls;
  Result next;
};

}  // namespace test
