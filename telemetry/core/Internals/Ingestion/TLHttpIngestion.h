#pragma once
// TLHttpIngestion is the sending end of the telemetry core: it takes one payload (a batch of logs)
// per call, turns it into an HTTP request to one fixed URL, keeps every unfinished call in a
// table keyed by call id, retries through the calls, stops sending while the network is down, and
// tells its delegates when it pauses, resumes or meets a fatal answer.
//
// It is abstract: the concrete ingestions (TLTelemetryIngestion, TLCollectorIngestion) build the
// requests. Every state-changing operation holds the ingestion's recursive lock, so delegate
// callbacks and completion handlers run with it held. Completions of attempts arrive on the
// session's own serial queue; retry timers fire on the default global queue; network changes
// arrive on the main thread. All public methods are thread-safe.
//
// Ingestions are made through their classes' create functions, which start the network watch
// once the object is complete.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/foundation/Monitor.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/WeakHashTable.h"
#include "platform/net/HTTPHeaderFields.h"
#include "platform/net/URL.h"
#include "platform/net/URLRequest.h"
#include "telemetry/core/Internals/Ingestion/TLIngestionProtocol.h"

namespace net {
class URLSession;
}

class TLHttpIngestion : public TLIngestionProtocol, public std::enable_shared_from_this<TLHttpIngestion> {
 public:
  // Query parameters in the order they are written.
  using QueryStrings = std::vector<std::pair<std::string, std::string>>;

  // 10, 300 and 1200 seconds.
  static std::vector<double> defaultRetryIntervals();
  static constexpr std::int64_t kDefaultMaxNumberOfConnections = 4;

  // Stops the network watch and lets the session finish its tasks.
  ~TLHttpIngestion() override;
  TLHttpIngestion(const TLHttpIngestion&) = delete;
  TLHttpIngestion& operator=(const TLHttpIngestion&) = delete;

  // ---- Sending -----------------------------------------------------------------------------

  // Each makes a fresh call id (a new UUID) and hands over to the common send below; the form
  // without token goes through the token form, so subclasses that override it see every send.
  void sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> authToken,
                 TLSendAsyncCompletionHandler handler) override;
  void sendAsync(std::shared_ptr<TLLogContainer> data, TLSendAsyncCompletionHandler handler) override;
  void sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> eTag,
                 std::optional<std::string> authToken, TLSendAsyncCompletionHandler handler) override;
  void sendAsyncWithETag(std::shared_ptr<TLLogContainer> data, std::optional<std::string> eTag,
                         TLSendAsyncCompletionHandler handler) override;
  // The common send: makes a call for `callId` unless one is pending under that id (then the
  // pending call, with its own payload and handler, is used unchanged) and starts an attempt.
  void sendAsync(std::shared_ptr<TLLogContainer> data, std::optional<std::string> eTag,
                 std::optional<std::string> authToken, const std::string& callId,
                 TLSendAsyncCompletionHandler handler);
  // Starts one attempt for a pending call. Nothing happens while paused or disabled, for a call
  // that is not (or no longer) pending, for one whose attempt is still running, or when no
  // request can be built; starting cancels the call's armed retry timer.
  void sendCallAsync(const std::shared_ptr<TLIngestionCall>& call) override;
  // A call has ended: 500 disables the ingestion, 999 disables it with deletion and tells the
  // delegates of the fatal error; the call leaves the table.
  void call(const std::shared_ptr<TLIngestionCall>& call, TLIngestionCallResult result) override;

  // ---- Control -----------------------------------------------------------------------------

  // True here; subclasses may refuse.
  bool isReadyToSend() const override;
  // Only a change of value acts. Enabling starts the network watch (its first notification
  // resumes); disabling stops it and pauses, and with deletion also cancels running requests,
  // drops the session and every pending call without calling its handler.
  void setEnabled(bool isEnabled, bool deleteDataOnDisabled) override;
  bool isEnabled() const;
  // Pause: no attempt starts; calls waiting for a retry get their count reset and timer cancelled
  // (running attempts go on). Resume (only when paused and enabled) re-sends every call not
  // running. Each tells the delegates.
  void pause() override;
  void resume() override;
  bool isPaused() const override;
  void addDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) override;
  void removeDelegate(const std::shared_ptr<TLIngestionDelegate>& delegate) override;
  // Re-points the send URL at `baseURL` + the api path, keeping the query. A text that does not
  // parse leaves the send URL as it was.
  void setBaseURL(const std::string& baseURL);
  // Pauses when the ingestion's own watcher reports no network, else resumes.
  void networkStateChanged();
  // Calls `block` with each live delegate, outside the delegate table's lock.
  void enumerateDelegates(const std::function<void(TLIngestionDelegate&)>& block) const;

  // ---- State -------------------------------------------------------------------------------

  std::optional<std::string> baseURL() const;
  const std::string& apiPath() const { return apiPath_; }
  std::shared_ptr<TL_Reachability> reachability() const override { return reachability_; }
  // Nothing when the base URL and api path make no URL.
  std::optional<net::URL> sendURL() const;
  const net::HTTPHeaderFields& httpHeaders() const { return httpHeaders_; }
  // A copy of the pending-call table.
  std::map<std::string, std::shared_ptr<TLIngestionCall>> pendingCalls() const;
  // The session, created on first use: 60-second request timeout, maxNumberOfConnections per
  // host, completions one at a time on its own queue.
  std::shared_ptr<net::URLSession> session();
  std::int64_t maxNumberOfConnections() const { return maxNumberOfConnections_; }
  const std::vector<double>& callsRetryIntervals() const { return callsRetryIntervals_; }

  // ---- Log output --------------------------------------------------------------------------

  // "key = value" for each header, values through obfuscateHeaderValue, joined by ", ".
  std::string prettyPrintHeaders(const net::HTTPHeaderFields& headers) const;
  // The value to print for a header; unchanged here.
  virtual std::string obfuscateHeaderValue(const std::string& value, const std::string& key) const;

  // The value of the first header named "etag" in any case; nothing when there is none.
  static std::optional<std::string> eTagFromResponse(const net::HTTPURLResponse& response);

 protected:
  // Bodies this long or longer are gzipped.
  static constexpr std::size_t kCompressionThreshold = 1400;

  TLHttpIngestion(std::optional<std::string> baseURL, std::string apiPath, net::HTTPHeaderFields headers,
                  const QueryStrings& queryStrings, std::shared_ptr<TL_Reachability> reachability,
                  std::vector<double> retryIntervals = defaultRetryIntervals(),
                  std::int64_t maxNumberOfConnections = kDefaultMaxNumberOfConnections);

  // Makes a T and starts its network watch: the form every create function takes.
  template <class T, class... Args>
  static std::shared_ptr<T> makeIngestion(Args&&... args) {
    std::shared_ptr<T> ingestion(new T(std::forward<Args>(args)...));
    ingestion->startWatchingNetwork();
    return ingestion;
  }

  // The request for a payload, to sendURL with httpHeaders; nothing when it cannot be built now
  // (the call then stays pending until the next resume). Runs under the lock. Nothing here.
  virtual std::optional<net::URLRequest> createRequest(const std::shared_ptr<TLLogContainer>& data,
                                                       const std::optional<std::string>& eTag,
                                                       const std::optional<std::string>& authToken);
  // Sets `body` on `request`, gzipped with "Content-Encoding: gzip" when it is at least
  // kCompressionThreshold bytes and compression succeeds, else as it is.
  void setBody(net::URLRequest& request, foundation::Data body) const;
  // The gzip form of a body (TLCompression); nothing when compression fails.
  virtual std::optional<foundation::Data> compressBody(const foundation::Data& body) const;
  // At VERBOSE level, logs the request's URL and its headers, masked.
  void logRequest(const net::URLRequest& request) const;
  // Answers a send refused before any call is made: logs the invalid-container error at ERROR
  // and calls `handler` with it.
  static void refuseInvalidContainer(const std::shared_ptr<TLLogContainer>& data,
                                     const TLSendAsyncCompletionHandler& handler);
  // Whether a container can be sent: present, valid, and with a batch id to answer under.
  static bool isSendable(const std::shared_ptr<TLLogContainer>& data);

  foundation::Monitor& lock() const { return *lock_; }

 private:
  void startWatchingNetwork();
  void attemptCompleted(const std::shared_ptr<TLIngestionCall>& call, std::optional<foundation::Data> data,
                        std::shared_ptr<const net::URLResponse> response, std::optional<foundation::Error> error);
  bool isPending(const std::shared_ptr<TLIngestionCall>& call) const;

  const std::shared_ptr<foundation::Monitor> lock_ = std::make_shared<foundation::Monitor>();
  bool paused_ = false;
  bool enabled_ = true;
  std::optional<std::string> baseURL_;
  const std::string apiPath_;
  const std::shared_ptr<TL_Reachability> reachability_;
  std::string query_;  // percent-encoded, without "?"; kept so a later base URL can carry it
  std::optional<net::URL> sendURL_;
  const net::HTTPHeaderFields httpHeaders_;
  std::map<std::string, std::shared_ptr<TLIngestionCall>> pendingCalls_;
  std::shared_ptr<net::URLSession> session_;
  const std::int64_t maxNumberOfConnections_;
  const std::vector<double> callsRetryIntervals_;
  foundation::WeakHashTable<TLIngestionDelegate> delegates_;
  foundation::NotificationCenter::ObserverToken networkObserver_ = 0;
};
