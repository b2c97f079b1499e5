#include "crash/engine/CrashAsyncMObject.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "tests/crash/engine/StderrCapture.h"

namespace {

// Three readable pages followed by an unreadable one.
class MemoryObject : public testing::Test {
 protected:
  void SetUp() override {
    page_ = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    void* memory = mmap(nullptr, 4 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    base_ = reinterpret_cast<std::uint64_t>(memory);
    for (std::uint64_t i = 0; i < 3 * page_; ++i) static_cast<std::uint8_t*>(memory)[i] = static_cast<std::uint8_t>(i);
    ASSERT_EQ(mprotect(reinterpret_cast<void*>(base_ + 3 * page_), page_, PROT_NONE), 0);
  }
  void TearDown() override { munmap(reinterpret_cast<void*>(base_), 4 * page_); }

  std::uint64_t page_ = 0;
  std::uint64_t base_ = 0;
};

TEST_F(MemoryObject, CoversTheReadablePrefixUnlessTheFullRangeIsRequired) {
  struct Case {
    const char* name;
    std::uint64_t offset, length;
    bool require_full;
    crash_error_t expected;
    std::uint64_t usable;
  };
  const Case cases[] = {
      {"inside one page", 100, 50, true, CRASH_ESUCCESS, 50},
      {"across pages", page_ - 8, page_ + 16, true, CRASH_ESUCCESS, page_ + 16},
      {"into the unreadable page, prefix", 2 * page_ + 10, 2 * page_, false, CRASH_ESUCCESS, page_ - 10},
      {"into the unreadable page, full", 2 * page_ + 10, 2 * page_, true, CRASH_ENOMEM, 0},
      {"unreadable start", 3 * page_ + 1, 8, false, CRASH_ENOMEM, 0},
      {"empty", 5, 0, true, CRASH_ESUCCESS, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    crash_async_mobject mobj;
    test::StderrCapture capture;
    ASSERT_EQ(crash_async_mobject_init(&mobj, kernel::task_self(), base_ + c.offset, c.length, c.require_full),
              c.expected);
    if (c.expected != CRASH_ESUCCESS) continue;
    EXPECT_EQ(crash_async_mobject_base_address(&mobj), base_ + c.offset);
    EXPECT_EQ(crash_async_mobject_length(&mobj), c.usable);
    EXPECT_EQ(crash_async_mobject_task(&mobj), kernel::task_self());
    if (c.usable > 0) {
      // The last usable byte is there, the one after it is not.
      std::uint8_t byte = 0;
      EXPECT_EQ(crash_async_mobject_read_uint8(&mobj, base_ + c.offset, c.usable - 1, &byte), CRASH_ESUCCESS);
      EXPECT_EQ(byte, static_cast<std::uint8_t>(c.offset + c.usable - 1));
      EXPECT_EQ(crash_async_mobject_read_uint8(&mobj, base_ + c.offset, c.usable, &byte), CRASH_EINVAL);
    }
    crash_async_mobject_free(&mobj);
  }

  crash_async_mobject mobj;
  EXPECT_EQ(crash_async_mobject_init(&mobj, kernel::task_self(), ~std::uint64_t{0} - 10, 100, false), CRASH_EINVAL);
}

TEST_F(MemoryObject, ChecksEveryReadAgainstItsRange) {
  crash_async_mobject mobj;
  ASSERT_EQ(crash_async_mobject_init(&mobj, kernel::task_self(), base_ + 16, 32, true), CRASH_ESUCCESS);
  const std::uint64_t local = mobj.address;
  const std::uint64_t max = ~std::uint64_t{0};
  struct Case {
    const char* name;
    std::uint64_t pointer;
    std::int64_t offset;
    std::uint64_t length;
    bool inside;
  };
  const Case cases[] = {
      {"whole object", local, 0, 32, true},
      {"last byte", local, 31, 1, true},
      {"one past the end", local, 31, 2, false},
      {"before the start", local, -1, 1, false},
      {"negative offset back inside", local + 8, -8, 4, true},
      {"length wraps", local, 0, max, false},
      {"offset wraps", local, INT64_MAX, 2, false},
      {"pointer plus offset wraps", max - 4, 8, 1, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(crash_async_mobject_verify_local_pointer(&mobj, c.pointer, c.offset, c.length), c.inside) << c.name;
  }

  EXPECT_EQ(crash_async_mobject_remap_address(&mobj, base_ + 16, 4, 4), reinterpret_cast<void*>(local + 4));
  EXPECT_EQ(crash_async_mobject_remap_address(&mobj, base_ + 8, 0, 4), nullptr);
  std::uint16_t u16 = 0;
  std::uint32_t u32 = 0;
  std::uint64_t u64 = 0;
  EXPECT_EQ(crash_async_mobject_read_uint16(&mobj, &crash_async_byteorder_swapped, base_ + 16, 0, &u16), CRASH_ESUCCESS);
  EXPECT_EQ(u16, 0x1011);
  EXPECT_EQ(crash_async_mobject_read_uint32(&mobj, &crash_async_byteorder_direct, base_ + 16, 4, &u32), CRASH_ESUCCESS);
  EXPECT_EQ(u32, 0x17161514u);
  EXPECT_EQ(crash_async_mobject_read_uint64(&mobj, &crash_async_byteorder_direct, base_ + 16, 25, &u64), CRASH_EINVAL);
  crash_async_mobject_free(&mobj);
}

// Another process's memory is copied when the object is made: later changes in that process do
// not show, and the copy outlives nothing it points into.
TEST_F(MemoryObject, ViewsAnotherProcessAsItWasWhenMade) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::memset(reinterpret_cast<void*>(base_), 'c', page_);
    char byte = 1;
    (void)!write(ready[1], &byte, 1);
    pause();
    _exit(0);
  }
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);

  crash_async_mobject mobj;
  ASSERT_EQ(crash_async_mobject_init(&mobj, child, base_ + 10, 2 * page_ + 100, false), CRASH_ESUCCESS);
  EXPECT_NE(mobj.address, base_ + 10);  // a copy, not our own page
  EXPECT_EQ(crash_async_mobject_length(&mobj), 2 * page_ + 100);
  std::uint8_t value = 0;
  EXPECT_EQ(crash_async_mobject_read_uint8(&mobj, base_ + 10, 0, &value), CRASH_ESUCCESS);
  EXPECT_EQ(value, 'c');
  EXPECT_EQ(crash_async_mobject_read_uint8(&mobj, base_ + 10, page_, &value), CRASH_ESUCCESS);
  EXPECT_EQ(value, static_cast<std::uint8_t>(page_ + 10));
  crash_async_mobject_free(&mobj);

  crash_async_mobject full;
  EXPECT_EQ(crash_async_mobject_init(&full, child, base_, 4 * page_, true), CRASH_ENOMEM);
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  close(ready[0]);
  close(ready[1]);
}

}  // namespace
