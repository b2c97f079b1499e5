#pragma once
// InputBlocker holds the user back while a long operation works on what they see: as long as one
// exists, the keyboard, mouse, wheel, touch, tablet, drag-and-drop and input-method events meant
// for any object of the application are dropped, and the cursor says that the application is
// busy. Everything else goes on as usual (painting, resizing, timers, the main queue, answering
// the window manager), so the windows stay alive and nothing the user does can change anything.
//
// Main thread only. Without a Qt application object it does nothing. Blockers may overlap; input
// comes back when the last one is gone.
#include <memory>

class QObject;

namespace appkit {

class InputBlocker {
 public:
  InputBlocker();
  ~InputBlocker();
  InputBlocker(const InputBlocker&) = delete;
  InputBlocker& operator=(const InputBlocker&) = delete;

 private:
  class Filter;
  std::unique_ptr<Filter> filter_;
};

}  // namespace appkit
