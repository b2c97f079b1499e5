#include "platform/appkit/QtMainLoopDriver.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <mutex>

#include "platform/foundation/Date.h"
#include "platform/foundation/RunLoop.h"

namespace appkit {

namespace {

const QEvent::Type kServiceEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

}  // namespace

// What the run loop's wake handler holds: it may be called from any thread, even while the
// driver is being destroyed, so it reaches the receiver only through this guarded pointer.
struct QtMainLoopDriver::Link {
  std::mutex mutex;
  QObject* receiver = nullptr;
  // Set while a service event is on its way; wakes meanwhile need no event of their own.
  std::atomic<bool> posted{false};

  void wake() {
    if (posted.exchange(true)) return;
    std::lock_guard lock(mutex);
    if (receiver) QCoreApplication::postEvent(receiver, new QEvent(kServiceEvent));
  }
};

class QtMainLoopDriver::Receiver : public QObject {
 public:
  explicit Receiver(QtMainLoopDriver& driver) : driver_(driver) {}

  bool event(QEvent* event) override {
    if (event->type() != kServiceEvent) return QObject::event(event);
    driver_.service();
    return true;
  }

 private:
  QtMainLoopDriver& driver_;
};

QtMainLoopDriver::QtMainLoopDriver()
    : link_(std::make_shared<Link>()), receiver_(std::make_unique<Receiver>(*this)), timer_(std::make_unique<QTimer>()) {
  timer_->setSingleShot(true);
  // Coarse timers may fire early; the run-loop timer would then not be due yet.
  timer_->setTimerType(Qt::PreciseTimer);
  QObject::connect(timer_.get(), &QTimer::timeout, receiver_.get(), [this] { service(); });
  {
    std::lock_guard lock(link_->mutex);
    link_->receiver = receiver_.get();
  }
  foundation::RunLoop::main().setWakeHandler([link = link_] { link->wake(); });
  link_->wake();
}

QtMainLoopDriver::~QtMainLoopDriver() {
  foundation::RunLoop::main().setWakeHandler({});
  std::lock_guard lock(link_->mutex);
  link_->receiver = nullptr;
}

void QtMainLoopDriver::service() {
  // Cleared before the pass, so that blocks posted by the blocks it runs get an event of their own.
  link_->posted.store(false);
  foundation::RunLoop::main().processPending();
  armTimer();
}

void QtMainLoopDriver::armTimer() {
  const foundation::Date next = foundation::RunLoop::main().nextTimerDate();
  if (next >= foundation::Date::distantFuture()) {
    timer_->stop();
    return;
  }
  const double milliseconds = std::ceil(std::max(0.0, next.timeIntervalSinceNow()) * 1000.0);
  // Far-off timers are re-examined when the Qt timer's range runs out.
  timer_->start(static_cast<int>(std::min(milliseconds, static_cast<double>(INT_MAX))));
}

}  // namespace appkit
