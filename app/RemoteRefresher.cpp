#include "app/RemoteRefresher.h"

#include "app/HostGroupFields.h"
#include "app/TelemetrySeam.h"
#include "coredata/ContextCategories.h"
#include "coredata/ObjectCategories.h"
#include "net/pipeline/Pipeline.h"
#include "platform/appkit/Alert.h"
#include "platform/dispatch/Group.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/foundation/Log.h"
#include "platform/foundation/String.h"

namespace app {

// What one finished download brings back to the main queue. The record is carried by identity
// only: it may have been deleted, or the stack rebuilt, while the download ran.
struct RemoteRefresher::Download {
  coredata::ObjectIDPtr objectID;
  std::string url;
  int statusCode = 0;  // 0 when no response came
  std::optional<std::string> text;

  bool succeeded() const { return statusCode == 200; }
};

// The counter and the group of one refreshAll(); they live until the group's notification ran.
struct RemoteRefresher::Batch {
  int updated = 0;
  std::shared_ptr<dispatch::Group> group = dispatch::Group::create();
};

namespace {

bool hasAddress(const coredata::ManagedObject& record) { return !record.valueForKey("remoteURL").isNull(); }

void logFailure(const std::string& url, int statusCode) {
  if (statusCode == 0) {
    foundation::logf("Remote hostfile %@: no response; its contents are kept.", url);
  } else {
    foundation::logf("Remote hostfile %@: status %@; its contents are kept.", url, std::to_string(statusCode));
  }
}

}  // namespace

std::shared_ptr<RemoteRefresher> RemoteRefresher::create(Hooks hooks) {
  return std::shared_ptr<RemoteRefresher>(new RemoteRefresher(std::move(hooks)));
}

RemoteRefresher::RemoteRefresher(Hooks hooks) : hooks_(std::move(hooks)) {}

std::optional<std::string> RemoteRefresher::textOf(const std::optional<foundation::Data>& data) {
  // An empty body is no body: a server answering 200 with nothing must not wipe a hostfile.
  if (!data || data->empty()) return std::nullopt;
  std::string text(data->begin(), data->end());
  // Round-tripping replaces every malformed sequence, so any change means the bytes are not UTF-8.
  if (foundation::utf8(foundation::utf16(text)) != text) return std::nullopt;
  return text;
}

int RemoteRefresher::refreshAll(Completion completion) {
  auto batch = std::make_shared<Batch>();
  std::weak_ptr<RemoteRefresher> weak = weak_from_this();
  int started = 0;
  if (const auto context = DSManagedObjectContext::DS_defaultContext()) {
    const auto predicate = coredata::Predicate::withFormat("isRemote == true");
    const auto records = DSManagedObject::DS_findAllWithPredicate(kHostGroupEntityName, predicate, context);
    for (const auto& record : records.value_or(DSObjects{})) {
      if (!hasAddress(*record)) continue;
      batch->group->enter();
      ++started;
      start(record, [weak, batch](const Download& download) {
        const auto self = weak.lock();
        if (self && self->finishBatchItem(download)) ++batch->updated;
        batch->group->leave();
      });
    }
  }
  batch->group->notify(dispatch::Queue::main(), [weak, batch, completion = std::move(completion)] {
    const auto self = weak.lock();
    if (self && batch->updated >= 1 && self->hooks_.hostfilesUpdated) self->hooks_.hostfilesUpdated(batch->updated);
    if (completion) completion(batch->updated);
  });
  return started;
}

bool RemoteRefresher::refreshOne(const coredata::ManagedObjectPtr& record, Completion completion) {
  if (!record || !HostGroupFields::isRemote(*record) || !hasAddress(*record)) return false;
  trackEvent(kRefreshEvent);
  std::weak_ptr<RemoteRefresher> weak = weak_from_this();
  start(record, [weak, completion = std::move(completion)](const Download& download) {
    if (const auto self = weak.lock()) {
      self->finishSingle(download, completion);
    } else if (completion) {
      completion(0);
    }
  });
  return true;
}

void RemoteRefresher::start(const coredata::ManagedObjectPtr& record,
                            std::function<void(const Download&)> finished) {
  Download pending;
  pending.objectID = record->objectID();
  pending.url = HostGroupFields::remoteURL(*record);
  // The parsed JSON is ignored: any body, JSON or not, is the hostfile's text. No queue means the
  // completion runs on the main queue.
  pipeline::request(pending.url, pipeline::HTTPMethod::get, std::nullopt, pipeline::URLEncoding::default_(),
                    std::nullopt)
      ->responseJSON(nullptr, foundation::JSONReadingAllowFragments,
                     [pending, finished = std::move(finished)](const pipeline::DataResponse<foundation::Value>& response) {
                       Download download = pending;
                       if (response.response()) download.statusCode = response.response()->statusCode();
                       download.text = textOf(response.data());
                       finished(download);
                     });
}

coredata::ManagedObjectPtr RemoteRefresher::findAgain(const coredata::ObjectIDPtr& objectID) {
  const auto context = DSManagedObjectContext::DS_defaultContext();
  if (!context || !objectID) return nullptr;
  foundation::Error error;
  auto record = context->existingObjectWithID(objectID, &error);
  if (!record || record->isDeleted()) return nullptr;
  return record;
}

bool RemoteRefresher::finishBatchItem(const Download& download) {
  if (!download.succeeded()) {
    logFailure(download.url, download.statusCode);
    return false;
  }
  if (!download.text) return false;
  const auto record = findAgain(download.objectID);
  if (!record) return false;  // deleted while downloading
  const auto current = HostGroupFields::contentsProxy(*record);
  if (current && *current == *download.text) return false;
  HostGroupFields::setContentsProxy(*record, *download.text);
  contentsChanged();
  return true;
}

void RemoteRefresher::finishSingle(const Download& download, const Completion& completion) {
  int updated = 0;
  if (const auto record = findAgain(download.objectID)) {
    if (!download.succeeded()) {
      logFailure(download.url, download.statusCode);
      showErrorAlert();
    } else if (download.text) {
      // Set even when unchanged: the user asked for this refresh, so it counts as a change.
      HostGroupFields::setContentsProxy(*record, *download.text);
      contentsChanged();
      updated = 1;
    }
  }
  if (completion) completion(updated);
}

void RemoteRefresher::showErrorAlert() {
  appkit::Alert alert;
  alert.setMessageText(kErrorMessage);
  alert.setInformativeText(kErrorInformativeText);
  alert.beginSheetModalForWindow(hooks_.sheetWindow ? hooks_.sheetWindow() : nullptr, [](long) {});
}

void RemoteRefresher::contentsChanged() {
  if (hooks_.contentsChanged) hooks_.contentsChanged();
}

}  // namespace app
