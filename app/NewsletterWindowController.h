#pragma once
// NewsletterWindowController owns the newsletter sign-up window: an e-mail field, a spinner and a
// "Subscribe" button. Subscribing sends one form POST to the newsletter service's "/subscribe"
// path and tells the user what the service's plain-text reply means; a confirmed or an existing
// subscription sets the user default "newsletterSubscribed" for good.
//
// The service's address is the information key "QMNewsletterURL" of the main bundle (a build
// setting, empty by default). Without one, subscribing says so and sends nothing.
//
// Main thread only. Lives for the whole run; its window is built when first shown. Whatever the
// user typed stays in the field until they change it.
#include <functional>
#include <memory>
#include <string>

#include "platform/appkit/WindowController.h"
#include "platform/foundation/Value.h"

class QLineEdit;
class QProgressBar;
class QPushButton;

namespace app {

class NewsletterWindowController : public appkit::WindowController {
 public:
  // The information key holding the service's address (scheme, host and any path prefix).
  static constexpr const char* kServiceURLKey = "QMNewsletterURL";
  static constexpr const char* kSubscribePath = "/subscribe";
  // The list the address is subscribed to.
  static constexpr const char* kListIdentifier = "Rk42mTzqW9Lp3VbXa7HcNe5Ud8";
  // Where the newsletter's e-mails come from, named when an address is already subscribed.
  static constexpr const char* kSenderAddress = "newsletter@quillmere.org";
  // The user default set once the service has the address.
  static constexpr const char* kSubscribedKey = "newsletterSubscribed";

  NewsletterWindowController();
  ~NewsletterWindowController() override;

  // The window's parts. Null until the window has been built; owned by the window.
  QLineEdit* emailTextField() const { return emailTextField_; }
  // Shown and running while a request is under way, hidden otherwise.
  QProgressBar* spinner() const { return spinner_; }
  QPushButton* subscribeButton() const { return subscribeButton_; }
  QPushButton* cancelButton() const { return cancelButton_; }

  // The subscribe button's action. A blank address gets an alert and goes nowhere; so does any
  // address when no service is configured. Otherwise the field and button are disabled and the
  // spinner runs until the service answers or the request fails; each outcome ends in an alert
  // as a sheet on the window. Builds the window if needed.
  void subscribe();
  // Closes the window; the typed address stays for the next showing.
  void cancel();
  // Shows the generic failure alert, asynchronously on the main queue.
  void oops();

  // The full subscription URL: the configured service address without trailing "/" followed by
  // "/subscribe"; "" when the main bundle names no service.
  static std::string subscriptionURL();

 protected:
  std::unique_ptr<QWidget> makeWindow() override;

 private:
  // Disables the field and button and starts the spinner, or the reverse; idle also gives the
  // field the keyboard focus.
  void setSending(bool sending);
  // The success handler: the reply text (null when it was not UTF-8).
  void handleReply(const foundation::Value& reply);
  // The failure handler: transport failure or a request that could not be built.
  void handleFailure();
  // Shows an alert with a single "OK" as a sheet on the window, asynchronously on the main queue
  // when `later`; `dismissed` runs once it is answered (not if the controller is gone by then).
  void showAlert(const std::string& message, const std::string& informative, bool later,
                 std::function<void()> dismissed = {});

  QLineEdit* emailTextField_ = nullptr;
  QProgressBar* spinner_ = nullptr;
  QPushButton* subscribeButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  // Handlers that outlive the controller see this expired and do nothing.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace app
