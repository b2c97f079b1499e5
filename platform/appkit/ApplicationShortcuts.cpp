#include "platform/appkit/ApplicationShortcuts.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QWidget>

namespace appkit {

namespace {

// Ordinary windows and dialogs; menus, tool tips and tool windows are left alone (an action added
// to a menu would show up in it as an item).
bool takesShortcuts(const QWidget* widget) {
  if (!widget->isWindow()) return false;
  const Qt::WindowType type = widget->windowType();
  return type == Qt::Window || type == Qt::Dialog;
}

}  // namespace

ApplicationShortcuts::ApplicationShortcuts() { qApp->installEventFilter(this); }

ApplicationShortcuts::~ApplicationShortcuts() { qApp->removeEventFilter(this); }

void ApplicationShortcuts::share(QAction* action, QKeySequence::StandardKey key, const QKeySequence& fallback) {
  if (!action) return;
  const QList<QKeySequence> standard = QKeySequence::keyBindings(key);
  action->setShortcuts(standard.isEmpty() ? QList<QKeySequence>{fallback} : standard);
  actions_.emplace_back(action);
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->isVisible() && takesShortcuts(window)) addTo(window);
  }
}

void ApplicationShortcuts::closeActiveWindow() {
  if (QWidget* window = QApplication::activeWindow()) window->close();
}

bool ApplicationShortcuts::eventFilter(QObject* watched, QEvent* event) {
  // Every event of the application passes here: the cheap test first.
  if (event->type() != QEvent::Show || !watched->isWidgetType()) return false;
  auto* widget = static_cast<QWidget*>(watched);
  if (takesShortcuts(widget)) addTo(widget);
  return false;
}

void ApplicationShortcuts::addTo(QWidget* window) {
  const QList<QAction*> present = window->actions();
  for (const QPointer<QAction>& action : actions_) {
    if (action && !present.contains(action.data())) window->addAction(action.data());
  }
}

}  // namespace appkit
