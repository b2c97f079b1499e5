#include "platform/appkit/Application.h"

#include <optional>
#include <utility>

#include <QApplication>
#include <QObject>
#include <QSessionManager>

#include "platform/appkit/ApplicationActivation.h"
#include "platform/appkit/QtMainLoopDriver.h"
#include "platform/appkit/TerminationSignals.h"
#include "platform/foundation/Bundle.h"

namespace appkit {

namespace {

Application* sharedApplication = nullptr;

// The string under `key` in the main bundle's information, when there is a non-empty one.
std::optional<QString> mainBundleString(const char* key) {
  const foundation::Value value = foundation::Bundle::mainBundle()->objectForInfoDictionaryKey(key);
  if (!value.isString() || value.stringValue().empty()) return std::nullopt;
  return QString::fromStdString(value.stringValue());
}

// Qt's application name is the class of the windows on X11, which the desktop entry names as
// StartupWMClass; its desktop file name is the windows' app id on Wayland, which the desktop
// matches with the entry's file name. Both come from the bundle, as the entry does.
void nameAfterMainBundle() {
  if (auto name = mainBundleString(foundation::kCFBundleNameKey)) QCoreApplication::setApplicationName(*name);
  if (auto identifier = mainBundleString(foundation::kCFBundleIdentifierKey)) {
    QGuiApplication::setDesktopFileName(*identifier);
  }
}

}  // namespace

Application::Application(int& argc, char** argv) {
  if (!QCoreApplication::instance()) ownedApplication_ = std::make_unique<QApplication>(argc, argv);
  sharedApplication = this;
  nameAfterMainBundle();
  context_ = std::make_unique<QObject>();
  // Whether the last window ends the application is the delegate's decision, not Qt's.
  QGuiApplication::setQuitOnLastWindowClosed(false);
  auto* app = qApp;
  QObject::connect(app, &QGuiApplication::lastWindowClosed, context_.get(), [this] {
    if (!delegate_ || delegate_->perform(ApplicationDelegate::kShouldTerminateAfterLastWindowClosed).boolValue()) {
      terminate();
    }
  });
  QObject::connect(app, &QGuiApplication::commitDataRequest, context_.get(), [this](QSessionManager&) { terminate(); });
  // Qt may end the loop by itself (the session manager, a plain quit()): the delegate still hears.
  QObject::connect(app, &QCoreApplication::aboutToQuit, context_.get(), [this] { willTerminateOnce(); });
  driver_ = std::make_unique<QtMainLoopDriver>();
  signals_ = std::make_unique<TerminationSignals>([this](int) { terminate(); });
  activation_ = std::make_unique<ApplicationActivation>();
}

Application::~Application() {
  delegate_.reset();
  activation_.reset();
  signals_.reset();
  driver_.reset();
  context_.reset();
  if (sharedApplication == this) sharedApplication = nullptr;
  ownedApplication_.reset();
}

Application* Application::shared() { return sharedApplication; }

Application::SetDelegateImplementation& Application::setDelegateSlot() {
  static SetDelegateImplementation slot = &Application::primitiveSetDelegate;
  return slot;
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
  const SetDelegateImplementation implementation = setDelegateSlot();
  implementation(*this, std::move(delegate));
}

void Application::primitiveSetDelegate(Application& application, std::shared_ptr<ApplicationDelegate> delegate) {
  application.delegate_ = std::move(delegate);
}

Application::SetDelegateImplementation Application::replaceSetDelegateImplementation(
    SetDelegateImplementation implementation) {
  return std::exchange(setDelegateSlot(), std::move(implementation));
}

int Application::run() {
  if (!launched_) finishLaunching();
  if (terminating_) return 0;
  return QCoreApplication::exec();
}

void Application::finishLaunching() {
  launched_ = true;
  if (delegate_) delegate_->perform(ApplicationDelegate::kWillFinishLaunching);
  if (terminating_) return;
  if (delegate_) delegate_->perform(ApplicationDelegate::kDidFinishLaunching);
}

void Application::terminate() {
  if (terminating_) return;
  terminating_ = true;
  willTerminateOnce();
  // Leaves every loop of the main thread, nested modal ones included; ignored when none runs
  // yet, which run() covers by not starting the loop.
  QCoreApplication::exit(0);
}

void Application::willTerminateOnce() {
  if (willTerminateSent_) return;
  willTerminateSent_ = true;
  terminating_ = true;
  if (delegate_) delegate_->perform(ApplicationDelegate::kWillTerminate);
}

}  // namespace appkit
