#pragma once
// TLHttpClient is the core's general HTTP sending path, apart from the ingestions: it sends any
// URL, method, headers and body, retries recoverable failures (after the server's
// "x-retry-after-ms" when it gives one), gzips large bodies, pauses while the network is down,
// and can be disabled, which cancels and reports everything pending. Every final outcome, a 404
// included, reaches the handler exactly once without an error being made of it.
//
// The client's recursive lock guards its state; handlers of finished calls run after it is
// released, on the session's queue; handlers of calls cancelled by disabling run under it.
// Thread-safe. Made through create, which starts the network watch once the object is complete.
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/Monitor.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLSessionConfiguration.h"
#include "telemetry/core/Internals/HttpClient/TLHttpClientProtocol.h"

namespace net {
class URLSession;
class URLResponse;
}  // namespace net
class TLHttpCall;
class TL_Reachability;

class TLHttpClient : public TLHttpClientProtocol, public std::enable_shared_from_this<TLHttpClient> {
 public:
  // No connection limit, compression on, retries after 10, 300 and 1200 seconds, watching the
  // internet connection.
  static std::shared_ptr<TLHttpClient> create();
  static std::shared_ptr<TLHttpClient> create(bool compressionEnabled);
  static std::shared_ptr<TLHttpClient> create(std::int64_t maxHttpConnectionsPerHost, bool compressionEnabled);
  // The full form: a connection limit or none, the retry table (seconds), the network watcher.
  static std::shared_ptr<TLHttpClient> create(std::optional<std::int64_t> maxHttpConnectionsPerHost,
                                              std::vector<double> retryIntervals,
                                              std::shared_ptr<TL_Reachability> reachability, bool compressionEnabled);
  // Stops the network watch and lets the session finish its tasks.
  ~TLHttpClient() override;
  TLHttpClient(const TLHttpClient&) = delete;
  TLHttpClient& operator=(const TLHttpClient&) = delete;

  // Enabled: makes a call and starts it. Disabled: calls `handler` at once with error code 3.
  void sendAsync(const net::URL& url, const std::string& method, const std::optional<net::HTTPHeaderFields>& headers,
                 const std::optional<foundation::Data>& data, TLHttpRequestCompletionHandler handler) override;
  // Starts one attempt of a pending call; nothing while paused, for a call not pending, or for
  // one whose attempt runs. Starting cancels the call's armed retry timer.
  void sendCallAsync(const std::shared_ptr<TLHttpCall>& call);
  // Pause: nothing starts; every pending call gets its count reset and its timer cancelled.
  // Resume (only when paused and enabled): every pending call not running is sent again.
  void pause() override;
  void resume() override;
  // Only a change acts. Enabling makes a new session, starts the network watch and resumes.
  // Disabling stops the watch, pauses, cancels running requests and calls every pending call's
  // handler with error code 2; those calls are never reported again.
  void setEnabled(bool isEnabled) override;
  // Pauses when the client's watcher reports no network, else resumes.
  void networkStateChanged();

  bool isPaused() const;
  bool isEnabled() const;
  bool isCompressionEnabled() const { return compressionEnabled_; }
  // The number of calls not yet finished.
  std::size_t pendingCallCount() const;
  std::shared_ptr<TL_Reachability> reachability() const { return reachability_; }

  // "key = value" for each header, values through obfuscateHeaderValue, joined by ", ".
  std::string prettyPrintHeaders(const net::HTTPHeaderFields& headers) const;
  // "Authorization" prints as its first word and "***", "App-Secret" with all but its last 8
  // characters masked; others unchanged.
  std::string obfuscateHeaderValue(const std::string& value, const std::string& key) const;

 private:
  TLHttpClient(std::optional<std::int64_t> maxHttpConnectionsPerHost, std::vector<double> retryIntervals,
               std::shared_ptr<TL_Reachability> reachability, bool compressionEnabled);
  void startWatchingNetwork();
  void requestCompleted(const std::shared_ptr<TLHttpCall>& call, std::optional<foundation::Data> data,
                        std::shared_ptr<const net::URLResponse> response, std::optional<foundation::Error> error);
  // Takes the call out of the pending set and marks it finished; false when it was not pending.
  bool finish(const std::shared_ptr<TLHttpCall>& call);

  mutable foundation::Monitor lock_;
  bool paused_ = false;
  bool enabled_ = true;
  const bool compressionEnabled_;
  std::shared_ptr<net::URLSession> session_;
  const std::shared_ptr<TL_Reachability> reachability_;
  std::set<std::shared_ptr<TLHttpCall>> pendingCalls_;
  const std::vector<double> retryIntervals_;
  net::URLSessionConfiguration sessionConfiguration_;
  foundation::NotificationCenter::ObserverToken networkObserver_ = 0;
};
