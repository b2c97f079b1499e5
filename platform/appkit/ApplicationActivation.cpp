#include "platform/appkit/ApplicationActivation.h"

#include <QGuiApplication>
#include <QObject>

#include "platform/foundation/NotificationCenter.h"

namespace appkit {

ApplicationActivation::ApplicationActivation()
    : context_(std::make_unique<QObject>()), active_(QGuiApplication::applicationState() == Qt::ApplicationActive) {
  QObject::connect(qApp, &QGuiApplication::applicationStateChanged, context_.get(), [this](Qt::ApplicationState state) {
    const bool active = state == Qt::ApplicationActive;
    // Qt also reports moves between the inactive states (hidden, suspended): those change nothing.
    if (active == active_) return;
    active_ = active;
    foundation::NotificationCenter::defaultCenter().post(
        active ? kApplicationWillBecomeActiveNotification : kApplicationDidResignActiveNotification,
        static_cast<const void*>(nullptr));
  });
}

ApplicationActivation::~ApplicationActivation() = default;

}  // namespace appkit
