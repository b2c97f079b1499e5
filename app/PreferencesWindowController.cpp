#include "app/PreferencesWindowController.h"

#include <QCheckBox>
#include <QEvent>
#include <QVBoxLayout>
#include <QWidget>

#include <string>

#include "platform/foundation/UserDefaults.h"

namespace app {

namespace {

// Reloads the check boxes each time the window is shown, so they follow defaults changed
// elsewhere while the window was hidden.
class ShowWatcher : public QObject {
 public:
  ShowWatcher(QWidget* window, PreferencesWindowController& controller)
      : QObject(window), window_(window), controller_(controller) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == window_ && event->type() == QEvent::Show) controller_.reloadFromDefaults();
    return false;
  }

 private:
  QWidget* window_;
  PreferencesWindowController& controller_;
};

// A check box that writes `key` whenever the user toggles it. Changes made by the program
// (reloading) are not written back: they came from the defaults.
QCheckBox* boundCheckBox(const QString& title, const std::string& key, foundation::UserDefaults& defaults) {
  auto* box = new QCheckBox(title);
  QObject::connect(box, &QCheckBox::clicked,
                   [&defaults, key](bool checked) { defaults.set(foundation::Value(checked), key); });
  return box;
}

}  // namespace

PreferencesWindowController::PreferencesWindowController(foundation::UserDefaults& defaults)
    : appkit::WindowController("Preferences"), defaults_(defaults) {}

PreferencesWindowController::PreferencesWindowController()
    : PreferencesWindowController(foundation::UserDefaults::standardUserDefaults()) {}

std::unique_ptr<QWidget> PreferencesWindowController::makeWindow() {
  auto window = std::make_unique<QWidget>();
  auto* layout = new QVBoxLayout(window.get());
  checkSyntaxBox_ = boundCheckBox(QStringLiteral("Check syntax before applying changes"), kCheckSyntaxKey, defaults_);
  refreshOnLaunchBox_ =
      boundCheckBox(QStringLiteral("Refresh remote hostfiles at launch and every 30 minutes"),
                    kRefreshOnLaunchKey, defaults_);
  layout->addWidget(checkSyntaxBox_);
  layout->addWidget(refreshOnLaunchBox_);
  layout->addStretch();
  return window;
}

void PreferencesWindowController::windowDidLoad() {
  window()->installEventFilter(new ShowWatcher(window(), *this));
  reloadFromDefaults();
}

void PreferencesWindowController::reloadFromDefaults() {
  if (!checkSyntaxBox_) return;
  checkSyntaxBox_->setChecked(defaults_.boolForKey(kCheckSyntaxKey));
  refreshOnLaunchBox_->setChecked(defaults_.boolForKey(kRefreshOnLaunchKey));
}

}  // namespace app
