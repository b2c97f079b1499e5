#pragma once
// Alert is the content of a question or a notice put to the user: a message, an informative
// text and buttons in order. The first button is the default one and answers
// kAlertFirstButtonReturn, the second kAlertSecondButtonReturn, and so on; an alert given no
// button shows a single "OK". How it is shown is the presenter's business (AlertPresenter.h), so
// application code never builds a message box itself. An Alert is a plain value.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace appkit {

inline constexpr long kAlertFirstButtonReturn = 1000;
inline constexpr long kAlertSecondButtonReturn = 1001;
inline constexpr long kAlertThirdButtonReturn = 1002;
// The answer when an alert ends without any of its buttons (its window went away, say). It
// matches no button, so no caller takes a button's action by mistake.
inline constexpr long kModalResponseAbort = -1001;

class Alert {
 public:
  enum class Style { Warning, Informational, Critical };

  const std::string& messageText() const { return messageText_; }
  void setMessageText(std::string text) { messageText_ = std::move(text); }
  const std::string& informativeText() const { return informativeText_; }
  void setInformativeText(std::string text) { informativeText_ = std::move(text); }
  Style alertStyle() const { return style_; }
  void setAlertStyle(Style style) { style_ = style; }

  // Appends a button and returns the code it answers with.
  long addButtonWithTitle(std::string title);
  // The titles of the buttons as shown: those added, in order, or "OK" alone when none was.
  std::vector<std::string> buttonTitles() const;
  // The code of the button at `index` of buttonTitles().
  static long returnCodeForButtonAt(std::size_t index) { return kAlertFirstButtonReturn + static_cast<long>(index); }

  // Shows the alert as a sheet on `window` through the shared presenter; `completion` gets the
  // code on the main thread when it ends. Main thread only.
  void beginSheetModalForWindow(QWidget* window, std::function<void(long)> completion) const;
  // Shows the alert on its own through the shared presenter and returns the code once the user
  // has answered. Main thread only.
  long runModal() const;

 private:
  std::string messageText_;
  std::string informativeText_;
  Style style_ = Style::Warning;
  std::vector<std::string> buttons_;
};

}  // namespace appkit
