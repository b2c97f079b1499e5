#include "app/OpenFeedback.h"

#include "app/OFController.h"

namespace app {

OpenFeedback::OpenFeedback() : windowController_(std::make_unique<OFController>()) {
  windowController_->setOpenFeedback(this);
}

OpenFeedback::~OpenFeedback() = default;

void OpenFeedback::presentFeedbackPanelForSupport() {
  windowController_->setDelegate(delegate_);
  windowController_->presentFeedbackPanelForSupport();
}

void OpenFeedback::presentFeedbackPanelForFeature() {
  windowController_->setDelegate(delegate_);
  windowController_->presentFeedbackPanelForFeature();
}

void OpenFeedback::presentFeedbackPanelForBug() {
  windowController_->setDelegate(delegate_);
  windowController_->presentFeedbackPanelForBug();
}

}  // namespace app
