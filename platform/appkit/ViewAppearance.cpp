#include "platform/appkit/ViewAppearance.h"

#include <cxxabi.h>

#include <QApplication>
#include <QEvent>
#include <QPointer>
#include <QStackedWidget>
#include <QWidget>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace appkit {
namespace {

class ShowEventFilter : public QObject {
 public:
  ShowEventFilter(ViewAppearance::Handler handler, QObject* parent) : QObject(parent), handler_(std::move(handler)) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show && !event->spontaneous() && watched->isWidgetType()) {
      const auto* widget = static_cast<const QWidget*>(watched);
      if (ViewAppearance::isScreen(*widget)) handler_(ViewAppearance::classNameOf(*widget));
    }
    return false;
  }

 private:
  ViewAppearance::Handler handler_;
};

// The filter of the current application object; it goes with the application.
QPointer<ShowEventFilter>& installedFilter() {
  static QPointer<ShowEventFilter> filter;
  return filter;
}

}  // namespace

bool ViewAppearance::installHook(Handler handler) {
  auto* application = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (!application) return false;
  auto& filter = installedFilter();
  if (filter) return true;
  filter = new ShowEventFilter(std::move(handler), application);
  application->installEventFilter(filter);
  return true;
}

bool ViewAppearance::isScreen(const QWidget& widget) {
  if (!widget.isWindow()) return qobject_cast<const QStackedWidget*>(widget.parentWidget()) != nullptr;
  switch (widget.windowType()) {
    case Qt::Window:
    case Qt::Dialog:
    case Qt::Sheet:
    case Qt::Drawer:
    case Qt::Tool:
      return true;
    default:
      return false;
  }
}

std::string ViewAppearance::classNameOf(const QObject& object) {
  const char* mangled = typeid(object).name();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                         &std::free);
  return status == 0 && demangled ? std::string(demangled.get()) : std::string(mangled);
}

}  // namespace appkit
