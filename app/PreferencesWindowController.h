#pragma once
// PreferencesWindowController owns the preferences window: check boxes bound to the user
// defaults the rest of the application reads, "checkSyntax" (check the hostfiles before
// applying them) and "refreshOnLaunch" (download remote hostfiles at launch and every half
// hour). A check box shows the stored value (or the registered default) whenever the window is
// shown, and writes the default as soon as the user toggles it.
//
// Main thread only. The defaults must outlive the controller.
#include <memory>

#include "platform/appkit/WindowController.h"

class QCheckBox;

namespace foundation {
class UserDefaults;
}

namespace app {

class PreferencesWindowController : public appkit::WindowController {
 public:
  static constexpr const char* kCheckSyntaxKey = "checkSyntax";
  static constexpr const char* kRefreshOnLaunchKey = "refreshOnLaunch";

  // A controller bound to `defaults` (the standard defaults in the application).
  explicit PreferencesWindowController(foundation::UserDefaults& defaults);
  PreferencesWindowController();

  // The check boxes. Null until the window has been built; owned by the window.
  QCheckBox* checkSyntaxBox() const { return checkSyntaxBox_; }
  QCheckBox* refreshOnLaunchBox() const { return refreshOnLaunchBox_; }

  // The toolbar's "General" pane action: there is only one pane, so it changes nothing.
  void showGeneral() {}

  // Sets the check boxes from the defaults. Done on every show; callable at any time.
  void reloadFromDefaults();

 protected:
  std::unique_ptr<QWidget> makeWindow() override;
  void windowDidLoad() override;

 private:
  foundation::UserDefaults& defaults_;
  QCheckBox* checkSyntaxBox_ = nullptr;
  QCheckBox* refreshOnLaunchBox_ = nullptr;
};

}  // namespace app
