// Download throughput of the URL session and of the Pipeline client against a loopback server,
// beside the curl tool's on the same URL. Serves 200 MB from memory on 127.0.0.1 and loads it
// these ways: a data task whose delegate counts the bytes, a download task whose delegate moves
// the file it is handed to a path of its own, a Pipeline GET into memory handled as data and as
// JSON (the road on which the application fetches remote hostfiles, reading the body beside the
// failed parse), `curl -o /dev/null` (the anchor), and curl writing a file. As with curl's file,
// the downloaded file is checked and removed after the clock stops.
// Prints the median MB/s of each over several rounds and each as a ratio of curl's; not a test,
// nothing is asserted. Arguments: the number of rounds, and names to run only some of them.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <unistd.h>

#include "bench/DownloadBench.h"
#include "net/pipeline/SessionManager.h"
#include "platform/foundation/FileManager.h"
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
  // Keeps the file, as an application would.
  void didFinishDownloadingToURL(const net::URLSessionPtr&, const net::DownloadTaskPtr&,
                                 const net::URL& location) override {
    if (::rename(location.path().c_str(), kept.c_str()) != 0) std::perror("moving the downloaded file");
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
  std::string kept;
  std::size_t bytes = 0;
  std::optional<foundation::Error> error;
  bool done = false;
  std::mutex mutex;
  std::condition_variable cv;
};

std::string benchFile(const char* what) {
  return foundation::FileManager::defaultManager().temporaryDirectory() + "/net-bench-" + what + "-" +
         std::to_string(::getpid()) + ".bin";
}

double sessionRun(const std::string& url, bool download) {
  auto delegate = std::make_shared<CountingDelegate>();
  delegate->kept = benchFile("kept");
  auto session = net::URLSession::create(net::URLSessionConfiguration::ephemeralSessionConfiguration(), delegate);
  net::URLRequest request(*net::URL::fromString(url));
  auto start = std::chrono::steady_clock::now();
  if (download) session->downloadTask(request)->resume();
  else session->dataTask(request)->resume();
  delegate->wait();
  auto elapsed = std::chrono::steady_clock::now() - start;
  session->finishTasksAndInvalidate();
  std::error_code noFile;
  const auto keptSize = std::filesystem::file_size(delegate->kept, noFile);
  ::unlink(delegate->kept.c_str());
  if (delegate->error || delegate->bytes != bench::kDownloadSize || (download && keptSize != bench::kDownloadSize)) {
    std::fprintf(stderr, "session run failed: %zu bytes, %s\n", delegate->bytes,
                 delegate->error ? delegate->error->localizedDescription().c_str() : "no error");
    return 0;
  }
  return bench::megabytesPerSecond(bench::kDownloadSize, elapsed);
}

// A Pipeline GET into memory on a manager of its own: `handle` adds to the request a response
// handler, on the queue it is given, that calls `done` with the size of the body it got (0 when
// the request failed).
using PipelineHandle = std::function<void(pipeline::DataRequest&, const std::shared_ptr<dispatch::Queue>&,
                                          std::function<void(std::size_t)> done)>;
double pipelineRun(const std::string& url, const PipelineHandle& handle) {
  auto manager = pipeline::SessionManager::create(net::URLSessionConfiguration::ephemeralSessionConfiguration());
  std::promise<std::size_t> received;
  const auto start = std::chrono::steady_clock::now();
  handle(*manager->request(url), dispatch::Queue::createSerial("bench.pipeline"),
         [&](std::size_t bytes) { received.set_value(bytes); });
  const std::size_t bytes = received.get_future().get();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  if (bytes != bench::kDownloadSize) std::fprintf(stderr, "pipeline run failed: %zu bytes\n", bytes);
  return bytes == bench::kDownloadSize ? bench::megabytesPerSecond(bytes, elapsed) : 0;
}

double pipelineDataRun(const std::string& url) {
  return pipelineRun(url, [](pipeline::DataRequest& request, const auto& queue, auto done) {
    request.responseData(queue, [done](const pipeline::DataResponse<foundation::Data>& response) {
      done(response.result().isSuccess() ? response.result().unwrap().size() : 0);
    });
  });
}

// The parse fails at the first byte, as it does for a hostfile; the body beside it is what counts.
double pipelineJSONRun(const std::string& url) {
  return pipelineRun(url, [](pipeline::DataRequest& request, const auto& queue, auto done) {
    request.responseJSON(queue, foundation::JSONReadingAllowFragments,
                         [done](const pipeline::DataResponse<foundation::Value>& response) {
                           done(response.data() ? response.data()->size() : 0);
                         });
  });
}

// curl writing a file, which is removed after.
double curlFileRun(const std::string& url) {
  const std::string path = benchFile("curl");
  double rate = bench::curlRun(url, path);
  ::unlink(path.c_str());
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  bench::BlobServer server;
  const std::string url = server.url();
  return bench::compare(argc, argv, url,
                        {{"URLSession data task", [&] { return sessionRun(url, false); }},
                         {"URLSession download task", [&] { return sessionRun(url, true); }},
                        {"Pipeline GET responseData", [&] { return pipelineDataRun(url); }},
                        {"Pipeline GET responseJSON", [&] { return pipelineJSONRun(url); }},
                         {"curl -o FILE", [&] { return curlFileRun(url); }}});
}
