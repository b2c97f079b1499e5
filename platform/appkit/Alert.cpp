#include "platform/appkit/Alert.h"

#include "platform/appkit/AlertPresenter.h"

namespace appkit {

long Alert::addButtonWithTitle(std::string title) {
  buttons_.push_back(std::move(title));
  return returnCodeForButtonAt(buttons_.size() - 1);
}

std::vector<std::string> Alert::buttonTitles() const {
  if (buttons_.empty()) return {"OK"};
  return buttons_;
}

void Alert::beginSheetModalForWindow(QWidget* window, std::function<void(long)> completion) const {
  AlertPresenter::shared()->beginSheetModal(*this, window, std::move(completion));
}

long Alert::runModal() const { return AlertPresenter::shared()->runModal(*this); }

}  // namespace appkit
