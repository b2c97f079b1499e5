#pragma once
// ViewAppearance stands in for the framework's "view will appear" entry point, which a library
// elsewhere reaches by exchanging the view controller's method at run time. Here it is an explicit
// hook: an event filter on the running Qt application that hears every widget about to be shown
// and passes on those that stand for a screen of the application: windows (plain windows, dialogs,
// sheets, tool windows; not menus, tooltips or splash screens) and the pages of stacked and tab
// widgets. The hook receives the widget's class name as the C++ type system knows it, with its
// namespaces ("app::SettingsPage", "QDialog").
//
// Only show requests made by the program count; a window the window manager shows again (after
// being minimised) does not. Left out: disappearing views.
//
// Main thread only.
#include <functional>
#include <string>

class QObject;
class QWidget;

namespace appkit {

class ViewAppearance {
 public:
  // Hears the class name of each screen about to appear, on the main thread.
  using Handler = std::function<void(const std::string& className)>;

  // Installs the hook on the running Qt application, once per application object: the first
  // handler given stays. Answers whether the hook is in place; false, with nothing installed, when
  // no Qt application runs yet.
  static bool installHook(Handler handler);

  // Whether `widget` stands for a screen (see above).
  static bool isScreen(const QWidget& widget);
  // The object's class name, demangled, with its namespaces.
  static std::string classNameOf(const QObject& object);
};

}  // namespace appkit
