#pragma once
// What the download benchmarks share: a 200 MB body served from memory on 127.0.0.1, the MB/s of
// a run, the curl tool's own figure on the same URL as the anchor, and the side-by-side rounds
// that compare contenders with it, by wall time and by the CPU time the client spends.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/platform/net/LoopbackServer.h"

namespace bench {

constexpr std::size_t kDownloadSize = 200u << 20;
constexpr int kDefaultRounds = 15;

// A server on 127.0.0.1 answering "/blob" with kDownloadSize bytes of a pattern, 1 MiB a write.
// It runs in a child process, so that the CPU time the benchmark process spends is the client's
// alone. Make it before any thread starts.
class BlobServer {
 public:
  BlobServer() {
    int channel[2];
    if (::pipe(channel) != 0) throw std::runtime_error("no pipe for the blob server");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("could not start the blob server");
    if (pid_ == 0) {
      ::close(channel[0]);
      serve(channel[1]);
    }
    ::close(channel[1]);
    char buffer[256];
    ssize_t n = 0;
    while ((n = ::read(channel[0], buffer, sizeof buffer)) > 0) url_.append(buffer, static_cast<std::size_t>(n));
    ::close(channel[0]);
    if (url_.empty()) throw std::runtime_error("the blob server did not start");
  }
  ~BlobServer() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  BlobServer(const BlobServer&) = delete;
  BlobServer& operator=(const BlobServer&) = delete;

  std::string url() const { return url_; }

 private:
  // The child: serves until the parent ends it, after writing its URL to `out`.
  [[noreturn]] static void serve(int out) {
    std::string body(kDownloadSize, '\0');
    for (std::size_t i = 0; i < kDownloadSize; ++i) body[i] = static_cast<char>(i * 31 + (i >> 12));
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
    if (::write(out, url.data(), url.size()) != static_cast<ssize_t>(url.size())) ::_exit(1);
    ::close(out);
    for (;;) ::pause();
  }

  pid_t pid_ = -1;
  std::string url_;
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

// CPU time, user and system, that this process and its reaped children have spent, in ms.
inline double cpuMilliseconds() {
  double total = 0;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage usage{};
    ::getrusage(who, &usage);
    for (const timeval& t : {usage.ru_utime, usage.ru_stime}) total += t.tv_sec * 1e3 + t.tv_usec / 1e3;
  }
  return total;
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
// one's median MB/s and its ratio to curl's median, as rates and as times, and the median CPU
// time the client spent on a whole run, set-up and tear-down included, beside curl's (which
// includes starting the curl process).
// Returns 0 when every run succeeded.
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
  std::vector<std::vector<double>> results(contenders.size()), cpu(contenders.size());
  bool failed = false;
  const std::string loadBefore = loadAverage();
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t i = 0; i < contenders.size(); ++i) {
      const double cpuBefore = cpuMilliseconds();
      double rate = contenders[i].run();
      cpu[i].push_back(cpuMilliseconds() - cpuBefore);
      const bool anchorRun = i + 1 == contenders.size();
      if (rate > 0) results[i].push_back(rate);
      else if (!anchorRun) failed = true;
    }
  }
  std::printf("200 MB from %s, median of %d rounds side by side\n", url.c_str(), rounds);
  std::printf("load average before: %s; after: %s\n", loadBefore.c_str(), loadAverage().c_str());
  const double anchor = median(results.back());
  const double anchorCpu = median(cpu.back());
  for (std::size_t i = 0; i < contenders.size(); ++i) {
    const double rate = median(results[i]);
    const auto [low, high] = std::minmax_element(results[i].begin(), results[i].end());
    std::printf("  %-32s %8.1f MB/s (%6.1f .. %6.1f)", contenders[i].name.c_str(), rate,
                results[i].empty() ? 0.0 : *low, results[i].empty() ? 0.0 : *high);
    std::printf("  CPU %5.1f ms", median(cpu[i]));
    if (i + 1 < contenders.size() && anchor > 0 && rate > 0) {
      std::printf("  %.2f x curl's rate, %.2f x its time, %.2f x its CPU", rate / anchor, anchor / rate,
                  median(cpu[i]) / anchorCpu);
    }
    std::printf("\n");
  }
  if (anchor <= 0) std::printf("  (the curl tool was not available)\n");
  return failed ? 1 : 0;
}

}  // namespace bench
