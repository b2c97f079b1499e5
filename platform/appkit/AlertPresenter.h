#pragma once
// AlertPresenter is how alerts reach the user. The shared presenter shows them as window-modal
// message boxes (MessageBoxAlertPresenter.h); tests put a FakeAlertPresenter in its place, which
// records them and answers as scripted, so windows can be tested without anyone clicking.
#include <functional>
#include <memory>

class QWidget;

namespace appkit {

class Alert;

class AlertPresenter {
 public:
  using Completion = std::function<void(long returnCode)>;

  virtual ~AlertPresenter() = default;

  // Shows `alert` as a sheet on `window` (on its own when `window` is null) and returns at once;
  // `completion` runs once on the main thread with the code of the button that ended it.
  virtual void beginSheetModal(const Alert& alert, QWidget* window, Completion completion) = 0;
  // Shows `alert` on its own, waits for the answer and returns its code.
  virtual long runModal(const Alert& alert) = 0;

  // The presenter in use: the message-box one unless replaced. Never null. Thread-safe.
  static std::shared_ptr<AlertPresenter> shared();
  // Replaces it; null puts the message-box presenter back. Thread-safe.
  static void setShared(std::shared_ptr<AlertPresenter> presenter);
};

}  // namespace appkit
