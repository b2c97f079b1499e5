#pragma once
// RecordingWorkspace is the workspace of tests: it opens nothing and keeps every URL it was
// asked to open, answering with a chosen result. Main thread only.
#include <string>
#include <vector>

#include "platform/appkit/Workspace.h"

namespace appkit {

class RecordingWorkspace : public Workspace {
 public:
  // Records `url` and returns the chosen result (true unless setResult changed it).
  bool openURL(const std::string& url) override {
    openedURLs_.push_back(url);
    return result_;
  }
  void setResult(bool result) { result_ = result; }
  const std::vector<std::string>& openedURLs() const { return openedURLs_; }

 private:
  std::vector<std::string> openedURLs_;
  bool result_ = true;
};

}  // namespace appkit
