#include "platform/dispatch/MemoryPressureWatch.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "platform/dispatch/MemoryPressureSource.h"

namespace dispatch {

namespace {

using Clock = std::chrono::steady_clock;

// The triggers: stall microseconds within a window of 2 s, the shortest window the kernel lets
// unprivileged processes use.
constexpr const char* kWarningTrigger = "some 200000 2000000";
constexpr const char* kCriticalTrigger = "full 100000 2000000";

// An armed trigger's descriptor, or -1 when the kernel refuses it.
int armTrigger(const std::string& path, const char* trigger) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  if (::write(fd, trigger, std::strlen(trigger) + 1) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

std::string readSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string text(16 * 1024, '\0');
  std::size_t used = 0;
  while (used < text.size()) {
    const ssize_t n = ::read(fd, text.data() + used, text.size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<std::size_t>(n);
  }
  ::close(fd);
  text.resize(used);
  return text;
}

struct Watch {
  std::mutex mutex;  // guards starting and stopping
  std::thread thread;
  int wakeFd = -1;
  MemoryPressureWatch::Options options;
  std::atomic<MemoryPressureWatch::Mode> mode{MemoryPressureWatch::Mode::Stopped};
};

Watch& watch() {
  static auto* shared = new Watch();  // never destroyed: the thread may outlive static destruction
  return *shared;
}

// Closes the trigger descriptors it holds when the watch thread ends.
struct Triggers {
  int warning = -1;
  int critical = -1;
  Triggers() = default;
  Triggers(Triggers&& other) noexcept
      : warning(std::exchange(other.warning, -1)), critical(std::exchange(other.critical, -1)) {}
  Triggers& operator=(Triggers&&) = delete;
  ~Triggers() { close(); }
  void close() {
    for (int* fd : {&warning, &critical}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }
};

// The watch thread: waits on the triggers (or the clock) and the wake descriptor.
void run(Watch& w, Triggers triggers) {
  const MemoryPressureWatch::Options options = w.options;
  std::uint64_t level = MemoryPressureSource::kNormal;
  Clock::time_point lastTrigger{};
  const auto change = [&level](std::uint64_t now) {
    if (now == level) return;
    level = now;
    MemoryPressureSource::post(level);
  };
  for (;;) {
    const bool stall = triggers.warning >= 0;
    pollfd fds[3] = {{w.wakeFd, POLLIN, 0}, {triggers.warning, POLLPRI, 0}, {triggers.critical, POLLPRI, 0}};
    const int ready = ::poll(fds, stall ? 3 : 1, static_cast<int>(options.pollInterval.count()));
    if (ready < 0 && errno != EINTR) return;
    if (fds[0].revents) return;
    if (!stall) {
      change(MemoryPressureWatch::levelFromMeminfo(readSmallFile(options.meminfoPath)));
      continue;
    }
    if (((fds[1].revents | fds[2].revents) & (POLLERR | POLLNVAL)) != 0) {
      // The kernel dropped a trigger; carry on by reading the counters.
      triggers.close();
      w.mode = MemoryPressureWatch::Mode::Polling;
      continue;
    }
    const bool warning = fds[1].revents & POLLPRI;
    const bool critical = fds[2].revents & POLLPRI;
    const auto now = Clock::now();
    if (warning || critical) lastTrigger = now;
    change(MemoryPressureWatch::levelAfterTriggers(level, warning, critical, now - lastTrigger >= options.quietPeriod));
  }
}

void stopLocked(Watch& w) {
  if (!w.thread.joinable()) return;
  const std::uint64_t one = 1;
  (void)::write(w.wakeFd, &one, sizeof one);
  w.thread.join();
  ::close(w.wakeFd);
  w.wakeFd = -1;
  w.mode = MemoryPressureWatch::Mode::Stopped;
}

void startLocked(Watch& w, const MemoryPressureWatch::Options& options) {
  stopLocked(w);
  w.options = options;
  w.wakeFd = ::eventfd(0, EFD_CLOEXEC);
  if (w.wakeFd < 0) return;
  Triggers triggers;
  triggers.warning = armTrigger(options.pressurePath, kWarningTrigger);
  if (triggers.warning >= 0) triggers.critical = armTrigger(options.pressurePath, kCriticalTrigger);
  w.mode = triggers.warning >= 0 ? MemoryPressureWatch::Mode::PressureStall : MemoryPressureWatch::Mode::Polling;
  w.thread = std::thread(run, std::ref(w), std::move(triggers));
}

}  // namespace

void MemoryPressureWatch::start(const Options& options) {
  Watch& w = watch();
  std::lock_guard lock(w.mutex);
  startLocked(w, options);
}

void MemoryPressureWatch::ensureStarted() {
  Watch& w = watch();
  std::lock_guard lock(w.mutex);
  if (!w.thread.joinable()) startLocked(w, Options{});
}

void MemoryPressureWatch::stop() {
  Watch& w = watch();
  std::lock_guard lock(w.mutex);
  stopLocked(w);
}

MemoryPressureWatch::Mode MemoryPressureWatch::mode() { return watch().mode.load(); }

std::uint64_t MemoryPressureWatch::levelAfterTriggers(std::uint64_t level, bool warning, bool critical, bool quiet) {
  if (critical) return MemoryPressureSource::kCritical;
  if (warning) return level == MemoryPressureSource::kNormal ? MemoryPressureSource::kWarning : level;
  return quiet ? MemoryPressureSource::kNormal : level;
}

std::uint64_t MemoryPressureWatch::levelFromMeminfo(const std::string& meminfo) {
  std::uint64_t total = 0, available = 0;
  bool haveTotal = false, haveAvailable = false;
  std::istringstream lines(meminfo);
  std::string key;
  std::uint64_t kilobytes;
  while (lines >> key >> kilobytes) {
    if (key == "MemTotal:") {
      total = kilobytes;
      haveTotal = true;
    } else if (key == "MemAvailable:") {
      available = kilobytes;
      haveAvailable = true;
    }
    lines.ignore(64, '\n');
  }
  if (!haveTotal || !haveAvailable || total == 0) return MemoryPressureSource::kNormal;
  if (available * 20 < total) return MemoryPressureSource::kCritical;
  if (available * 10 < total) return MemoryPressureSource::kWarning;
  return MemoryPressureSource::kNormal;
}

}  // namespace dispatch
