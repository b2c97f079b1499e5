#pragma once
// FeedbackWindowController runs the feedback window: three tabs (a support question, a feature
// request with its importance, a bug report with what was expected, the steps to reproduce it and
// whether it is critical), a shared e-mail field, a send button and a progress indicator. Sending builds a
// JSON report of the current tab and posts it to the main bundle's "QMSubmitFeedbackURL" (a build
// setting, empty by default; without one, sending says so and posts nothing). A report that was
// accepted empties the text areas and closes the window; one that failed leaves the form as it
// was.
//
// Main thread only. Owned by its FeedbackPanel; the window is built when first shown and reused.
#include <functional>
#include <memory>
#include <string>

#include "platform/appkit/WindowController.h"
#include "platform/foundation/Value.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTabBar;

namespace app {

class FeedbackPanel;
class FeedbackPanelDelegate;

class FeedbackWindowController : public appkit::WindowController {
 public:
  // The tabs, by segment tag.
  static constexpr int kSupportTab = 0;
  static constexpr int kFeatureTab = 1;
  static constexpr int kBugTab = 2;
  // The information key naming where reports are posted.
  static constexpr const char* kSubmitURLKey = "QMSubmitFeedbackURL";

  FeedbackWindowController();
  ~FeedbackWindowController() override;

  // The window's parts. Null until the window has been built; owned by the window.
  QTabBar* tabs() const { return tabs_; }
  QStackedWidget* tabView() const { return tabView_; }
  QWidget* viewSupport() const { return viewSupport_; }
  QWidget* viewFeature() const { return viewFeature_; }
  QWidget* viewBug() const { return viewBug_; }
  QPlainTextEdit* txtQuestion() const { return txtQuestion_; }
  QPlainTextEdit* txtFeature() const { return txtFeature_; }
  QComboBox* btnImportance() const { return btnImportance_; }
  QPlainTextEdit* txtWhatHappened() const { return txtWhatHappened_; }
  QPlainTextEdit* txtStepsToReproduce() const { return txtStepsToReproduce_; }
  QCheckBox* btnIsCritical() const { return btnIsCritical_; }
  QLineEdit* txtEmailAddress() const { return txtEmailAddress_; }
  // Shown and running while a report is being sent, hidden otherwise.
  QProgressBar* piStatus() const { return piStatus_; }
  QPushButton* btnSend() const { return btnSend_; }

  // Each shows the window, selects its tab, enables the send button by sendButtonIsEnabled and
  // puts the keyboard focus in the tab's first text area.
  void presentFeedbackPanelForSupport();
  void presentFeedbackPanelForFeature();
  void presentFeedbackPanelForBug();
  // Shows the window and brings it to the front.
  void showFeedbackWindow();
  // The tab bar's action: shows the tab now selected; any other value does nothing.
  void selectedTabDidChange();
  // Sets the send button's enabled state from sendButtonIsEnabled. Called on every text change.
  void textDidChange();
  // Support and feature tabs: only when their text area holds text. The bug tab, or no tab: always.
  bool sendButtonIsEnabled() const;

  // The send button's action. A blank e-mail address first asks whether to add one ("Add Email
  // Address" puts the focus in the field and sends nothing) or to send without it; otherwise,
  // or on that second answer, reallySendFeedback.
  void sendFeedback();
  // Builds the report and posts it; an alert as a sheet on the window tells how it ended. Sends
  // nothing when no address is configured or the delegate refuses the report.
  void reallySendFeedback();
  // The report for the form as it stands: "appname", "appversion" (when known), "systemversion",
  // "appstore", "email" as typed, and for the selected tab "type", "message" and either
  // "importance" (feature) or, when ticked, "critical" (bug). Builds the window if needed.
  foundation::Dictionary report();

  FeedbackPanel* feedbackPanel() const { return feedbackPanel_; }
  void setFeedbackPanel(FeedbackPanel* front) { feedbackPanel_ = front; }
  std::weak_ptr<FeedbackPanelDelegate> delegate() const { return delegate_; }
  void setDelegate(std::weak_ptr<FeedbackPanelDelegate> delegate) { delegate_ = std::move(delegate); }

 protected:
  std::unique_ptr<QWidget> makeWindow() override;
  // Titles the window after the program's display name.
  void windowDidLoad() override;

 private:
  void present(int tab);
  void setStatusRunning(bool running);
  // Shows an alert with a single "OK" as a sheet on the window; `dismissed` runs once it has
  // been answered (not if the controller is gone by then).
  void showAlert(const std::string& message, const std::string& informative, std::function<void()> dismissed = {});
  void reportSent();
  void reportFailed();

  QTabBar* tabs_ = nullptr;
  QStackedWidget* tabView_ = nullptr;
  QWidget* viewSupport_ = nullptr;
  QWidget* viewFeature_ = nullptr;
  QWidget* viewBug_ = nullptr;
  QPlainTextEdit* txtQuestion_ = nullptr;
  QPlainTextEdit* txtFeature_ = nullptr;
  QComboBox* btnImportance_ = nullptr;
  QPlainTextEdit* txtWhatHappened_ = nullptr;
  QPlainTextEdit* txtStepsToReproduce_ = nullptr;
  QCheckBox* btnIsCritical_ = nullptr;
  QLineEdit* txtEmailAddress_ = nullptr;
  QProgressBar* piStatus_ = nullptr;
  QPushButton* btnSend_ = nullptr;
  FeedbackPanel* feedbackPanel_ = nullptr;
  std::weak_ptr<FeedbackPanelDelegate> delegate_;
  // Handlers that outlive the controller see this expired and do nothing.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace app
