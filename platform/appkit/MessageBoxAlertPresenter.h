#pragma once
// MessageBoxAlertPresenter shows alerts as Qt message boxes: a sheet becomes a box that is modal
// to its window only (the rest of the application stays usable), runModal a box modal to the
// whole application. The first button is the default (Return); a button titled "Cancel", or
// the only button, answers Escape and the window's close button. Main thread only.
#include "platform/appkit/AlertPresenter.h"

namespace appkit {

class MessageBoxAlertPresenter : public AlertPresenter {
 public:
  // The box belongs to `window` and goes with it; if the window is destroyed first, the
  // completion does not run.
  void beginSheetModal(const Alert& alert, QWidget* window, Completion completion) override;
  long runModal(const Alert& alert) override;
};

}  // namespace appkit
