#include "platform/kernel/VirtualMemory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

// Three pages: readable, then PROT_NONE, then unmapped.
class Pages : public testing::Test {
 protected:
  void SetUp() override {
    page_ = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
    void* memory = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(memory, MAP_FAILED);
    base_ = reinterpret_cast<std::uint64_t>(memory);
    std::memset(memory, 'r', page_);
    ASSERT_EQ(mprotect(reinterpret_cast<void*>(base_ + page_), page_, PROT_NONE), 0);
    ASSERT_EQ(munmap(reinterpret_cast<void*>(base_ + 2 * page_), page_), 0);
  }
  void TearDown() override { munmap(reinterpret_cast<void*>(base_), 3 * page_); }

  std::uint64_t page_ = 0;
  std::uint64_t base_ = 0;
};

TEST_F(Pages, ReadsReportEachKindOfAddressWithoutFaulting) {
  struct Case {
    const char* name;
    std::uint64_t address;
    std::uint64_t size;
    kernel::kern_return_t expected;
    std::uint64_t copied;
  };
  const Case cases[] = {
      {"readable", base_ + 10, 16, kernel::KERN_SUCCESS, 16},
      {"empty range anywhere", 8, 0, kernel::KERN_SUCCESS, 0},
      {"PROT_NONE", base_ + page_, 8, kernel::KERN_PROTECTION_FAILURE, 0},
      {"unmapped", base_ + 2 * page_ + 64, 8, kernel::KERN_INVALID_ADDRESS, 0},
      {"readable into PROT_NONE", base_ + page_ - 4, 8, kernel::KERN_PROTECTION_FAILURE, 4},
      {"null page", 0, 8, kernel::KERN_INVALID_ADDRESS, 0},
      {"kernel half", 0xffff800000000000ull, 8, kernel::KERN_INVALID_ADDRESS, 0},
      {"wraps past the end", ~std::uint64_t{0} - 4, 16, kernel::KERN_INVALID_ADDRESS, 0},
  };
  for (const Case& c : cases) {
    char buffer[32] = {};
    std::uint64_t copied = 99;
    EXPECT_EQ(kernel::vm_read_overwrite(kernel::task_self(), c.address, c.size, buffer, &copied), c.expected)
        << c.name;
    EXPECT_EQ(copied, c.copied) << c.name;
    if (c.copied > 0) {
      EXPECT_EQ(std::string(buffer, c.copied), std::string(c.copied, 'r')) << c.name;
    }
  }
}

TEST_F(Pages, UnmappedAfterReadablePageIsInvalidAddress) {
  ASSERT_EQ(mprotect(reinterpret_cast<void*>(base_ + page_), page_, PROT_READ), 0);
  ASSERT_EQ(munmap(reinterpret_cast<void*>(base_ + page_), page_), 0);
  char buffer[16];
  std::uint64_t copied = 0;
  EXPECT_EQ(kernel::vm_read_overwrite(kernel::task_self(), base_ + page_ - 8, 16, buffer, &copied),
            kernel::KERN_INVALID_ADDRESS);
  EXPECT_EQ(copied, 8u);
}

TEST(VirtualMemory, ProcessThatDoesNotExistIsAnInvalidArgument) {
  const pid_t child = fork();
  if (child == 0) _exit(0);
  waitpid(child, nullptr, 0);
  char source[8] = "abc", buffer[8];
  EXPECT_EQ(kernel::vm_read_overwrite(child, reinterpret_cast<std::uint64_t>(source), 4, buffer, nullptr),
            kernel::KERN_INVALID_ARGUMENT);
}

TEST_F(Pages, ReadOnlyViewsCoverReadablePagesOnly) {
  struct Case {
    const char* name;
    std::uint64_t address, size;
    bool requireFull;
    kernel::kern_return_t expected;
    std::uint64_t mapped;
  };
  const Case cases[] = {
      {"one readable page", base_, page_, true, kernel::KERN_SUCCESS, page_},
      {"prefix before PROT_NONE", base_, 3 * page_, false, kernel::KERN_SUCCESS, page_},
      {"full range into PROT_NONE", base_, 2 * page_, true, kernel::KERN_INVALID_ADDRESS, 0},
      {"unmapped start", base_ + 2 * page_, page_, false, kernel::KERN_INVALID_ADDRESS, 0},
      {"not page-aligned", base_ + 8, page_, false, kernel::KERN_INVALID_ARGUMENT, 0},
      {"empty", base_, 0, false, kernel::KERN_INVALID_ARGUMENT, 0},
      {"wraps", ~(page_ - 1), 2 * page_, false, kernel::KERN_INVALID_ADDRESS, 0},
  };
  for (const Case& c : cases) {
    std::uint64_t local = 0;
    std::uint64_t mapped = 0;
    EXPECT_EQ(kernel::vm_map_readonly(kernel::task_self(), c.address, c.size, c.requireFull, &local, &mapped),
              c.expected)
        << c.name;
    if (c.expected != kernel::KERN_SUCCESS) continue;
    EXPECT_EQ(local, c.address) << c.name;  // our own memory is viewed in place
    EXPECT_EQ(mapped, c.mapped) << c.name;
    kernel::vm_unmap_readonly(kernel::task_self(), local, mapped);
  }
}

TEST(VirtualMemory, MapsWholeRegularFilesOnly) {
  char path[] = "/tmp/qm-map-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  std::uint64_t address = 0;
  std::uint64_t size = 0;
  EXPECT_EQ(kernel::vm_map_file(path, &address, &size), kernel::KERN_INVALID_ARGUMENT);  // empty
  ASSERT_EQ(write(fd, "contents", 8), 8);
  ASSERT_EQ(kernel::vm_map_file(path, &address, &size), kernel::KERN_SUCCESS);
  EXPECT_EQ(size, 8u);
  EXPECT_EQ(std::memcmp(reinterpret_cast<const void*>(address), "contents", 8), 0);
  kernel::vm_unmap_file(address, size);
  close(fd);
  unlink(path);
  EXPECT_EQ(kernel::vm_map_file(path, &address, &size), kernel::KERN_INVALID_ARGUMENT);  // gone
  EXPECT_EQ(kernel::vm_map_file("/tmp", &address, &size), kernel::KERN_INVALID_ARGUMENT);
}

}  // namespace
