#pragma once
// OpenFeedback is the front of the feedback window: the menu items for a support question, a
// feature request and a bug report call it, and it shows its window controller (OFController) on
// the matching tab. An embedding program may give it a delegate that sees each report before it
// goes and can stop it.
//
// Main thread only. Owns its controller, and so the window, for its whole life.
#include <memory>

#include "platform/foundation/Value.h"

namespace app {

class OFController;
class OpenFeedback;

// Told of each report before it is sent.
class OpenFeedbackDelegate {
 public:
  virtual ~OpenFeedbackDelegate() = default;
  // Whether `report` (the JSON object about to be posted) may be sent. False stops it: the
  // window closes and nothing is sent.
  virtual bool openFeedbackWillSendData(OpenFeedback& sender, const foundation::Dictionary& report) = 0;
};

class OpenFeedback {
 public:
  // Creates the controller (no window yet) and makes itself the controller's front object.
  OpenFeedback();
  ~OpenFeedback();
  OpenFeedback(const OpenFeedback&) = delete;
  OpenFeedback& operator=(const OpenFeedback&) = delete;

  // Each hands the delegate to the controller, then shows the window on the support, feature or
  // bug tab.
  void presentFeedbackPanelForSupport();
  void presentFeedbackPanelForFeature();
  void presentFeedbackPanelForBug();

  // Held weakly: the delegate's owner keeps it alive.
  std::weak_ptr<OpenFeedbackDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<OpenFeedbackDelegate> delegate) { delegate_ = std::move(delegate); }

  OFController& windowController() { return *windowController_; }

 private:
  std::unique_ptr<OFController> windowController_;
  std::weak_ptr<OpenFeedbackDelegate> delegate_;
};

}  // namespace app
