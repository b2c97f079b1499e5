#include "platform/appkit/ApplicationVisibility.h"

#include <QApplication>
#include <QWidget>

namespace appkit {

bool isApplicationHidden() {
  if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) return false;
  bool anyMinimized = false;
  for (const QWidget* widget : QApplication::topLevelWidgets()) {
    if (!widget->isWindow()) continue;
    // A minimized window still reports itself visible, so it is looked at first.
    if (widget->isMinimized()) {
      anyMinimized = true;
    } else if (widget->isVisible()) {
      return false;
    }
  }
  return anyMinimized;
}

}  // namespace appkit
