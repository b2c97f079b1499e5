#include "app/NewsletterWindowController.h"

#include <QHBoxLayout>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>
#include <QWidget>

#include "app/RLHTMLResponseSerializer.h"
#include "app/WindowParts.h"
#include "net/callbacks/RLHTTPSessionManager.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/String.h"
#include "platform/foundation/UserDefaults.h"

namespace app {

namespace {

constexpr const char* kReplySubscribed = "1";
constexpr const char* kReplyAlreadySubscribed = "Already subscribed.";
constexpr const char* kReplyInvalidAddress = "Invalid email address.";

void recordSubscription() {
  auto& defaults = foundation::UserDefaults::standardUserDefaults();
  defaults.set(true, NewsletterWindowController::kSubscribedKey);
  defaults.synchronize();
}

}  // namespace

NewsletterWindowController::NewsletterWindowController() : appkit::WindowController("Quillmere Newsletter") {}

NewsletterWindowController::~NewsletterWindowController() = default;

std::unique_ptr<QWidget> NewsletterWindowController::makeWindow() {
  auto window = std::make_unique<QWidget>();
  auto* layout = new QVBoxLayout(window.get());
  auto* headline = new QLabel(QStringLiteral("Join the Quillmere Newsletter"));
  QFont headlineFont = headline->font();
  headlineFont.setBold(true);
  headline->setFont(headlineFont);
  auto* explanation = new QLabel(QStringLiteral("Hear about new versions and tips now and then. Enter your email address:"));
  explanation->setWordWrap(true);
  emailTextField_ = new QLineEdit();
  emailTextField_->setPlaceholderText(QStringLiteral("you@example.org"));
  layout->addWidget(headline);
  layout->addWidget(explanation);
  layout->addWidget(emailTextField_);

  auto* buttons = new QHBoxLayout();
  spinner_ = makeBusyIndicator();
  cancelButton_ = new QPushButton(QStringLiteral("Cancel"));
  subscribeButton_ = new QPushButton(QStringLiteral("Subscribe"));
  subscribeButton_->setDefault(true);
  buttons->addWidget(spinner_);
  buttons->addStretch();
  buttons->addWidget(cancelButton_);
  buttons->addWidget(subscribeButton_);
  layout->addLayout(buttons);

  QObject::connect(subscribeButton_, &QPushButton::clicked, [this] { subscribe(); });
  QObject::connect(cancelButton_, &QPushButton::clicked, [this] { cancel(); });
  QObject::connect(emailTextField_, &QLineEdit::returnPressed, [this] {
    if (subscribeButton_->isEnabled()) subscribe();
  });
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), window.get());
  QObject::connect(escape, &QShortcut::activated, [this] { cancel(); });
  return window;
}

std::string NewsletterWindowController::subscriptionURL() {
  std::string service = configuredEndpoint(kServiceURLKey);
  while (!service.empty() && service.back() == '/') service.pop_back();
  if (service.empty()) return {};
  return service + kSubscribePath;
}

void NewsletterWindowController::subscribe() {
  if (!window()) return;
  const std::string address = foundation::trim(emailTextField_->text().toStdString());
  if (address.empty()) {
    showAlert("Please Enter Your Email Address", "You must enter a valid email address to subscribe.", false);
    return;
  }
  const std::string url = subscriptionURL();
  if (url.empty()) {
    showAlert("The Newsletter Is Not Set Up",
              "This copy of Quillmere has no newsletter service to send your address to, so it was not sent.",
              false);
    return;
  }
  setSending(true);
  auto manager = RLHTTPSessionManager::manager();
  manager->setResponseSerializer(std::make_shared<RLHTMLResponseSerializer>());
  const foundation::Value fields(
      foundation::Dictionary{{"boolean", "true"}, {"email", address}, {"list", kListIdentifier}});
  std::weak_ptr<int> alive = alive_;
  manager->POST(
      url, fields,
      [this, alive](const RLHTTPSessionManager::DataTaskPtr&, const foundation::Value& reply) {
        if (alive.lock()) handleReply(reply);
      },
      [this, alive](const RLHTTPSessionManager::DataTaskPtr&, const foundation::Error&) {
        if (alive.lock()) handleFailure();
      });
  // One request per manager: its session ends once the request has, and lets the manager go.
  manager->invalidateSessionCancelingTasks(false);
}

void NewsletterWindowController::handleReply(const foundation::Value& reply) {
  setSending(false);
  // A body that was not UTF-8 comes as null and reads as "", which is none of the known replies.
  const std::string text = reply.isString() ? reply.stringValue() : std::string();
  if (text == kReplySubscribed) {
    recordSubscription();
    showAlert("Success!", "You have been successfully subscribed to our newsletter. Thanks for your interest!", true,
              [this] { close(); });
  } else if (text == kReplyAlreadySubscribed) {
    recordSubscription();
    showAlert("That email address is already subscribed.",
              std::string("Your email address is already a member of our newsletter. If you're not receiving our "
                          "emails, please check your spam folder. They'll be addressed from \"") +
                  kSenderAddress + "\"",
              true);
  } else if (text == kReplyInvalidAddress) {
    showAlert("Invalid email address.", "The email address you entered is not valid.", true);
  } else {
    oops();
  }
}

void NewsletterWindowController::handleFailure() {
  setSending(false);
  oops();
}

void NewsletterWindowController::oops() {
  showAlert("Oops! Something went wrong.", "We encountered an error when trying to subscribe you. Try again?", true);
}

void NewsletterWindowController::cancel() { close(); }

void NewsletterWindowController::setSending(bool sending) {
  if (!emailTextField_) return;
  emailTextField_->setEnabled(!sending);
  subscribeButton_->setEnabled(!sending);
  spinner_->setVisible(sending);
  if (!sending) emailTextField_->setFocus();
}

void NewsletterWindowController::showAlert(const std::string& message, const std::string& informative, bool later,
                                           std::function<void()> dismissed) {
  auto present = [this, message, informative, alive = std::weak_ptr<int>(alive_), dismissed = std::move(dismissed)] {
    if (alive.lock()) showNoticeSheet(window(), message, informative, alive, dismissed);
  };
  if (later) {
    dispatch::Queue::main()->async(std::move(present));
  } else {
    present();
  }
}

}  // namespace app
