#include "crash/engine/CrashAsyncImageList.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/crash/engine/MachOFixture.h"
#include "tests/crash/engine/StderrCapture.h"
#include "tests/support/ChildProcess.h"

namespace {

using test::LoadedMachO;

// A list that frees itself.
struct List {
  crash_async_image_list list{};
  List() { crash_nasync_image_list_init(&list, kernel::task_self()); }
  ~List() { crash_nasync_image_list_free(&list); }
};

std::vector<std::uint64_t> headers(crash_async_image_list* list) {
  std::vector<std::uint64_t> result;
  crash_async_image_list_set_reading(list, true);
  for (crash_async_macho* image = crash_async_image_list_next(list, nullptr); image != nullptr;
       image = crash_async_image_list_next(list, image)) {
    result.push_back(image->header_addr);
  }
  crash_async_image_list_set_reading(list, false);
  return result;
}

class ImageList : public testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 4; ++i) images_.push_back(std::make_unique<LoadedMachO>("libimage.dylib", 0));
  }
  std::uint64_t header(int i) const { return images_[i]->header(); }
  void append(int i) { crash_nasync_image_list_append(&list_.list, header(i), images_[i]->path().c_str()); }

  std::vector<std::unique_ptr<LoadedMachO>> images_;
  List list_;
};

TEST_F(ImageList, WalksImagesInTheOrderOfAppending) {
  append(0);
  append(1);
  append(2);
  EXPECT_EQ(headers(&list_.list), (std::vector<std::uint64_t>{header(0), header(1), header(2)}));

  {
    test::StderrCapture capture;
    crash_nasync_image_list_remove(&list_.list, header(3));  // never appended
    EXPECT_NE(capture.text().find("Can't find header addr="), std::string::npos);
  }
  {
    LoadedMachO universal("libimage-fat.dylib", 0);
    test::StderrCapture capture;
    crash_nasync_image_list_append(&list_.list, universal.header(), universal.path().c_str());
    EXPECT_NE(capture.text().find("Unexpected failure initializing Mach-O structure for"), std::string::npos);
  }
  EXPECT_EQ(headers(&list_.list), (std::vector<std::uint64_t>{header(0), header(1), header(2)}));
}

// A reader standing on an image that is removed under it walks on to the images after it; the
// removed node is reused only once no reader holds the list.
TEST_F(ImageList, RemovalWhileAReaderWalks) {
  append(0);
  append(1);
  append(2);
  crash_async_image_list* list = &list_.list;

  crash_async_image_list_set_reading(list, true);
  crash_async_macho* first = crash_async_image_list_next(list, nullptr);
  crash_async_macho* second = crash_async_image_list_next(list, first);
  ASSERT_EQ(second->header_addr, header(1));
  void* second_node = second->list_node.load();
  crash_nasync_image_list_remove(list, header(1));
  // The removed record is still readable and leads on.
  EXPECT_EQ(second->header_addr, header(1));
  crash_async_macho* third = crash_async_image_list_next(list, second);
  ASSERT_NE(third, nullptr);
  EXPECT_EQ(third->header_addr, header(2));
  EXPECT_EQ(crash_async_image_list_next(list, first), third);
  crash_async_image_list_set_reading(list, false);

  EXPECT_EQ(headers(list), (std::vector<std::uint64_t>{header(0), header(2)}));
  append(3);
  crash_async_image_list_set_reading(list, true);
  crash_async_macho* fourth = crash_async_image_list_next(list, third);
  ASSERT_NE(fourth, nullptr);
  EXPECT_EQ(fourth->header_addr, header(3));
  EXPECT_EQ(fourth->list_node.load(), second_node);  // the free node, reused
  crash_async_image_list_set_reading(list, false);
}

TEST_F(ImageList, FindsTheImageHoldingAnAddress) {
  append(0);
  append(1);
  crash_async_image_list* list = &list_.list;
  crash_async_image_list_set_reading(list, true);
  const std::uint64_t text_size = crash_async_image_list_next(list, nullptr)->text_size;
  ASSERT_GT(text_size, 0u);
  struct Case {
    std::uint64_t address;
    std::uint64_t image;  // 0: none
  };
  const Case cases[] = {
      {header(0), header(0)},
      {header(0) + text_size - 1, header(0)},
      {header(1) + 0x370, header(1)},
      {header(0) - 1, 0},
      {header(1) + text_size, 0},  // just past the text of the image
      {header(2), 0},              // an image never appended
  };
  for (const Case& c : cases) {
    crash_async_macho* image = crash_async_image_containing_address(list, c.address);
    EXPECT_EQ(image == nullptr ? 0 : image->header_addr, c.image) << std::hex << c.address;
  }
  crash_async_image_list_set_reading(list, false);
}

int anchor() { return 7; }

crash_async_macho* findByName(crash_async_image_list* list, const std::string& suffix) {
  for (crash_async_macho* image = crash_async_image_list_next(list, nullptr); image != nullptr;
       image = crash_async_image_list_next(list, image)) {
    const std::string name = image->name;
    if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return image;
    }
  }
  return nullptr;
}

// A library that exists on every system of this kind and that nothing here loads.
const char* unloadedLibrary() {
  for (const char* name : {"libanl.so.1", "libutil.so.1", "libnss_dns.so.2", "libBrokenLocale.so.1"}) {
    if (dlopen(name, RTLD_NOW | RTLD_NOLOAD) == nullptr) return name;
  }
  return nullptr;
}

TEST(LiveImageList, RefreshFollowsLoadsAndUnloads) {
  List list;
  crash_nasync_image_list_refresh(&list.list);
  crash_async_image_list_set_reading(&list.list, true);
  crash_async_macho* executable =
      crash_async_image_containing_address(&list.list, reinterpret_cast<std::uint64_t>(&anchor));
  ASSERT_NE(executable, nullptr);
  char path[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", path, sizeof path - 1), 0);
  EXPECT_STREQ(executable->name, path);
  EXPECT_EQ(crash_async_image_list_next(&list.list, nullptr), executable);  // the loader lists it first
  EXPECT_NE(findByName(&list.list, "/libc.so.6"), nullptr);
  crash_async_image_list_set_reading(&list.list, false);

  const char* name = unloadedLibrary();
  ASSERT_NE(name, nullptr);
  const std::size_t before = headers(&list.list).size();
  void* handle = dlopen(name, RTLD_NOW);
  ASSERT_NE(handle, nullptr) << dlerror();
  crash_nasync_image_list_refresh(&list.list);
  crash_async_image_list_set_reading(&list.list, true);
  EXPECT_NE(findByName(&list.list, name), nullptr);
  crash_async_image_list_set_reading(&list.list, false);
  EXPECT_EQ(headers(&list.list).size(), before + 1);

  dlclose(handle);
  crash_nasync_image_list_refresh(&list.list);
  crash_async_image_list_set_reading(&list.list, true);
  EXPECT_EQ(findByName(&list.list, name), nullptr);
  crash_async_image_list_set_reading(&list.list, false);
  EXPECT_EQ(headers(&list.list).size(), before);
}

crash_async_image_list* gForkedList = nullptr;

// In a child: refreshes the list its parent made, loads the test library and refreshes again.
// Exits with 0 when the list is the child's, with the library in it.
int refreshInChild() {
  crash_nasync_image_list_refresh(gForkedList);
  if (gForkedList->task != kernel::task_self()) return 1;
  if (dlopen(QM_TEST_LOADED_LIBRARY, RTLD_NOW) == nullptr) return 2;
  crash_nasync_image_list_refresh(gForkedList);
  crash_async_image_list_set_reading(gForkedList, true);
  int result = findByName(gForkedList, QM_TEST_LOADED_LIBRARY) != nullptr ? 0 : 3;
  for (crash_async_macho* image = crash_async_image_list_next(gForkedList, nullptr); image != nullptr;
       image = crash_async_image_list_next(gForkedList, image)) {
    if (image->task != kernel::task_self()) result = 4;
  }
  crash_async_image_list_set_reading(gForkedList, false);
  crash_nasync_image_list_free(gForkedList);
  return result;
}

// A list of the process, made before a fork, becomes the child's at the child's first refresh.
TEST(LiveImageList, AListOfTheProcessFollowsItIntoAForkedChild) {
  List list;
  crash_nasync_image_list_refresh(&list.list);
  const std::size_t before = headers(&list.list).size();
  gForkedList = &list.list;
  const test::ChildResult result = test::runInChild(refreshInChild, 30);
  EXPECT_TRUE(result.exitedWith(0)) << result.describe();
  EXPECT_EQ(list.list.task, kernel::task_self());
  EXPECT_EQ(headers(&list.list).size(), before) << "the parent's list is its own";
}

// Readers walk and read every record while another thread loads, unloads and refreshes. Under
// AddressSanitizer a record or node freed under a reader fails the test. Each round of loading
// and unloading waits for the reader to finish a walk, so walks and refreshes interleave however
// the threads are scheduled.
TEST(LiveImageList, ReadersRunThroughRefreshes) {
  List list;
  crash_nasync_image_list_refresh(&list.list);
  const char* name = unloadedLibrary();
  ASSERT_NE(name, nullptr);
  constexpr long kRounds = 100;
  std::atomic<bool> stop{false};
  std::atomic<long> walks{0};
  std::thread reader([&] {
    while (!stop.load()) {
      crash_async_image_list_set_reading(&list.list, true);
      for (crash_async_macho* image = crash_async_image_list_next(&list.list, nullptr); image != nullptr;
           image = crash_async_image_list_next(&list.list, image)) {
        volatile char first = image->name[0];
        (void)first;
        crash_async_macho_contains_address(image, image->header_addr);
      }
      crash_async_image_list_set_reading(&list.list, false);
      walks.fetch_add(1);
      walks.notify_all();
    }
  });
  bool loaded = true;
  for (long i = 0; i < kRounds && loaded; ++i) {
    const long before = walks.load();
    void* handle = dlopen(name, RTLD_NOW);
    loaded = handle != nullptr;
    crash_nasync_image_list_refresh(&list.list);
    if (loaded) dlclose(handle);
    crash_nasync_image_list_refresh(&list.list);
    walks.wait(before);
  }
  stop.store(true);
  reader.join();
  EXPECT_TRUE(loaded) << dlerror();
  EXPECT_GE(walks.load(), kRounds);
  crash_async_image_list_set_reading(&list.list, true);
  EXPECT_EQ(findByName(&list.list, name), nullptr);
  crash_async_image_list_set_reading(&list.list, false);
}

}  // namespace
