#pragma once
// Transfer is the engine-side state of one task while libcurl loads it: the easy handle, the
// request being sent, the response being parsed, the body source and sink, pauses, and the
// pieces of the task's metrics. Only the session's engine thread touches a Transfer.
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/net/URLSession.h"
#include "platform/net/detail/SessionCore.h"

namespace net::detail {

struct Transfer {
  enum Pause : unsigned { Suspended = 1, AwaitingDelegate = 2, FlowControl = 4 };
  enum class Phase { Headers, Normal, Redirect, Authenticate };

  SessionCore* core = nullptr;
  std::shared_ptr<URLSessionTask> task;
  TaskSetup setup;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  bool inMulti = false;
  URLRequest request;

  // Body being sent.
  std::shared_ptr<InputStream> body;
  std::int64_t bodyLength = kURLSessionTransferSizeUnknown;
  std::int64_t bodySent = 0;
  std::optional<foundation::Error> bodyError;

  // Response being received.
  Phase phase = Phase::Headers;
  int status = 0;
  std::string httpVersion;
  HTTPHeaderFields headers;
  std::vector<std::string> setCookies;
  std::shared_ptr<const HTTPURLResponse> response;
  foundation::Data heldBody;  // redirect and 401 bodies, in case they become the final response
  bool responseDecided = false;
  bool awaitingResponse = false;
  bool done = false;  // curl has finished the current attempt
  CURLcode doneCode = CURLE_OK;
  unsigned pauses = 0;
  std::shared_ptr<std::atomic<std::int64_t>> undelivered = std::make_shared<std::atomic<std::int64_t>>(0);
  std::shared_ptr<std::atomic<bool>> flowWaiting = std::make_shared<std::atomic<bool>>(false);

  // Body bytes and download progress waiting for the delegate queue.
  struct PendingData {
    std::mutex mutex;
    foundation::Data bytes;
    bool scheduled = false;
  };
  struct PendingProgress {
    std::mutex mutex;
    std::int64_t total = 0, reported = 0, expected = 0;
    bool scheduled = false;
  };
  std::shared_ptr<PendingData> pendingData = std::make_shared<PendingData>();
  std::shared_ptr<PendingProgress> pendingProgress = std::make_shared<PendingProgress>();

  // Completion-handler tasks collect the body here.
  foundation::Data collected;

  // Download sink.
  bool download = false;
  std::FILE* file = nullptr;
  std::string filePath;
  std::int64_t resumeOffset = 0;
  std::int64_t written = 0;
  std::optional<std::string> validator;  // ETag or Last-Modified of the resource

  // Redirects and authentication.
  unsigned long redirectCount = 0;
  long authFailures = 0;
  std::shared_ptr<const URLCredential> credentialInUse;
  std::optional<URLProtectionSpace> authSpace;

  // Time-outs, on the monotonic clock.
  std::chrono::steady_clock::time_point lastActivity;
  std::chrono::steady_clock::time_point resourceDeadline;
  double idleTimeout = 60;

  // Failures found inside callbacks, which win over curl's own code.
  std::optional<foundation::Error> failure;
  // The verdict of the TLS trust challenge, when it refused the server.
  std::optional<long> trustFailureCode;

  // Metrics.
  foundation::Date taskStart;
  foundation::Date attemptStart;
  std::vector<URLSessionTaskTransactionMetrics> transactions;

  std::function<void(std::optional<foundation::Data>)> resumeDataCompletion;

  ~Transfer();
  bool usesHandler() const { return static_cast<bool>(setup.dataHandler) || static_cast<bool>(setup.downloadHandler); }
  void touch() { lastActivity = std::chrono::steady_clock::now(); }
};

}  // namespace net::detail
