#pragma once
// AboutWindowController owns the about window: the application's name and version, and two
// links to the maker's web pages (the about page and this application's acknowledgements),
// opened through the shared workspace. The window is made once and kept; closing only hides it.
//
// Main thread only.
#include <memory>
#include <string>

#include "platform/appkit/WindowController.h"

class QLabel;
class QPushButton;

namespace app {

class AboutWindowController : public appkit::WindowController {
 public:
  // The scheme and host of the maker's web site; the pages' paths follow.
  static constexpr const char* kWebSite = "https://quillmere.org";
  static constexpr const char* kSupportPath = "/about/";
  static constexpr const char* kAcknowledgementsPath = "/quillmere/acknowledgments/";

  AboutWindowController();

  // The label that shows "Version " and the bundle's short version string. Null until the
  // window has been built; owned by the window.
  QLabel* versionTextField() const { return versionTextField_; }
  // The buttons bound to support, acks and close. Null until the window has been built.
  QPushButton* supportButton() const { return supportButton_; }
  QPushButton* acknowledgementsButton() const { return acknowledgementsButton_; }
  QPushButton* closeButton() const { return closeButton_; }

  // Hides the window; it is kept with its contents, so showWindow brings it back unchanged.
  void close();
  // Open the maker's about page and the acknowledgements page; a page that cannot be opened is
  // ignored.
  void support();
  void acks();

 protected:
  std::unique_ptr<QWidget> makeWindow() override;
  // Lets the window be dragged by its background and fills in the version text.
  void windowDidLoad() override;

 private:
  QLabel* versionTextField_ = nullptr;
  QPushButton* supportButton_ = nullptr;
  QPushButton* acknowledgementsButton_ = nullptr;
  QPushButton* closeButton_ = nullptr;
};

}  // namespace app
