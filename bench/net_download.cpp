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

#include "platform/net/URLSession.h"
#include "tests/platform/net/LoopbackServer.h"

namespace {

constexpr std::size_t kSize = 200u << 20;
constexpr int kRuns = 3;

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

double megabytesPerSecond(std::size_t bytes, std::chrono::steady_clock::duration elapsed) {
  return static_cast<double>(bytes) / (1 << 20) / std::chrono::duration<double>(elapsed).count();
}

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
  if (delegate->error || delegate->bytes != kSize) {
    std::fprintf(stderr, "session run failed: %zu bytes, %s\n", delegate->bytes,
                 delegate->error ? delegate->error->localizedDescription().c_str() : "no error");
    return 0;
  }
  return megabytesPerSecond(kSize, elapsed);
}

double curlRun(const std::string& url) {
  std::string command = "curl -s -o /dev/null -w '%{size_download} %{time_total}' '" + url + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return 0;
  double size = 0, seconds = 0;
  int read = std::fscanf(pipe, "%lf %lf", &size, &seconds);
  int status = ::pclose(pipe);
  if (read != 2 || status != 0 || seconds <= 0 || size != static_cast<double>(kSize)) return 0;
  return size / (1 << 20) / seconds;
}

template <typename F>
double best(F run) {
  double top = 0;
  for (int i = 0; i < kRuns; ++i) top = std::max(top, run());
  return top;
}

}  // namespace

int main() {
  std::string body(kSize, '\0');
  for (std::size_t i = 0; i < kSize; ++i) body[i] = static_cast<char>(i * 31 + (i >> 12));
  test::LoopbackServer server;
  server.routes().Get("/blob", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(body.size(), "application/octet-stream",
                             [&](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                               sink.write(body.data() + offset, std::min<std::size_t>(length, 1 << 20));
                               return true;
                             });
  });
  server.start();
  const std::string url = server.url("/blob");

  double data = best([&] { return sessionRun(url, false); });
  double file = best([&] { return sessionRun(url, true); });
  double tool = best([&] { return curlRun(url); });
  std::printf("200 MB from %s, best of %d runs\n", url.c_str(), kRuns);
  std::printf("  URLSession data task     %8.1f MB/s\n", data);
  std::printf("  URLSession download task %8.1f MB/s\n", file);
  if (tool > 0) std::printf("  curl -o /dev/null        %8.1f MB/s\n", tool);
  else std::printf("  curl -o /dev/null        (curl tool not available)\n");
  return data > 0 && file > 0 ? 0 : 1;
}
