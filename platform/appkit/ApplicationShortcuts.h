#pragma once
// ApplicationShortcuts makes a few actions application-wide (Quit, Close, Preferences). Qt reaches
// an action's shortcut only from the windows the action belongs to, so each shared action is
// added to every top-level window of the application as the window is shown; its shortcut then
// works from whichever window has the focus. The action stays the one its owner made (the main
// window's menu item), so there is one action per shortcut and never an ambiguous one.
//
// Main thread only; the Qt application must exist.
#include <QKeySequence>
#include <QObject>
#include <QPointer>

#include <vector>

class QAction;
class QWidget;

namespace appkit {

class ApplicationShortcuts : public QObject {
 public:
  // Starts watching the application's windows being shown.
  ApplicationShortcuts();
  ~ApplicationShortcuts() override;

  // Gives `action` the platform's shortcuts for `key`, or `fallback` where the platform has none
  // (the generic Linux key scheme names none for Quit and Preferences), and adds it to every
  // top-level window now shown and to each one shown later. The action stays owned by its maker;
  // once it is destroyed, it is simply no longer shared.
  void share(QAction* action, QKeySequence::StandardKey key, const QKeySequence& fallback);

  // Closes the window that has the focus, if any: what the Close action does.
  static void closeActiveWindow();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void addTo(QWidget* window);

  std::vector<QPointer<QAction>> actions_;
};

}  // namespace appkit
