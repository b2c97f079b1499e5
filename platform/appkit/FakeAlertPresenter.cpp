#include "platform/appkit/FakeAlertPresenter.h"

namespace appkit {

long FakeAlertPresenter::nextAnswer() {
  if (answers_.empty()) return kAlertFirstButtonReturn;
  const long code = answers_.front();
  answers_.pop_front();
  return code;
}

void FakeAlertPresenter::beginSheetModal(const Alert& alert, QWidget* window, Completion completion) {
  presentations_.push_back(Presentation{alert, window, true});
  if (holdSheets_) {
    pending_.push_back(std::move(completion));
    return;
  }
  const long code = nextAnswer();
  if (completion) completion(code);
}

bool FakeAlertPresenter::endSheet(long returnCode) {
  if (pending_.empty()) return false;
  Completion completion = std::move(pending_.front());
  pending_.pop_front();
  if (completion) completion(returnCode);
  return true;
}

long FakeAlertPresenter::runModal(const Alert& alert) {
  presentations_.push_back(Presentation{alert, nullptr, false});
  return nextAnswer();
}

}  // namespace appkit
