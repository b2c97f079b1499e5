#pragma once
// WindowController stands in for the framework's window controller: it owns one top-level
// window, builds it the first time anyone asks for it, and then calls windowDidLoad() once, so
// subclasses fill the window in there, as with windows loaded from an interface file.
//
// Main thread only. The controller owns its window; destroy controllers before the Qt
// application goes.
#include <memory>
#include <string>

class QWidget;

namespace appkit {

class WindowController {
 public:
  // A controller whose window, once built, is titled `windowTitle`. Builds nothing yet.
  explicit WindowController(std::string windowTitle = {});
  virtual ~WindowController();
  WindowController(const WindowController&) = delete;
  WindowController& operator=(const WindowController&) = delete;

  // The window, built on the first call (makeWindow(), the title, then windowDidLoad()). Null
  // when makeWindow() gave none; it is not asked again. Owned by the controller.
  QWidget* window();
  // Whether the window has been built (false also before a failed build was attempted).
  bool isWindowLoaded() const { return window_ != nullptr; }

  // Builds the window if needed, shows it (restoring it when minimised) and brings it to the
  // front. Does nothing without one.
  void showWindow();
  // Closes the window when it has been built; it stays owned here and can be shown again.
  void close();

  const std::string& windowTitle() const { return title_; }
  // Sets the title, on the window too when it has been built.
  void setWindowTitle(std::string title);

 protected:
  // Builds the window; the default is an empty main window. Called at most once.
  virtual std::unique_ptr<QWidget> makeWindow();
  // Called once, right after the window has been built; window() already returns it here.
  virtual void windowDidLoad() {}

 private:
  std::string title_;
  std::unique_ptr<QWidget> window_;
  bool loadAttempted_ = false;
};

}  // namespace appkit
