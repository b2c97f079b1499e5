#pragma once
// Transfer is the engine-side state of one task while libcurl loads it: the easy handle, the
// request being sent, the response being parsed, the body source and sink, pauses, and the
// pieces of the task's metrics. Only the session's engine thread touches a Transfer.
#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
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

  // Body bytes on their way to the delegate queue. The engine copies what curl hands it into a
  // chunk of its own, outside any lock, and hands the chunk over when it is full or when the
  // engine has read all there is for now; a delivery takes every chunk handed over and gives the
  // buffers back once the delegate is done with them. So a fast transfer costs one delegate
  // queue hop per pass over the socket rather than one per read, and keeps reusing a few warm
  // buffers rather than faulting in fresh memory as it goes.
  struct PendingData {
    // Undelivered bytes before the transfer pauses to let the delegate catch up, and after which
    // it goes on.
    static constexpr std::int64_t kFlowHighWater = 8 << 20;
    static constexpr std::int64_t kFlowLowWater = 2 << 20;
    static constexpr std::size_t kChunkBytes = 256 << 10;
    // Enough to cover a paused transfer's worth of chunks, so that a delegate that lags now and
    // then costs no fresh memory once the transfer is under way.
    static constexpr std::size_t kSpareChunks = kFlowHighWater / kChunkBytes + 2;

    foundation::Data filling;  // engine thread only
    std::mutex mutex;          // guards ready, spares and scheduled
    std::vector<foundation::Data> ready;
    std::vector<foundation::Data> spares;
    bool scheduled = false;  // a delivery is queued that has not yet taken `ready`
    std::atomic<std::int64_t> undelivered{0};  // appended and not yet through the delegate
    std::atomic<bool> flowWaiting{false};      // the transfer is paused until deliveries catch up

    // Engine thread: copies `n` bytes in. Returns true when a chunk filled up and was handed over
    // with no delivery queued, which the caller must then queue.
    bool append(const std::uint8_t* data, std::size_t n) {
      undelivered += static_cast<std::int64_t>(n);
      bool schedule = false;
      while (n > 0) {
        if (filling.capacity() == 0) filling = spare();
        const std::size_t room = filling.capacity() - filling.size();
        const std::size_t part = std::min(room, n);
        filling.insert(filling.end(), data, data + part);
        data += part;
        n -= part;
        if (filling.size() == filling.capacity()) schedule = handOver() || schedule;
      }
      return schedule;
    }
    // Engine thread: hands over the chunk being filled, if it holds anything. Returns true when
    // no delivery is queued, which the caller must then queue.
    bool handOver() {
      if (filling.empty()) return false;
      std::lock_guard lock(mutex);
      ready.push_back(std::move(filling));
      filling = foundation::Data();
      return !std::exchange(scheduled, true);
    }
    // Delivery: every chunk handed over so far, in order; the next hand-over queues a new delivery.
    std::vector<foundation::Data> take() {
      std::lock_guard lock(mutex);
      scheduled = false;
      return std::exchange(ready, {});
    }
    // Delivery: takes back delivered chunks for reuse and counts their bytes as delivered;
    // returns the bytes still undelivered.
    std::int64_t recycle(std::vector<foundation::Data> used) {
      std::int64_t size = 0;
      std::lock_guard lock(mutex);
      for (auto& chunk : used) {
        size += static_cast<std::int64_t>(chunk.size());
        if (spares.size() == kSpareChunks || chunk.capacity() != kChunkBytes) continue;
        chunk.clear();
        spares.push_back(std::move(chunk));
      }
      return undelivered -= size;
    }

   private:
    foundation::Data spare() {
      foundation::Data chunk;
      {
        std::lock_guard lock(mutex);
        if (!spares.empty()) {
          chunk = std::move(spares.back());
          spares.pop_back();
          return chunk;
        }
      }
      chunk.reserve(kChunkBytes);
      return chunk;
    }
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
  // The file's stdio buffer: large, so that the many small pieces curl hands over become few writes.
  std::unique_ptr<char[]> fileBuffer;
  bool progressUnsent = false;  // bytes written since the last progress report was queued
  std::string filePath;
  std::int64_t resumeOffset = 0;
  std::int64_t written = 0;
  std::int64_t reservedTo = 0;  // the file's blocks are reserved up to here
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
