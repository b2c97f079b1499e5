#pragma once
// Workspace stands in for the desktop's shared workspace: here it only opens URLs, in the user's
// default handler (a web page in the browser). Tests replace the shared one with a
// RecordingWorkspace so nothing is opened for real.
#include <memory>
#include <string>

namespace appkit {

class Workspace {
 public:
  virtual ~Workspace() = default;

  // The workspace in use: the desktop one unless replaced. Never null. Thread-safe.
  static std::shared_ptr<Workspace> sharedWorkspace();
  // Replaces it; null puts the desktop one back. Thread-safe.
  static void setSharedWorkspace(std::shared_ptr<Workspace> workspace);

  // Hands `url` to the desktop's handler for its scheme; false when the text is not a valid
  // absolute URL or the desktop has no handler. Main thread only.
  virtual bool openURL(const std::string& url);
};

}  // namespace appkit
