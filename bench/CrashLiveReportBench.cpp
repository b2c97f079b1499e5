// Writes the live crash report of this process while it runs 20 threads, each stopped a few calls
// deep, and prints the time per report, without and with frame symbols. For comparison it has gdb
// attach and print every thread's backtrace once ("thread apply all bt"), the usual way to get
// the same picture of a live process from outside. Prints timings; asserts nothing.
//
//   bench_crash_live_report [rounds]
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "crash/engine/CrashReporter.h"

namespace {

constexpr int kThreads = 20;

std::mutex gMutex;
std::condition_variable gWake;
bool gStop = false;

__attribute__((noinline)) void parkedLevel(int depth) {
  if (depth > 0) {
    parkedLevel(depth - 1);
    asm volatile("" ::: "memory");  // keeps each level a real call
    return;
  }
  std::unique_lock lock(gMutex);
  gWake.wait(lock, [] { return gStop; });
}

double seconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// One live report per round; returns the seconds per report and the last report's size.
double timeReports(CrashReporter& reporter, int rounds, std::size_t* bytes) {
  const double total = seconds([&] {
    for (int i = 0; i < rounds; ++i) {
      const auto data = reporter.generateLiveReport();
      if (!data) {
        std::fprintf(stderr, "live report failed\n");
        std::exit(1);
      }
      *bytes = data->size();
    }
  });
  return total / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 20;
  if (rounds <= 0) {
    std::fprintf(stderr, "usage: bench_crash_live_report [rounds > 0]\n");
    return 2;
  }

  std::vector<std::thread> threads;
  for (int i = 1; i < kThreads; ++i) threads.emplace_back([i] { parkedLevel(3 + i % 5); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  auto plain = CrashReporter::initWithApplicationIdentifier(
      "org.quillmere.bench", "1", "1.0", std::make_shared<CrashReporterConfig>(CrashReporterSignalHandlerTypeBSD, 0));
  auto symbolicated = CrashReporter::initWithApplicationIdentifier(
      "org.quillmere.bench", "1", "1.0",
      std::make_shared<CrashReporterConfig>(CrashReporterSignalHandlerTypeBSD,
                                            CrashReporterSymbolicationStrategySymbolTable));
  std::size_t plainBytes = 0;
  std::size_t symbolBytes = 0;
  timeReports(*plain, 1, &plainBytes);  // warms the image list and page cache
  const double plainEach = timeReports(*plain, rounds, &plainBytes);
  const double symbolEach = timeReports(*symbolicated, rounds, &symbolBytes);

  // gdb attaches to this process, which must allow it.
  prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY);
  const std::string command = "gdb -nx -batch -p " + std::to_string(getpid()) +
                              " -ex 'thread apply all bt' >/dev/null 2>&1";
  int status = -1;
  const double gdbEach = seconds([&] { status = std::system(command.c_str()); });

  std::printf("%d threads, %d rounds\n", kThreads, rounds);
  std::printf("live report, no symbols        %9.3f ms  %7zu bytes\n", plainEach * 1e3, plainBytes);
  std::printf("live report, symbol table      %9.3f ms  %7zu bytes\n", symbolEach * 1e3, symbolBytes);
  if (status == 0) {
    std::printf("gdb thread apply all bt        %9.3f ms   (anchor)\n", gdbEach * 1e3);
    std::printf("ratio to anchor: %.4f without symbols, %.4f with\n", plainEach / gdbEach, symbolEach / gdbEach);
  } else {
    std::printf("gdb anchor unavailable (status %d)\n", status);
  }

  {
    std::lock_guard lock(gMutex);
    gStop = true;
  }
  gWake.notify_all();
  for (auto& thread : threads) thread.join();
  return 0;
}
