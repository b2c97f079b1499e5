#include "app/DefaultContextSaver.h"

#include <QTimer>

#include "app/HostGroupFields.h"
#include "coredata/ContextCategories.h"

namespace app {

DefaultContextSaver::DefaultContextSaver(int delayMilliseconds) : timer_(std::make_unique<QTimer>()) {
  timer_->setSingleShot(true);
  timer_->setInterval(delayMilliseconds);
  QObject::connect(timer_.get(), &QTimer::timeout, [this] { saveNow(); });
  changeObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
      kChangeTrackerNotification, nullptr, nullptr, [this](const foundation::Notification&) { scheduleSave(); });
}

DefaultContextSaver::~DefaultContextSaver() {
  foundation::NotificationCenter::defaultCenter().removeObserver(changeObserver_);
}

void DefaultContextSaver::scheduleSave() { timer_->start(); }

bool DefaultContextSaver::isSavePending() const { return timer_->isActive(); }

void DefaultContextSaver::saveNow() {
  timer_->stop();
  const auto context = DSManagedObjectContext::DS_defaultContext();
  if (!context) return;
  DSManagedObjectContext::DS_saveToPersistentStoreAndWait(context);
}

}  // namespace app
