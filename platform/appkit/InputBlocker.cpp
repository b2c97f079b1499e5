#include "platform/appkit/InputBlocker.h"

#include <QApplication>
#include <QEvent>

namespace appkit {

class InputBlocker::Filter : public QObject {
 protected:
  bool eventFilter(QObject*, QEvent* event) override { return isUserInput(event->type()); }

 private:
  static bool isUserInput(QEvent::Type type) {
    switch (type) {
      case QEvent::KeyPress:
      case QEvent::KeyRelease:
      case QEvent::ShortcutOverride:
      case QEvent::Shortcut:
      case QEvent::MouseButtonPress:
      case QEvent::MouseButtonRelease:
      case QEvent::MouseButtonDblClick:
      case QEvent::MouseMove:
      case QEvent::NonClientAreaMouseButtonPress:
      case QEvent::NonClientAreaMouseButtonRelease:
      case QEvent::NonClientAreaMouseButtonDblClick:
      case QEvent::NonClientAreaMouseMove:
      case QEvent::Wheel:
      case QEvent::ContextMenu:
      case QEvent::TouchBegin:
      case QEvent::TouchUpdate:
      case QEvent::TouchEnd:
      case QEvent::TouchCancel:
      case QEvent::TabletPress:
      case QEvent::TabletRelease:
      case QEvent::TabletMove:
      case QEvent::DragEnter:
      case QEvent::DragMove:
      case QEvent::Drop:
      case QEvent::InputMethod:
        return true;
      default:
        return false;
    }
  }
};

InputBlocker::InputBlocker() {
  auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!application) return;
  filter_ = std::make_unique<Filter>();
  // On the application object, the filter sees every event of the main thread before its receiver.
  application->installEventFilter(filter_.get());
  QApplication::setOverrideCursor(Qt::WaitCursor);
}

InputBlocker::~InputBlocker() {
  // Once the application object is gone, so are its filters and its cursor.
  auto* application = QCoreApplication::instance();
  if (!filter_ || !application) return;
  application->removeEventFilter(filter_.get());
  QApplication::restoreOverrideCursor();
}

}  // namespace appkit
