#pragma once
// MessageBoxAlertPresenter shows alerts as Qt message boxes titled with the application's name:
// a sheet becomes a box of its window, above it, centred over it and modal to it only (the rest
// of the application stays usable); runModal a box modal to the whole application. A sheet on a
// window not shown yet opens once the window shows. The first button is the default (Return); a
// button titled "Cancel", or the only button, answers Escape and the window's close button.
// Main thread only.
#include "platform/appkit/AlertPresenter.h"

namespace appkit {

class MessageBoxAlertPresenter : public AlertPresenter {
 public:
  // The box belongs to `window`'s top-level window and goes with it; if the window is destroyed
  // first, the completion does not run.
  void beginSheetModal(const Alert& alert, QWidget* window, Completion completion) override;
  long runModal(const Alert& alert) override;
};

}  // namespace appkit
