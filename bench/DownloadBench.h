#pragma once
// What the download benchmarks share: a 200 MB body served from memory on 127.0.0.1, the MB/s of
// a run, the curl tool's own figure on the same URL as the anchor, and the side-by-side rounds
// that compare contenders with it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/platform/net/LoopbackServer.h"

namespace bench {

constexpr std::size_t kDownloadSize = 200u << 20;
constexpr int kDefaultRounds = 15;

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

// `curl -o OUTPUT` on `url`, in MB/s; 0 when curl is missing or the transfer fell short.
inline double curlRun(const std::string& url, const std::string& output = "/dev/null") {
  std::string command = "curl -s -o '" + output + "' -w '%{size_download} %{time_total}' '" + url + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return 0;
  double size = 0, seconds = 0;
  int read = std::fscanf(pipe, "%lf %lf", &size, &seconds);
  int status = ::pclose(pipe);
  if (read != 2 || status != 0 || seconds <= 0 || size != static_cast<double>(kDownloadSize)) return 0;
  return size / (1 << 20) / seconds;
}

// One way of loading the blob: its name and one run, which returns MB/s, or 0 when it failed.
struct Contender {
  std::string name;
  std::function<double()> run;
};

inline std::string loadAverage() {
  std::string text;
  if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
    char buffer[128] = {};
    if (std::fgets(buffer, sizeof buffer, file)) text = buffer;
    std::fclose(file);
  }
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text.empty() ? "unknown" : text;
}

inline double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  std::size_t middle = values.size() / 2;
  return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs curl and every contender in turn, `rounds` times over (the first argument, when it is a
// number), so that whatever else loads the machine falls on all of them alike; the other
// arguments, when given, keep only the contenders whose names contain one of them. Prints each
// one's median MB/s and its ratio to curl's median, as rates and as times. Returns 0 when every
// run succeeded.
inline int compare(int argc, char** argv, const std::string& url, std::vector<Contender> contenders) {
  int rounds = kDefaultRounds;
  std::vector<std::string> filters;
  for (int i = 1; i < argc; ++i) {
    char* end = nullptr;
    long number = std::strtol(argv[i], &end, 10);
    if (end && *end == '\0' && number > 0) rounds = static_cast<int>(number);
    else filters.emplace_back(argv[i]);
  }
  if (!filters.empty()) {
    std::erase_if(contenders, [&](const Contender& c) {
      return std::none_of(filters.begin(), filters.end(), [&](const std::string& f) { return c.name.find(f) != std::string::npos; });
    });
  }
  contenders.push_back({"curl -o /dev/null", [&] { return curlRun(url); }});
  std::vector<std::vector<double>> results(contenders.size());
  bool failed = false;
  const std::string loadBefore = loadAverage();
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < contenders.size(); ++i) {
      double rate = contenders[i].run();
      const bool anchorRun = i + 1 == contenders.size();
      if (rate > 0) results[i].push_back(rate);
      else if (!anchorRun) failed = true;
    }
  }
  std::printf("200 MB from %s, median of %d rounds side by side\n", url.c_str(), rounds);
  std::printf("load average before: %s; after: %s\n", loadBefore.c_str(), loadAverage().c_str());
  const double anchor = median(results.back());
  for (std::size_t i = 0; i < contenders.size(); ++i) {
    const double rate = median(results[i]);
    const auto [low, high] = std::minmax_element(results[i].begin(), results[i].end());
    std::printf("  %-32s %8.1f MB/s (%6.1f .. %6.1f)", contenders[i].name.c_str(), rate,
                results[i].empty() ? 0.0 : *low, results[i].empty() ? 0.0 : *high);
    if (i + 1 < contenders.size() && anchor > 0 && rate > 0) {
      std::printf("  %.2f x curl's rate, %.2f x its time", rate / anchor, anchor / rate);
    }
    std::printf("\n");
  }
  if (anchor <= 0) std::printf("  (the curl tool was not available)\n");
  return failed ? 1 : 0;
}

}  // namespace bench
