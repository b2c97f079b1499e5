#pragma once
// FakeAlertPresenter stands in for the message-box presenter in tests: it records every alert it
// is given, with its window, and answers with scripted return codes instead of showing anything.
// Sheets are answered at once, inside beginSheetModal, unless holdSheets(true) keeps them open
// until endSheet(), for tests that look at what happens while a sheet is up. Main thread only.
#include <cstddef>
#include <deque>
#include <vector>

#include "platform/appkit/Alert.h"
#include "platform/appkit/AlertPresenter.h"

namespace appkit {

class FakeAlertPresenter : public AlertPresenter {
 public:
  // One alert as it was presented.
  struct Presentation {
    Alert alert;
    QWidget* window = nullptr;  // the sheet's window; null for runModal and window-less sheets
    bool asSheet = false;
  };

  // Queues the code of the next answer; answers beyond the queue are kAlertFirstButtonReturn.
  void answerWith(long returnCode) { answers_.push_back(returnCode); }
  // Whether sheets wait for endSheet() instead of being answered at once.
  void holdSheets(bool hold) { holdSheets_ = hold; }
  // Ends the oldest held sheet with `returnCode`, running its completion; false when none waits.
  bool endSheet(long returnCode);
  std::size_t pendingSheetCount() const { return pending_.size(); }

  // Every alert presented so far, in order.
  const std::vector<Presentation>& presentations() const { return presentations_; }

  void beginSheetModal(const Alert& alert, QWidget* window, Completion completion) override;
  long runModal(const Alert& alert) override;

 private:
  long nextAnswer();

  std::deque<long> answers_;
  bool holdSheets_ = false;
  std::deque<Completion> pending_;
  std::vector<Presentation> presentations_;
};

}  // namespace appkit
