#include "platform/appkit/WindowController.h"

#include <QMainWindow>
#include <QString>

namespace appkit {

WindowController::WindowController(std::string windowTitle) : title_(std::move(windowTitle)) {}

WindowController::~WindowController() = default;

QWidget* WindowController::window() {
  if (loadAttempted_) return window_.get();
  loadAttempted_ = true;
  window_ = makeWindow();
  if (!window_) return nullptr;
  if (!title_.empty()) window_->setWindowTitle(QString::fromStdString(title_));
  windowDidLoad();
  return window_.get();
}

void WindowController::showWindow() {
  QWidget* shown = window();
  if (!shown) return;
  // A minimised window is not brought to the front by showing it.
  if (shown->isMinimized()) shown->setWindowState(shown->windowState() & ~Qt::WindowMinimized);
  shown->show();
  shown->raise();
  shown->activateWindow();
}

void WindowController::close() {
  if (window_) window_->close();
}

void WindowController::setWindowTitle(std::string title) {
  title_ = std::move(title);
  if (window_) window_->setWindowTitle(QString::fromStdString(title_));
}

std::unique_ptr<QWidget> WindowController::makeWindow() { return std::make_unique<QMainWindow>(); }

}  // namespace appkit
