#pragma once
// TLAnalyticsCategory is automatic page tracking: once activated, every screen the application
// shows (a window, or a page of a tab or stacked widget; see appkit::ViewAppearance) is tracked as
// a page named after its class, while the analytics service's automatic page tracking is on. A
// screen shown while the service is not available is remembered as the missed page, which the
// service tracks when it becomes enabled.
//
// Main thread only, as the screens appear there.
#include <optional>
#include <string>
#include <string_view>

class TLAnalyticsCategory {
 public:
  TLAnalyticsCategory() = delete;

  // Installs the hook on the running Qt application, once; answers whether it is in place (false
  // while no Qt application runs).
  static bool activateCategory();
  // The last page seen while the service was not available, or nothing.
  static std::optional<std::string> missedPageViewName();

  // What happens when a screen of class `className` appears: nothing while automatic page
  // tracking is off or for a container (see pageNameForClassName); else the page is tracked when
  // the service is available, and otherwise becomes the missed page, replacing an earlier one.
  static void viewWillAppear(const std::string& className);

  // The page name of a screen class: the part after the last "." or "::" (the whole name without
  // either), less a final "ViewController" when something stays before it. Nothing for the
  // containers that only hold other screens ("QSplitter", "QTabWidget", "QStackedWidget",
  // matched exactly: their subclasses are pages) and for a name that leaves nothing. Stateless.
  static std::optional<std::string> pageNameForClassName(std::string_view className);
};
