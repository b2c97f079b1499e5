#pragma once
// A shell runner for tests that records each command it is given and answers with the result the
// test chose; it runs nothing, unless the test hands it a way to run the command for real.
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/ShellRunner.h"

namespace test {

class RecordingShellRunner : public foundation::ShellRunner {
 public:
  // Records (command, privileged) and returns `next`, or what `perform` returns when it is set.
  // Not thread-safe: the runner is called from the main thread only.
  Result run(const std::string& command, bool privileged) override {
    calls.emplace_back(command, privileged);
    return perform ? perform(command) : next;
  }

  std::vector<std::pair<std::string, bool>> calls;
  Result next;
  // Runs the recorded command for real (unprivileged, on temporary files) and gives its result.
  std::function<Result(const std::string& command)> perform;
};

}  // namespace test
