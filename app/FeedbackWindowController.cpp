#include "app/FeedbackWindowController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTabBar>
#include <QVBoxLayout>
#include <QWidget>

#include "app/FeedbackHostInfo.h"
#include "app/FeedbackPanel.h"
#include "app/WindowParts.h"
#include "net/callbacks/RLHTTPSessionManager.h"
#include "net/callbacks/RLJSONRequestSerializer.h"
#include "net/callbacks/RLJSONResponseSerializer.h"
#include "platform/appkit/Alert.h"
#include "platform/foundation/String.h"

namespace app {

namespace {

std::string plainText(const QPlainTextEdit* view) { return view->toPlainText().toStdString(); }

QPlainTextEdit* textArea() {
  auto* view = new QPlainTextEdit();
  view->setTabChangesFocus(true);
  return view;
}

// A tab page: each label above its field, top to bottom.
QWidget* page(std::initializer_list<std::pair<const char*, QWidget*>> rows) {
  auto* view = new QWidget();
  auto* layout = new QVBoxLayout(view);
  layout->setContentsMargins(0, 0, 0, 0);
  for (const auto& [label, field] : rows) {
    if (label) layout->addWidget(new QLabel(QString::fromUtf8(label)));
    layout->addWidget(field, qobject_cast<QPlainTextEdit*>(field) ? 1 : 0);
  }
  return view;
}

}  // namespace

FeedbackWindowController::FeedbackWindowController() = default;

FeedbackWindowController::~FeedbackWindowController() = default;

std::unique_ptr<QWidget> FeedbackWindowController::makeWindow() {
  auto window = std::make_unique<QWidget>();
  window->resize(520, 420);
  auto* layout = new QVBoxLayout(window.get());

  tabs_ = new QTabBar();
  tabs_->addTab(QStringLiteral("Ask a Question"));
  tabs_->addTab(QStringLiteral("Request a Feature"));
  tabs_->addTab(QStringLiteral("Report a Bug"));
  tabs_->setExpanding(false);
  layout->addWidget(tabs_, 0, Qt::AlignHCenter);

  txtQuestion_ = textArea();
  txtFeature_ = textArea();
  btnImportance_ = new QComboBox();
  btnImportance_->addItems({QStringLiteral("Low"), QStringLiteral("Medium"), QStringLiteral("High")});
  btnImportance_->setCurrentIndex(1);
  txtWhatHappened_ = textArea();
  txtStepsToReproduce_ = textArea();
  btnIsCritical_ = new QCheckBox(QStringLiteral("This problem is critical: I cannot use Quillmere because of it"));

  auto* importanceRow = new QWidget();
  auto* importanceLayout = new QHBoxLayout(importanceRow);
  importanceLayout->setContentsMargins(0, 0, 0, 0);
  importanceLayout->addWidget(new QLabel(QStringLiteral("Importance:")));
  importanceLayout->addWidget(btnImportance_);
  importanceLayout->addStretch();

  viewSupport_ = page({{"What would you like to ask?", txtQuestion_}});
  viewFeature_ = page({{"Which feature would you like to see?", txtFeature_}, {nullptr, importanceRow}});
  viewBug_ = page({{"What did you expect to happen?", txtWhatHappened_},
                   {"What steps will reproduce the problem?", txtStepsToReproduce_},
                   {nullptr, btnIsCritical_}});
  tabView_ = new QStackedWidget();
  for (QWidget* view : {viewSupport_, viewFeature_, viewBug_}) tabView_->addWidget(view);
  layout->addWidget(tabView_, 1);

  auto* emailRow = new QFormLayout();
  txtEmailAddress_ = new QLineEdit();
  txtEmailAddress_->setPlaceholderText(QStringLiteral("Optional, so that we can answer you"));
  emailRow->addRow(QStringLiteral("Your email address:"), txtEmailAddress_);
  layout->addLayout(emailRow);

  auto* buttons = new QHBoxLayout();
  piStatus_ = makeBusyIndicator();
  btnSend_ = new QPushButton(QStringLiteral("Send"));
  btnSend_->setDefault(true);
  buttons->addWidget(piStatus_);
  buttons->addStretch();
  buttons->addWidget(btnSend_);
  layout->addLayout(buttons);

  QObject::connect(tabs_, &QTabBar::currentChanged, [this] { selectedTabDidChange(); });
  for (QPlainTextEdit* view : {txtQuestion_, txtFeature_, txtWhatHappened_, txtStepsToReproduce_}) {
    QObject::connect(view, &QPlainTextEdit::textChanged, [this] { textDidChange(); });
  }
  QObject::connect(btnImportance_, &QComboBox::currentIndexChanged, [this] { textDidChange(); });
  QObject::connect(btnSend_, &QPushButton::clicked, [this] { sendFeedback(); });
  return window;
}

void FeedbackWindowController::windowDidLoad() { setWindowTitle(feedback::hostDisplayName() + " Feedback"); }

void FeedbackWindowController::presentFeedbackPanelForSupport() { present(kSupportTab); }
void FeedbackWindowController::presentFeedbackPanelForFeature() { present(kFeatureTab); }
void FeedbackWindowController::presentFeedbackPanelForBug() { present(kBugTab); }

void FeedbackWindowController::present(int tab) {
  showFeedbackWindow();
  if (!window()) return;
  {
    // The tab bar would call back into here for the change made just below.
    const QSignalBlocker blocker(tabs_);
    tabs_->setCurrentIndex(tab);
  }
  QWidget* views[] = {viewSupport_, viewFeature_, viewBug_};
  QPlainTextEdit* firstResponders[] = {txtQuestion_, txtFeature_, txtWhatHappened_};
  tabView_->setCurrentWidget(views[tab]);
  btnSend_->setEnabled(sendButtonIsEnabled());
  firstResponders[tab]->setFocus();
}

void FeedbackWindowController::showFeedbackWindow() { showWindow(); }

void FeedbackWindowController::selectedTabDidChange() {
  if (!tabs_) return;
  const int tab = tabs_->currentIndex();
  if (tab == kSupportTab || tab == kFeatureTab || tab == kBugTab) present(tab);
}

void FeedbackWindowController::textDidChange() {
  if (btnSend_) btnSend_->setEnabled(sendButtonIsEnabled());
}

bool FeedbackWindowController::sendButtonIsEnabled() const {
  if (!tabs_) return true;
  switch (tabs_->currentIndex()) {
    case kSupportTab:
      return !txtQuestion_->toPlainText().isEmpty();
    case kFeatureTab:
      return !txtFeature_->toPlainText().isEmpty();
    default:
      return true;
  }
}

void FeedbackWindowController::sendFeedback() {
  if (!window()) return;
  if (!foundation::trim(txtEmailAddress_->text().toStdString()).empty()) {
    reallySendFeedback();
    return;
  }
  appkit::Alert alert;
  alert.setMessageText("You haven't entered your email address.");
  alert.setInformativeText(
      "Providing your email address along with your feedback is optional, but please note that we won't be able to "
      "respond to you if it is not provided.");
  alert.addButtonWithTitle("Add Email Address");
  alert.addButtonWithTitle("Send Without Email Address");
  alert.beginSheetModalForWindow(window(), [this, alive = std::weak_ptr<int>(alive_)](long returnCode) {
    if (!alive.lock()) return;
    if (returnCode == appkit::kAlertFirstButtonReturn) {
      txtEmailAddress_->setFocus();
      return;
    }
    reallySendFeedback();
  });
}

foundation::Dictionary FeedbackWindowController::report() {
  foundation::Dictionary report;
  if (!window()) return report;
  report.set("appname", feedback::hostName());
  if (const auto version = feedback::hostVersion()) report.set("appversion", *version);
  report.set("systemversion", feedback::systemVersion());
  report.set("appstore", "0");
  report.set("email", txtEmailAddress_->text().toStdString());
  switch (tabs_->currentIndex()) {
    case kSupportTab:
      report.set("type", "support");
      report.set("message", plainText(txtQuestion_));
      break;
    case kFeatureTab:
      report.set("type", "feature");
      report.set("message", plainText(txtFeature_));
      report.set("importance", btnImportance_->currentText().toStdString());
      break;
    case kBugTab:
      report.set("type", "bug");
      report.set("message", "What did you expect to happen?\n" + plainText(txtWhatHappened_) +
                                "\n\nWhat steps will reproduce the problem?\n" + plainText(txtStepsToReproduce_));
      if (btnIsCritical_->isChecked()) report.set("critical", "1");
      break;
    default:
      break;
  }
  return report;
}

void FeedbackWindowController::reallySendFeedback() {
  if (!window()) return;
  const std::string url = configuredEndpoint(kSubmitURLKey);
  if (url.empty()) {
    showAlert("Feedback Is Not Set Up",
              "This copy of Quillmere has no address to send feedback to, so your feedback was not sent.");
    return;
  }
  setStatusRunning(true);
  const foundation::Dictionary body = report();
  if (const auto delegate = delegate_.lock(); delegate && feedbackPanel_) {
    if (!delegate->feedbackPanelWillSendData(*feedbackPanel_, body)) {
      setStatusRunning(false);
      close();
      return;
    }
  }
  auto manager = RLHTTPSessionManager::manager();
  manager->setResponseSerializer(RLJSONResponseSerializer::serializer());
  auto serializer = RLJSONRequestSerializer::serializer();
  serializer->setValue("application/json", "Content-Type");
  manager->setRequestSerializer(serializer);
  std::weak_ptr<int> alive = alive_;
  manager->POST(
      url, foundation::Value(body),
      [this, alive](const RLHTTPSessionManager::DataTaskPtr&, const foundation::Value&) {
        if (alive.lock()) reportSent();
      },
      [this, alive](const RLHTTPSessionManager::DataTaskPtr&, const foundation::Error&) {
        if (alive.lock()) reportFailed();
      });
  // One request per manager: its session ends once the request has, and lets the manager go.
  manager->invalidateSessionCancelingTasks(false);
}

void FeedbackWindowController::reportSent() {
  showAlert("Feedback Sent!", "Your feedback was successfully sent. Thank you!", [this] {
    setStatusRunning(false);
    for (QPlainTextEdit* view : {txtQuestion_, txtFeature_, txtWhatHappened_, txtStepsToReproduce_}) view->clear();
    close();
  });
}

void FeedbackWindowController::reportFailed() {
  setStatusRunning(false);
  showAlert("Unable To Send Feedback",
            "We were unable to send your feedback due to a network error. Please try again.");
}

void FeedbackWindowController::setStatusRunning(bool running) {
  if (piStatus_) piStatus_->setVisible(running);
}

void FeedbackWindowController::showAlert(const std::string& message, const std::string& informative,
                             std::function<void()> dismissed) {
  showNoticeSheet(window(), message, informative, alive_, std::move(dismissed));
}

}  // namespace app
