// Download throughput of the Relay HTTP client against a loopback server, beside the curl tool's
// on the same URL. Serves 200 MB from memory on 127.0.0.1 and loads it through an
// RLHTTPSessionManager two ways: GET into memory (the body handed to the success block as data)
// and a download task moved to a file, then with `curl -o /dev/null`. Prints the median MB/s of
// each over several rounds and each as a ratio of curl's; not a test, nothing is asserted.
// Arguments: the number of rounds, and names to run only some of them.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <string>
#include <unistd.h>

#include "bench/DownloadBench.h"
#include "net/callbacks/RLHTTPSessionManager.h"
#include "platform/dispatch/MainQueueDriver.h"
#include "platform/foundation/FileManager.h"

namespace {

// A manager whose blocks run on a queue of their own, so that the benchmark needs no main loop;
// the completion notifications that wait on the main queue are let go between runs.
std::shared_ptr<RLHTTPSessionManager> makeManager() {
  auto manager = RLHTTPSessionManager::manager();
  manager->setCompletionQueue(dispatch::Queue::createSerial("bench.completion"));
  manager->setResponseSerializer(RLHTTPResponseSerializer::serializer());
  return manager;
}

double getRun(const std::string& url) {
  auto manager = makeManager();
  std::promise<std::size_t> received;
  const auto start = std::chrono::steady_clock::now();
  manager->GET(
      url, foundation::Value(),
      [&](const net::DataTaskPtr&, const foundation::Value& body) { received.set_value(body.dataValue().size()); },
      [&](const net::DataTaskPtr&, const foundation::Error& error) {
        std::fprintf(stderr, "GET failed: %s\n", error.description().c_str());
        received.set_value(0);
      });
  const std::size_t bytes = received.get_future().get();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  manager->invalidateSessionCancelingTasks(true);
  dispatch::drainMainQueue();
  return bytes == bench::kDownloadSize ? bench::megabytesPerSecond(bytes, elapsed) : 0;
}

double downloadRun(const std::string& url) {
  auto manager = makeManager();
  const std::string destination = foundation::FileManager::defaultManager().temporaryDirectory() +
                                  "/relay-bench-" + std::to_string(::getpid()) + ".bin";
  std::promise<bool> moved;
  const auto start = std::chrono::steady_clock::now();
  manager
      ->downloadTaskWithRequest(
          net::URLRequest(*net::URL::fromString(url)), nullptr,
          [&](const net::URL&, const RLURLResponsePtr&) { return std::optional(net::URL::fileURLWithPath(destination)); },
          [&](const RLURLResponsePtr&, const foundation::Value& object, const std::optional<foundation::Error>& error) {
            if (error) std::fprintf(stderr, "download failed: %s\n", error->description().c_str());
            moved.set_value(!error && object.objectAs<net::URL>());
          })
      ->resume();
  const bool ok = moved.get_future().get();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  manager->invalidateSessionCancelingTasks(true);
  dispatch::drainMainQueue();
  std::error_code noSize;
  const bool whole = ok && std::filesystem::file_size(destination, noSize) == bench::kDownloadSize;
  foundation::FileManager::defaultManager().removeItemAtPath(destination);
  return whole ? bench::megabytesPerSecond(bench::kDownloadSize, elapsed) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  bench::BlobServer server;
  const std::string url = server.url();
  return bench::compare(argc, argv, url,
                        {{"RLHTTPSessionManager GET", [&] { return getRun(url); }},
                         {"RLURLSessionManager download", [&] { return downloadRun(url); }}});
}
