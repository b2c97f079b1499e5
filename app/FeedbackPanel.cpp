#include "app/FeedbackPanel.h"

#include "app/FeedbackWindowController.h"

namespace app {

FeedbackPanel::FeedbackPanel() : windowController_(std::make_unique<FeedbackWindowController>()) {
  windowController_->setFeedbackPanel(this);
}

FeedbackPanel::~FeedbackPanel() = default;

void FeedbackPanel::presentFeedbackPanelForSupport() {
  windowController_->setDelegate(delegate_);
  windowController_->presentFeedbackPanelForSupport();
}

void FeedbackPanel::presentFeedbackPanelForFeature() {
  windowController_->setDelegate(delegate_);
  windowController_->presentFeedbackPanelForFeature();
}

void FeedbackPanel::presentFeedbackPanelForBug() {
  windowController_->setDelegate(delegate_);
  windowController_->presentFeedbackPanelForBug();
}

}  // namespace app
