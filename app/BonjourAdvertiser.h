#pragma once
// BonjourAdvertiser learns the computer's name as the user knows it (the machine's pretty name,
// else its host name) and keeps it in `hostname`. Despite its name it publishes nothing on the
// network: its only work is one fetch of the name, off the main thread, on a serial queue of its
// own labelled "fetchHostQueue".
//
// hostname and setHostname are thread-safe: a reader sees a whole value, either the one before
// the fetch or the fetched one. Copying is forbidden.
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace app {

class BonjourAdvertiser : public std::enable_shared_from_this<BonjourAdvertiser> {
 public:
  // Answers the computer's name, or nothing when it cannot be determined. Called on the fetch
  // queue.
  using NameQuery = std::function<std::optional<std::string>()>;

  // The label of the queue the fetch runs on.
  static constexpr const char* kFetchQueueLabel = "fetchHostQueue";

  // The process's one fetcher, made (and started) on the first call; later calls return the
  // same object and start nothing. Never null; lives until the process ends. Thread-safe.
  static std::shared_ptr<BonjourAdvertiser> sharedInstance();

  // A new fetcher that asks `query` (the platform's host name when empty), already started.
  // The pending fetch keeps the object alive until it has run.
  static std::shared_ptr<BonjourAdvertiser> create(NameQuery query = {});

  BonjourAdvertiser(const BonjourAdvertiser&) = delete;
  BonjourAdvertiser& operator=(const BonjourAdvertiser&) = delete;

  // Sets hostname to the empty string, then submits one fetch (fetchHostname without a
  // completion) to a new serial queue "fetchHostQueue". Each call starts another fetch.
  void start();
  // Sets hostname to the query's answer (possibly nothing), then calls `completion` when given,
  // on the calling thread.
  void fetchHostname(const std::function<void()>& completion = {});

  // Nothing before start; the empty string until the fetch ends; then the fetched name.
  std::optional<std::string> hostname() const;
  void setHostname(std::optional<std::string> hostname);

 private:
  explicit BonjourAdvertiser(NameQuery query);

  NameQuery query_;
  mutable std::mutex mutex_;
  std::optional<std::string> hostname_;
};

}  // namespace app
