#include "app/DefaultContextSaver.h"

#include <QTimer>

#include "app/HostGroupFields.h"
#include "hostfiles/ChangeTracker.h"
#include "coredata/ContextCategories.h"

namespace app {

DefaultContextSaver::DefaultContextSaver(int delayMilliseconds) : timer_(std::make_unique<QTimer>()) {
  timer_->setSingleShot(true);
  timer_->setInterval(delayMilliseconds);
  QObject::connect(timer_.get(), &QTimer::timeout, [this] { saveInBackground(); });
  changeObserver_ = foundation::NotificationCenter::defaultCenter().addObserver(
      ChangeTracker::kChangeNotification, nullptr, nullptr, [this](const foundation::Notification&) { scheduleSave(); });
}

DefaultContextSaver::~DefaultContextSaver() {
  foundation::NotificationCenter::defaultCenter().removeObserver(changeObserver_);
}

void DefaultContextSaver::scheduleSave() { timer_->start(); }

bool DefaultContextSaver::isSavePending() const { return timer_->isActive() || *inFlight_ > 0; }

void DefaultContextSaver::saveInBackground() {
  if (beforeSave_) beforeSave_();
  timer_->stop();  // the hook's edits scheduled a save; this one takes them
  const auto context = DSManagedObjectContext::DS_defaultContext();
  if (!context) return;
  ++*inFlight_;
  std::weak_ptr<int> inFlight = inFlight_;
  // The default context hands its changes to the root on the main queue; the root writes them
  // on its own queue. The completion comes back on the main queue, after a failure too.
  DSManagedObjectContext::DS_saveToPersistentStoreWithCompletion(
      context, [inFlight](bool, const std::optional<foundation::Error>&) {
        if (const auto count = inFlight.lock()) --*count;
      });
}

void DefaultContextSaver::saveNow() {
  if (beforeSave_) beforeSave_();
  timer_->stop();
  const auto context = DSManagedObjectContext::DS_defaultContext();
  if (!context) return;
  DSManagedObjectContext::DS_saveToPersistentStoreAndWait(context);
  // A background save may still be writing on the root's queue; the root runs its work in order.
  if (const auto root = DSManagedObjectContext::DS_rootSavingContext()) root->performAndWait([] {});
}

}  // namespace app
