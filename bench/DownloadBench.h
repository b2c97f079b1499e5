#pragma once
// What the download benchmarks share: a 200 MB body served from memory on 127.0.0.1, the MB/s of
// a run, the best of several runs, and the curl tool's own figure on the same URL as the anchor.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "tests/platform/net/LoopbackServer.h"

namespace bench {

constexpr std::size_t kDownloadSize = 200u << 20;
constexpr int kRuns = 3;

// A server on 127.0.0.1 answering "/blob" with kDownloadSize bytes of a pattern, 1 MiB a write.
class BlobServer {
 public:
  BlobServer() : body_(kDownloadSize, '\0') {
    for (std::size_t i = 0; i < kDownloadSize; ++i) body_[i] = static_cast<char>(i * 31 + (i >> 12));
    server_.routes().Get("/blob", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(body_.size(), "application/octet-stream",
                               [this](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                 sink.write(body_.data() + offset, std::min<std::size_t>(length, 1 << 20));
                                 return true;
                               });
    });
    server_.start();
  }
  std::string url() const { return server_.url("/blob"); }

 private:
  std::string body_;
  test::LoopbackServer server_;
};

inline double megabytesPerSecond(std::size_t bytes, std::chrono::steady_clock::duration elapsed) {
  return static_cast<double>(bytes) / (1 << 20) / std::chrono::duration<double>(elapsed).count();
}

// `curl -o /dev/null` on `url`, in MB/s; 0 when curl is missing or the transfer fell short.
inline double curlRun(const std::string& url) {
  std::string command = "curl -s -o /dev/null -w '%{size_download} %{time_total}' '" + url + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return 0;
  double size = 0, seconds = 0;
  int read = std::fscanf(pipe, "%lf %lf", &size, &seconds);
  int status = ::pclose(pipe);
  if (read != 2 || status != 0 || seconds <= 0 || size != static_cast<double>(kDownloadSize)) return 0;
  return size / (1 << 20) / seconds;
}

// The highest of kRuns results of `run`.
template <typename F>
double best(F run) {
  double top = 0;
  for (int i = 0; i < kRuns; ++i) top = std::max(top, run());
  return top;
}

}  // namespace bench
