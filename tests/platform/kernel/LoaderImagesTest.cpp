#include "platform/kernel/LoaderImages.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

std::vector<std::pair<std::uint64_t, std::string>> images() {
  std::vector<std::pair<std::uint64_t, std::string>> all;
  kernel::loader_images(
      [](const kernel::loader_image& image, void* context) {
        static_cast<std::vector<std::pair<std::uint64_t, std::string>>*>(context)->emplace_back(image.header_address,
                                                                                              image.path);
      },
      &all);
  return all;
}

TEST(LoaderImages, ListsTheProgramFirstAndFollowsLoads) {
  const auto before = images();
  ASSERT_FALSE(before.empty());
  char executable[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", executable, sizeof executable - 1), 0);
  EXPECT_EQ(before.front().second, executable);
  for (const auto& image : before) {
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(image.first), 4), "\x7f" "ELF") << image.second;
  }

  const char* name = nullptr;
  for (const char* candidate : {"libanl.so.1", "libutil.so.1", "libnss_dns.so.2"}) {
    if (dlopen(candidate, RTLD_NOW | RTLD_NOLOAD) == nullptr) {
      name = candidate;
      break;
    }
  }
  ASSERT_NE(name, nullptr);
  const std::uint64_t generation = kernel::loader_generation();
  EXPECT_EQ(kernel::loader_generation(), generation);
  void* handle = dlopen(name, RTLD_NOW);
  ASSERT_NE(handle, nullptr);
  const std::uint64_t loaded = kernel::loader_generation();
  EXPECT_NE(loaded, generation);
  EXPECT_EQ(images().size(), before.size() + 1);
  dlclose(handle);
  EXPECT_NE(kernel::loader_generation(), loaded);
  EXPECT_EQ(images().size(), before.size());
}

}  // namespace
