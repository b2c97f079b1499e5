#pragma once
// FeedbackPanel is the front of the feedback window: the menu items for a support question, a
// feature request and a bug report call it, and it shows its window controller
// (FeedbackWindowController) on the matching tab. An embedding program may give it a delegate that sees each report before it
// goes and can stop it.
//
// Main thread only. Owns its controller, and so the window, for its whole life.
#include <memory>

#include "platform/foundation/Value.h"

namespace app {

class FeedbackWindowController;
class FeedbackPanel;

// Told of each report before it is sent.
class FeedbackPanelDelegate {
 public:
  virtual ~FeedbackPanelDelegate() = default;
  // Whether `report` (the JSON object about to be posted) may be sent. False stops it: the
  // window closes and nothing is sent.
  virtual bool feedbackPanelWillSendData(FeedbackPanel& sender, const foundation::Dictionary& report) = 0;
};

class FeedbackPanel {
 public:
  // Creates the controller (no window yet) and makes itself the controller's front object.
  FeedbackPanel();
  ~FeedbackPanel();
  FeedbackPanel(const FeedbackPanel&) = delete;
  FeedbackPanel& operator=(const FeedbackPanel&) = delete;

  // Each hands the delegate to the controller, then shows the window on the support, feature or
  // bug tab.
  void presentFeedbackPanelForSupport();
  void presentFeedbackPanelForFeature();
  void presentFeedbackPanelForBug();

  // Held weakly: the delegate's owner keeps it alive.
  std::weak_ptr<FeedbackPanelDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<FeedbackPanelDelegate> delegate) { delegate_ = std::move(delegate); }

  FeedbackWindowController& windowController() { return *windowController_; }

 private:
  std::unique_ptr<FeedbackWindowController> windowController_;
  std::weak_ptr<FeedbackPanelDelegate> delegate_;
};

}  // namespace app
