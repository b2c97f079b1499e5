// Download throughput of the URL session against a loopback server, beside the curl tool's on
// the same URL. Serves 200 MB from memory on 127.0.0.1 and loads it three ways: a data task whose
// delegate counts the bytes, a download task written to a temporary file, and `curl -o /dev/null`.
// Prints MB/s for each (best of three runs); not a test, nothing is asserted.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "bench/DownloadBench.h"
#include "platform/net/URLSession.h"

namespace {

class CountingDelegate : public net::URLSessionDelegate {
 public:
  void didReceiveData(const net::URLSessionPtr&, const net::DataTaskPtr&, const foundation::Data& data) override {
    bytes += data.size();
  }
  void didWriteData(const net::URLSessionPtr&, const net::DownloadTaskPtr&, std::int64_t, std::int64_t total,
                    std::int64_t) override {
    bytes = static_cast<std::size_t>(total);
  }
  void didCompleteWithError(const net::URLSessionPtr&, const net::TaskPtr&,
                            const std::optional<foundation::Error>& e) override {
    std::lock_guard lock(mutex);
    error = e;
    done = true;
    cv.notify_all();
  }
  void wait() {
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return done; });
  }
  std::size_t bytes = 0;
  std::optional<foundation::Error> error;
  bool done = false;
  std::mutex mutex;
  std::condition_variable cv;
};

double sessionRun(const std::string& url, bool download) {
  auto delegate = std::make_shared<CountingDelegate>();
  auto session = net::URLSession::create(net::URLSessionConfiguration::ephemeralSessionConfiguration(), delegate);
  net::URLRequest request(*net::URL::fromString(url));
  auto start = std::chrono::steady_clock::now();
  if (download) session->downloadTask(request)->resume();
  else session->dataTask(request)->resume();
  delegate->wait();
  auto elapsed = std::chrono::steady_clock::now() - start;
  session->finishTasksAndInvalidate();
  if (delegate->error || delegate->bytes != bench::kDownloadSize) {
    std::fprintf(stderr, "session run failed: %zu bytes, %s\n", delegate->bytes,
                 delegate->error ? delegate->error->localizedDescription().c_str() : "no error");
    return 0;
  }
  return bench::megabytesPerSecond(bench::kDownloadSize, elapsed);
}

}  // namespace

int main() {
  bench::BlobServer server;
  const std::string url = server.url();

  double data = bench::best([&] { return sessionRun(url, false); });
  double file = bench::best([&] { return sessionRun(url, true); });
  double tool = bench::best([&] { return bench::curlRun(url); });
  std::printf("200 MB from %s, best of %d runs\n", url.c_str(), bench::kRuns);
  std::printf("  URLSession data task     %8.1f MB/s\n", data);
  std::printf("  URLSession download task %8.1f MB/s\n", file);
  if (tool > 0) std::printf("  curl -o /dev/null        %8.1f MB/s\n", tool);
  else std::printf("  curl -o /dev/null        (curl tool not available)\n");
  return data > 0 && file > 0 ? 0 : 1;
}
