#include "hostfiles/ChangeTracker.h"

#include <cassert>

#include "coredata/ObjectCategories.h"
#include "hostfiles/HostGroup.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/String.h"
#include "platform/foundation/UserDefaults.h"

using foundation::Value;

namespace {

constexpr const char* kStatusStringKey = "statusString";

// Never destroyed at exit: static destruction order would let it outlive the user defaults it
// saves to. Every change is saved as it happens, so nothing is lost.
ChangeTracker* gShared = nullptr;

// The records whose guid equals `guid`; nothing when the lookup itself failed.
std::optional<DSObjects> recordsWithGuid(const std::string& guid) {
  return DSManagedObject::DS_findByAttribute(HostGroup::kEntityName, HostGroup::kGuidKey, Value(guid));
}

}  // namespace

ChangeTracker& ChangeTracker::sharedInstance() {
  assert(dispatch::Queue::isMainThread());
  if (!gShared) gShared = new ChangeTracker();
  return *gShared;
}

void ChangeTracker::resetSharedInstanceForTesting() {
  assert(dispatch::Queue::isMainThread());
  delete gShared;  // which saves it
  gShared = nullptr;
}

ChangeTracker::ChangeTracker()
    : observation_([this](const std::string& key) { return key == kStatusStringKey ? Value(statusString()) : Value(); }) {
  loadChanges();
}

ChangeTracker::~ChangeTracker() { saveChanges(); }

void ChangeTracker::loadChanges() {
  auto stored = foundation::UserDefaults::standardUserDefaults().dictionaryForKey(kDirtyGUIDsKey);
  dirtyGUIDs_ = stored ? *stored : foundation::Dictionary();
  for (const auto& guid : dirtyGUIDs_.keys()) {
    auto records = recordsWithGuid(guid);
    if (records && records->empty()) dirtyGUIDs_.remove(guid);
  }
  saveChanges();
  isDirty_ = !dirtyGUIDs_.empty();
}

void ChangeTracker::saveChanges() {
  auto& defaults = foundation::UserDefaults::standardUserDefaults();
  defaults.set(Value(dirtyGUIDs_), kDirtyGUIDsKey);
  defaults.synchronize();
}

void ChangeTracker::markHostGroupDirty(const std::optional<std::string>& guid) {
  if (!guid) return;
  isDirty_ = true;
  const bool added = !dirtyGUIDs_.contains(*guid);
  observation_.willChangeValueForKey(kStatusStringKey);
  dirtyGUIDs_.set(*guid, Value(true));
  lastMarks_[*guid] = ++markCount_;
  observation_.didChangeValueForKey(kStatusStringKey);
  // Marking a hostfile that is already marked leaves the stored set as it is: writing it to disk
  // again (with its sync) at every edit would only hold up the main thread.
  if (added) saveChanges();
  foundation::NotificationCenter::defaultCenter().post(std::string(kChangeNotification));
}

void ChangeTracker::markClean() { markCleanUpTo(markCount_); }

void ChangeTracker::markCleanUpTo(std::uint64_t count) {
  observation_.willChangeValueForKey(kStatusStringKey);
  for (const auto& guid : dirtyGUIDs_.keys()) {
    const auto mark = lastMarks_.find(guid);
    if (mark != lastMarks_.end() && mark->second > count) continue;
    dirtyGUIDs_.remove(guid);
    if (mark != lastMarks_.end()) lastMarks_.erase(mark);
  }
  isDirty_ = !dirtyGUIDs_.empty();
  observation_.didChangeValueForKey(kStatusStringKey);
  changed();
}

void ChangeTracker::changed() {
  saveChanges();
  foundation::NotificationCenter::defaultCenter().post(std::string(kChangeNotification));
}

std::vector<std::shared_ptr<HostGroup>> ChangeTracker::dirtyHostGroups() const {
  std::vector<std::shared_ptr<HostGroup>> records;
  for (const auto& guid : dirtyGUIDs_.keys()) {
    auto found = recordsWithGuid(guid);
    if (!found || found->empty()) continue;
    if (auto record = std::dynamic_pointer_cast<HostGroup>(found->front())) records.push_back(std::move(record));
  }
  return records;
}

std::string ChangeTracker::statusString() const {
  const unsigned long count = dirtyGUIDs_.size();
  if (count == 0) return "You have no unsaved changes.";
  if (count == 1) return "One hostfile has an unsaved change.";
  return foundation::stringWithFormat("%lu hostfiles have unsaved changes.", count);
}

foundation::KeyValueObserving::ObserverToken ChangeTracker::addObserver(
    const std::string& keyPath, foundation::KeyValueObserving::Callback callback) {
  return observation_.addObserver(keyPath, std::move(callback));
}

void ChangeTracker::removeObserver(foundation::KeyValueObserving::ObserverToken token) {
  observation_.removeObserver(token);
}
