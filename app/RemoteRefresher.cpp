#include "app/RemoteRefresher.h"

#include <tuple>

#include "app/HostGroupFields.h"
#include "app/TelemetrySeam.h"
#include "app/UTF8Text.h"
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
  Body body = Body::Empty;
  std::string text;

  // A body that is not text fails like a failed transfer: it must not pass for an update.
  bool succeeded() const { return statusCode == 200 && body != Body::NotText; }
  bool hasText() const { return statusCode == 200 && body == Body::Text; }
};

// The counter and the group of one refreshAll(); they live until the group's notification ran.
struct RemoteRefresher::Batch {
  int updated = 0;
  std::shared_ptr<dispatch::Group> group = dispatch::Group::create();
};

namespace {

bool hasAddress(const coredata::ManagedObject& record) { return !record.valueForKey(HostGroup::kRemoteURLKey).isNull(); }

void logFailure(const std::string& url, int statusCode, RemoteRefresher::Body body) {
  if (statusCode == 200 && body == RemoteRefresher::Body::NotText) {
    foundation::logf("Remote hostfile %@: the body is not UTF-8 text; its contents are kept.", url);
  } else if (statusCode == 0) {
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

std::pair<RemoteRefresher::Body, std::string> RemoteRefresher::textOf(const std::optional<foundation::Data>& data) {
  // An empty body is no body: a server answering 200 with nothing must not wipe a hostfile.
  if (!data || data->empty()) return {Body::Empty, {}};
  const std::string_view bytes(reinterpret_cast<const char*>(data->data()), data->size());
  if (!isWellFormedUTF8(bytes)) return {Body::NotText, {}};
  return {Body::Text, std::string(bytes)};
}

int RemoteRefresher::refreshAll(Completion completion) {
  auto batch = std::make_shared<Batch>();
  std::weak_ptr<RemoteRefresher> weak = weak_from_this();
  int started = 0;
  if (const auto context = DSManagedObjectContext::DS_defaultContext()) {
    const auto predicate = coredata::Predicate::withFormat("isRemote == true");
    const auto records = DSManagedObject::DS_findAllWithPredicate(HostGroup::kEntityName, predicate, context);
    for (const auto& record : records.value_or(DSObjects{})) {
      if (!hasAddress(*record)) continue;
      batch->group->enter();
      ++started;
      start(record, [weak, batch](Download& download) {
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
  start(record, [weak, completion = std::move(completion)](Download& download) {
    if (const auto self = weak.lock()) {
      self->finishSingle(download, completion);
    } else if (completion) {
      completion(0);
    }
  });
  return true;
}

void RemoteRefresher::start(const coredata::ManagedObjectPtr& record,
                            std::function<void(Download&)> finished) {
  auto pending = std::make_shared<Download>();
  pending->objectID = record->objectID();
  pending->url = HostGroupFields::remoteURL(*record);
  const std::uint64_t number = nextDownload_++;
  running_[number] = {0, -1};
  reportProgress();
  std::weak_ptr<RemoteRefresher> weak = weak_from_this();
  auto request = pipeline::request(pending->url, pipeline::HTTPMethod::get, std::nullopt,
                                   pipeline::URLEncoding::default_(), std::nullopt);
  request->downloadProgress([weak, number](const std::shared_ptr<pipeline::Progress>& progress) {
    if (const auto self = weak.lock()) {
      self->downloadProgressed(number, progress->completedUnitCount(), progress->totalUnitCount());
    }
  });
  // The parsed JSON is ignored: any body, JSON or not, is the hostfile's text. The body is checked
  // and copied into text on a background queue; what the window sees happens on the main queue.
  request->responseJSON(
      dispatch::Queue::global(dispatch::QualityOfService::Utility), foundation::JSONReadingAllowFragments,
      [pending, weak, number, finished = std::move(finished)](const pipeline::DataResponse<foundation::Value>& response) {
        if (response.response()) pending->statusCode = response.response()->statusCode();
        if (pending->statusCode == 200) std::tie(pending->body, pending->text) = textOf(response.data());
        dispatch::Queue::main()->async([pending, weak, number, finished] {
          if (const auto self = weak.lock()) self->downloadEnded(number);
          finished(*pending);
        });
      });
}

RemoteRefresher::Progress RemoteRefresher::progress() const {
  Progress progress;
  progress.downloads = static_cast<int>(running_.size());
  progress.received = 0;
  progress.expected = running_.empty() ? -1 : 0;
  for (const auto& [number, bytes] : running_) {
    progress.received += bytes.first;
    if (bytes.second < 0 || progress.expected < 0) {
      progress.expected = -1;
    } else {
      progress.expected += bytes.second;
    }
  }
  return progress;
}

void RemoteRefresher::downloadProgressed(std::uint64_t download, std::int64_t received, std::int64_t expected) {
  const auto found = running_.find(download);
  if (found == running_.end()) return;  // a late report of a download that has ended
  found->second = {received, expected > 0 ? expected : -1};
  reportProgress();
}

void RemoteRefresher::downloadEnded(std::uint64_t download) {
  running_.erase(download);
  reportProgress();
}

void RemoteRefresher::reportProgress() {
  if (hooks_.progressChanged) hooks_.progressChanged(progress());
}

coredata::ManagedObjectPtr RemoteRefresher::findAgain(const coredata::ObjectIDPtr& objectID) {
  const auto context = DSManagedObjectContext::DS_defaultContext();
  if (!context || !objectID) return nullptr;
  foundation::Error error;
  auto record = context->existingObjectWithID(objectID, &error);
  if (!record || record->isDeleted()) return nullptr;
  return record;
}

bool RemoteRefresher::finishBatchItem(Download& download) {
  if (!download.succeeded()) {
    logFailure(download.url, download.statusCode, download.body);
    return false;
  }
  if (!download.hasText()) return false;
  const auto record = findAgain(download.objectID);
  if (!record) return false;  // deleted while downloading
  const foundation::Value current = record->valueForKey(HostGroup::kContentsProxyKey);
  if (current.isString() && current.stringValue() == download.text) return false;
  HostGroupFields::setContentsProxy(*record, std::move(download.text));
  contentsChanged();
  return true;
}

void RemoteRefresher::finishSingle(Download& download, const Completion& completion) {
  int updated = 0;
  if (const auto record = findAgain(download.objectID)) {
    if (!download.succeeded()) {
      logFailure(download.url, download.statusCode, download.body);
      showErrorAlert();
    } else if (download.hasText()) {
      // Set even when unchanged: the user asked for this refresh, so it counts as a change.
      HostGroupFields::setContentsProxy(*record, std::move(download.text));
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
