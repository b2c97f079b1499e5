#include "app/AboutWindowController.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <QWindow>

#include "platform/appkit/Workspace.h"
#include "platform/foundation/Bundle.h"

namespace app {

namespace {

// Starts a system move when the window's own background (not a control) is pressed, so the
// window can be dragged from anywhere on it.
class BackgroundMover : public QObject {
 public:
  explicit BackgroundMover(QWidget* window) : QObject(window), window_(window) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched != window_ || event->type() != QEvent::MouseButtonPress) return false;
    auto* press = static_cast<QMouseEvent*>(event);
    if (press->button() != Qt::LeftButton || !window_->windowHandle()) return false;
    return window_->windowHandle()->startSystemMove();
  }

 private:
  QWidget* window_;
};

// The short version string as text: a string as it is, a number in its description form.
std::string shortVersion() {
  const foundation::Value value =
      foundation::Bundle::mainBundle()->objectForInfoDictionaryKey(foundation::kCFBundleShortVersionStringKey);
  if (value.isString()) return value.stringValue();
  if (value.isNumber()) return value.description();
  return {};
}

}  // namespace

AboutWindowController::AboutWindowController() : appkit::WindowController("About Quillmere") {}

std::unique_ptr<QWidget> AboutWindowController::makeWindow() {
  auto window = std::make_unique<QWidget>();
  auto* layout = new QVBoxLayout(window.get());
  auto* name = new QLabel(QStringLiteral("Quillmere"));
  QFont nameFont = name->font();
  nameFont.setBold(true);
  nameFont.setPointSizeF(nameFont.pointSizeF() * 1.5);
  name->setFont(nameFont);
  name->setAlignment(Qt::AlignCenter);
  versionTextField_ = new QLabel();
  versionTextField_->setAlignment(Qt::AlignCenter);
  versionTextField_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(name);
  layout->addWidget(versionTextField_);

  auto* buttons = new QHBoxLayout();
  supportButton_ = new QPushButton(QStringLiteral("Support"));
  acknowledgementsButton_ = new QPushButton(QStringLiteral("Acknowledgments"));
  closeButton_ = new QPushButton(QStringLiteral("Close"));
  buttons->addWidget(supportButton_);
  buttons->addWidget(acknowledgementsButton_);
  buttons->addStretch();
  buttons->addWidget(closeButton_);
  layout->addLayout(buttons);

  QObject::connect(supportButton_, &QPushButton::clicked, [this] { support(); });
  QObject::connect(acknowledgementsButton_, &QPushButton::clicked, [this] { acks(); });
  QObject::connect(closeButton_, &QPushButton::clicked, [this] { close(); });
  return window;
}

void AboutWindowController::windowDidLoad() {
  QWidget* shown = window();
  shown->installEventFilter(new BackgroundMover(shown));
  const std::string version = shortVersion();
  // Without a version there is nothing true to show: the field stays empty.
  if (version.empty()) return;
  versionTextField_->setText(QString::fromStdString("Version " + version));
}

void AboutWindowController::close() {
  if (isWindowLoaded()) window()->hide();
}

void AboutWindowController::support() {
  appkit::Workspace::sharedWorkspace()->openURL(std::string(kWebSite) + kSupportPath);
}

void AboutWindowController::acks() {
  appkit::Workspace::sharedWorkspace()->openURL(std::string(kWebSite) + kAcknowledgementsPath);
}

}  // namespace app
