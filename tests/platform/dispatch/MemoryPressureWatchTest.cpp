#include "platform/dispatch/MemoryPressureWatch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/dispatch/MemoryPressureSource.h"
#include "platform/dispatch/Queue.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {

using dispatch::MemoryPressureSource;
using dispatch::MemoryPressureWatch;

std::string meminfo(long totalKB, long availableKB) {
  return "MemTotal:       " + std::to_string(totalKB) + " kB\nMemFree:         1000 kB\nMemAvailable:   " +
         std::to_string(availableKB) + " kB\nBuffers:          10 kB\n";
}

// Replaces the file in one step, so the watch never reads half of it.
void replace(const test::TempDir& dir, const std::string& text) {
  ASSERT_TRUE(test::writeFile(dir.file("meminfo.new"), text));
  ASSERT_EQ(std::rename(dir.file("meminfo.new").c_str(), dir.file("meminfo").c_str()), 0);
}

// Records the levels a resumed source hears.
struct Listener {
  std::shared_ptr<MemoryPressureSource> source;
  std::mutex mutex;
  std::vector<std::uint64_t> levels;

  Listener() {
    source = MemoryPressureSource::create(
        MemoryPressureSource::kNormal | MemoryPressureSource::kWarning | MemoryPressureSource::kCritical,
        dispatch::Queue::createSerial("test.pressure.watch"));
    source->setEventHandler([this] {
      std::lock_guard lock(mutex);
      levels.push_back(source->data());
    });
  }
  ~Listener() { source->cancel(); }
  bool waitFor(std::uint64_t level) {
    for (auto deadline = std::chrono::steady_clock::now() + 3s; std::chrono::steady_clock::now() < deadline;) {
      {
        std::lock_guard lock(mutex);
        if (!levels.empty() && levels.back() == level) return true;
      }
      std::this_thread::sleep_for(5ms);
    }
    return false;
  }
};

TEST(MemoryPressureWatchTest, LevelFollowsAvailableMemory) {
  struct Case {
    std::string text;
    std::uint64_t level;
  };
  const Case cases[] = {
      {meminfo(1000000, 500000), MemoryPressureSource::kNormal},
      {meminfo(1000000, 100000), MemoryPressureSource::kNormal},  // exactly 10%
      {meminfo(1000000, 99999), MemoryPressureSource::kWarning},
      {meminfo(1000000, 50000), MemoryPressureSource::kWarning},  // exactly 5%
      {meminfo(1000000, 49999), MemoryPressureSource::kCritical},
      {"MemTotal: 1000 kB\n", MemoryPressureSource::kNormal},     // no MemAvailable: nothing known
      {"", MemoryPressureSource::kNormal},
  };
  for (const Case& c : cases) EXPECT_EQ(MemoryPressureWatch::levelFromMeminfo(c.text), c.level) << c.text;
}

TEST(MemoryPressureWatchTest, TriggersRaiseTheLevelAndQuietLowersIt) {
  constexpr auto normal = MemoryPressureSource::kNormal;
  constexpr auto warning = MemoryPressureSource::kWarning;
  constexpr auto critical = MemoryPressureSource::kCritical;
  struct Case {
    std::uint64_t level;
    bool warningFired, criticalFired, quiet;
    std::uint64_t after;
  };
  const Case cases[] = {
      {normal, true, false, false, warning},    {normal, false, true, false, critical},
      {normal, true, true, false, critical},    {warning, false, true, false, critical},
      {critical, true, false, false, critical},  // a warning does not lower it
      {warning, false, false, false, warning},  {critical, false, false, false, critical},
      {critical, false, false, true, normal},   {warning, false, false, true, normal},
      {normal, false, false, true, normal},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MemoryPressureWatch::levelAfterTriggers(c.level, c.warningFired, c.criticalFired, c.quiet), c.after)
        << c.level << " " << c.warningFired << c.criticalFired << c.quiet;
  }
}

TEST(MemoryPressureWatchTest, WithoutPressureStallItPollsAvailableMemoryAndPostsChanges) {
  test::TempDir dir;
  replace(dir, meminfo(1000000, 600000));
  Listener listener;
  MemoryPressureWatch::start({dir.file("no-pressure-file"), dir.file("meminfo"), 10ms, 10s});
  EXPECT_EQ(MemoryPressureWatch::mode(), MemoryPressureWatch::Mode::Polling);
  listener.source->resume();

  replace(dir, meminfo(1000000, 30000));
  EXPECT_TRUE(listener.waitFor(MemoryPressureSource::kCritical));
  replace(dir, meminfo(1000000, 80000));
  EXPECT_TRUE(listener.waitFor(MemoryPressureSource::kWarning));
  replace(dir, meminfo(1000000, 700000));
  EXPECT_TRUE(listener.waitFor(MemoryPressureSource::kNormal));
  MemoryPressureWatch::stop();
  EXPECT_EQ(MemoryPressureWatch::mode(), MemoryPressureWatch::Mode::Stopped);

  std::lock_guard lock(listener.mutex);
  const std::vector<std::uint64_t> expected{MemoryPressureSource::kCritical, MemoryPressureSource::kWarning,
                                            MemoryPressureSource::kNormal};
  EXPECT_EQ(listener.levels, expected) << "only changes of level are posted";
}

TEST(MemoryPressureWatchTest, ArmsPressureStallTriggersWhereTheKernelHasThem) {
  if (access("/proc/pressure/memory", R_OK) != 0) GTEST_SKIP() << "this kernel exposes no memory pressure-stall information";
  MemoryPressureWatch::start({});
  const auto mode = MemoryPressureWatch::mode();
  if (mode == MemoryPressureWatch::Mode::Polling) {
    MemoryPressureWatch::stop();
    GTEST_SKIP() << "the kernel refuses pressure-stall triggers to this process; the watch polls instead";
  }
  EXPECT_EQ(mode, MemoryPressureWatch::Mode::PressureStall);
  // A real stall cannot be caused from a test; while the triggers are armed, events raised in
  // the process still reach the sources.
  Listener listener;
  listener.source->resume();
  MemoryPressureSource::post(MemoryPressureSource::kWarning);
  EXPECT_TRUE(listener.waitFor(MemoryPressureSource::kWarning));
  MemoryPressureWatch::stop();
}

}  // namespace
