#pragma once
// RemoteRefresher downloads the contents of remote hostfiles (isRemote YES) from their remoteURL
// through the HTTP client and writes new text into the record in the default context, which
// marks it as changed; nothing reaches the hosts file until the user applies.
//
// refreshAll() refreshes every remote hostfile at once and, when at least one got new text,
// reports the count (the application shows a notification for it). refreshOne() refreshes the
// hostfile the main window has selected and tells the user in an alert when the download failed.
//
// A failed download (no response, a transport error, any status but 200, or a body that is not
// UTF-8 text) never touches the hostfile: it keeps its last good contents, the failure is logged,
// and the single refresh tells the user in its alert. A completion finds its hostfile again by
// object ID in the default context and skips it when it was deleted meanwhile.
//
// While downloads run, their progress is reported (the window shows it): the bytes received and,
// when every server said how many it sends, the bytes expected. Bodies are checked and turned into
// text off the main thread, so a body of tens of megabytes never holds up the window.
//
// Main thread only: records are read and written in the default context, and every completion
// runs on the main queue. Create it with create(); completions that arrive after the last owner
// let it go do nothing.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/coredata/ManagedObject.h"
#include "platform/coredata/ManagedObjectID.h"
#include "platform/foundation/Value.h"

class QWidget;

namespace app {

class RemoteRefresher : public std::enable_shared_from_this<RemoteRefresher> {
 public:
  static constexpr const char* kErrorMessage = "An error occurred while retrieving this hosts file.";
  static constexpr const char* kErrorInformativeText =
      "We were unable to update this hosts file's contents from the network. Please try again.";
  // The analytics event of a single refresh.
  static constexpr const char* kRefreshEvent = "refreshRemote";

  // How far the running downloads have come, together.
  struct Progress {
    int downloads = 0;            // running; 0 once the last one ended
    std::int64_t received = 0;    // bytes, over all running downloads
    std::int64_t expected = -1;   // bytes, or -1 while any download's length is unknown
  };

  // What the refresher needs from the application; every hook may be empty.
  struct Hooks {
    // Told, after all downloads of one refreshAll() ended, how many hostfiles got new text,
    // when that is at least 1.
    std::function<void(int updatedCount)> hostfilesUpdated;
    // Told after each write of new contents into the default context (to schedule a save).
    std::function<void()> contentsChanged;
    // The window the single refresh's error alert is shown on; null shows it on its own.
    std::function<QWidget*()> sheetWindow;
    // Told when a download starts, makes progress and ends.
    std::function<void(const Progress&)> progressChanged;
  };
  // Told once a refresh has ended: how many hostfiles got new text.
  using Completion = std::function<void(int updatedCount)>;

  static std::shared_ptr<RemoteRefresher> create(Hooks hooks);
  RemoteRefresher(const RemoteRefresher&) = delete;
  RemoteRefresher& operator=(const RemoteRefresher&) = delete;

  // Starts one download for every remote hostfile that has an address, all at the same time.
  // Once the last one ended (at once when none started) the hostfilesUpdated hook runs when
  // anything changed, then `completion`, both on the main queue. A hostfile whose text is
  // already the downloaded text is left as it is. Returns the number of downloads started.
  // Without a data stack nothing starts. Each call is independent of any still running.
  int refreshAll(Completion completion = {});

  // Refreshes `record` alone, when it is a remote hostfile with an address; otherwise does
  // nothing and returns false. Sends "refreshRemote", then downloads: status 200 with a UTF-8
  // body sets that text (even when it is the same, so the hostfile is marked changed); status
  // 200 with an empty body changes nothing; any failure, a body that is not UTF-8 included, shows
  // the error alert and keeps the contents. `completion` (1 when the text was set, else 0) runs on
  // the main queue after that.
  bool refreshOne(const coredata::ManagedObjectPtr& record, Completion completion = {});

  // What a body of status 200 holds.
  enum class Body { Empty, Text, NotText };
  // `data` as text when it is well-formed UTF-8 (Body::Text), else Empty (missing or no bytes) or
  // NotText, with no text. Pure; safe from any thread.
  static std::pair<Body, std::string> textOf(const std::optional<foundation::Data>& data);

  // How far the running downloads have come.
  Progress progress() const;

 private:
  struct Download;
  struct Batch;

  explicit RemoteRefresher(Hooks hooks);
  void start(const coredata::ManagedObjectPtr& record, std::function<void(Download&)> finished);
  static coredata::ManagedObjectPtr findAgain(const coredata::ObjectIDPtr& objectID);
  bool finishBatchItem(Download& download);
  void finishSingle(Download& download, const Completion& completion);
  void showErrorAlert();
  void contentsChanged();
  void downloadProgressed(std::uint64_t download, std::int64_t received, std::int64_t expected);
  void downloadEnded(std::uint64_t download);
  void reportProgress();

  Hooks hooks_;
  // The running downloads: bytes received and expected (-1 unknown), by download number.
  std::map<std::uint64_t, std::pair<std::int64_t, std::int64_t>> running_;
  std::uint64_t nextDownload_ = 1;
};

}  // namespace app
