#include "platform/appkit/MessageBoxAlertPresenter.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QString>

#include <memory>
#include <vector>

#include "platform/appkit/Alert.h"
#include "platform/foundation/Bundle.h"

namespace appkit {

namespace {

QMessageBox::Icon iconFor(Alert::Style style) {
  switch (style) {
    case Alert::Style::Informational: return QMessageBox::Information;
    case Alert::Style::Critical: return QMessageBox::Critical;
    case Alert::Style::Warning: break;
  }
  return QMessageBox::Warning;
}

// The application's name, which the box carries as its title (an untitled box would be named by
// the window manager after the executable): the bundle's display name, else its name, else Qt's.
QString applicationName() {
  const auto bundle = foundation::Bundle::mainBundle();
  for (const char* key : {"CFBundleDisplayName", foundation::kCFBundleNameKey}) {
    const foundation::Value name = bundle->objectForInfoDictionaryKey(key);
    if (name.isString() && !name.stringValue().empty()) return QString::fromStdString(name.stringValue());
  }
  return QGuiApplication::applicationDisplayName();
}

// A box with the alert's texts and buttons; `buttons` receives them in the alert's order, which
// is the order of their return codes (the box may lay them out differently).
std::unique_ptr<QMessageBox> makeBox(const Alert& alert, QWidget* parent, std::vector<QAbstractButton*>& buttons) {
  auto box = std::make_unique<QMessageBox>(parent);
  box->setWindowTitle(applicationName());
  box->setIcon(iconFor(alert.alertStyle()));
  box->setText(QString::fromStdString(alert.messageText()));
  box->setInformativeText(QString::fromStdString(alert.informativeText()));
  const std::vector<std::string> titles = alert.buttonTitles();
  QAbstractButton* escape = nullptr;
  for (const std::string& title : titles) {
    QPushButton* button = box->addButton(QString::fromStdString(title), QMessageBox::ActionRole);
    buttons.push_back(button);
    if (title == "Cancel") escape = button;
  }
  box->setDefaultButton(static_cast<QPushButton*>(buttons.front()));
  if (!escape && buttons.size() == 1) escape = buttons.front();
  // Without an escape button the box refuses Escape and its close button, so the user must pick.
  if (escape) box->setEscapeButton(escape);
  return box;
}

// Opens `box` once `window` has been shown. A box opened on a window that is not on screen yet
// gets no parent window from the window system, so it would appear on its own, possibly behind
// its window, while blocking it.
class OpenWhenShown : public QObject {
 public:
  OpenWhenShown(QMessageBox* box, QWidget* window) : QObject(box), box_(box) { window->installEventFilter(this); }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::Show) return false;
    watched->removeEventFilter(this);
    // After the show has finished, so that the window has its place on screen to centre over.
    QMetaObject::invokeMethod(box_, [box = box_] { box->open(); }, Qt::QueuedConnection);
    deleteLater();
    return false;
  }

 private:
  QPointer<QMessageBox> box_;
};

long codeOf(const QMessageBox& box, const std::vector<QAbstractButton*>& buttons) {
  QAbstractButton* clicked = box.clickedButton();
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    if (buttons[i] == clicked) return Alert::returnCodeForButtonAt(i);
  }
  return kModalResponseAbort;
}

}  // namespace

void MessageBoxAlertPresenter::beginSheetModal(const Alert& alert, QWidget* window, Completion completion) {
  if (window) window = window->window();
  auto buttons = std::make_shared<std::vector<QAbstractButton*>>();
  QMessageBox* box = makeBox(alert, window, *buttons).release();
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
  QObject::connect(box, &QDialog::finished, box, [box, buttons, completion = std::move(completion)](int) {
    if (completion) completion(codeOf(*box, *buttons));
  });
  if (window && !window->isVisible()) {
    new OpenWhenShown(box, window);
    return;
  }
  box->open();
}

long MessageBoxAlertPresenter::runModal(const Alert& alert) {
  std::vector<QAbstractButton*> buttons;
  std::unique_ptr<QMessageBox> box = makeBox(alert, nullptr, buttons);
  box->setWindowModality(Qt::ApplicationModal);
  box->exec();
  return codeOf(*box, buttons);
}

}  // namespace appkit
