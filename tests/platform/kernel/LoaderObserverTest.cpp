#include "platform/kernel/LoaderObserver.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel/LoaderImages.h"

namespace {

const std::string kLoaded = QM_TEST_LOADED_LIBRARY;

bool loaderLists(const std::string& path) {
  struct Search {
    const std::string* path;
    bool found;
  } search{&path, false};
  kernel::loader_images(
      [](const kernel::loader_image& image, void* context) {
        auto* wanted = static_cast<Search*>(context);
        wanted->found |= *wanted->path == image.path;
      },
      &search);
  return search.found;
}

// What an observer saw at each of its calls: whether the test library was loaded then.
struct Seen {
  std::vector<bool> loaded;
};

void record(void* context) { static_cast<Seen*>(context)->loaded.push_back(loaderLists(kLoaded)); }

// An observer that uses the loader itself: its own calls must not notify again.
void reenter(void* context) {
  dlclose(dlopen(nullptr, RTLD_NOW));
  ++*static_cast<int*>(context);
}

TEST(LoaderObserver, ObserversRunAfterEachLoadAndUnloadThatSucceeded) {
  Seen seen;
  int reentered = 0;
  ASSERT_TRUE(kernel::loader_add_observer(record, &seen));
  ASSERT_TRUE(kernel::loader_add_observer(reenter, &reentered));

  void* first = dlopen(kLoaded.c_str(), RTLD_NOW);
  ASSERT_NE(first, nullptr) << dlerror();
  void* second = dlopen(kLoaded.c_str(), RTLD_NOW);  // already loaded: still a call that succeeded
  EXPECT_EQ(dlclose(second), 0);
  EXPECT_EQ(dlclose(first), 0);
  EXPECT_EQ(dlopen("/nonexistent/libqm_none.so", RTLD_NOW), nullptr);
  const char* error = dlerror();
  EXPECT_NE(error != nullptr ? std::string(error).find("libqm_none.so") : std::string::npos, std::string::npos)
      << "the loader's error stays for the caller";
  EXPECT_EQ(seen.loaded, (std::vector<bool>{true, true, true, false}));
  EXPECT_EQ(reentered, 4);

  kernel::loader_remove_observer(record, &seen);
  kernel::loader_remove_observer(reenter, &reentered);
  dlclose(dlopen(kLoaded.c_str(), RTLD_NOW));
  EXPECT_EQ(seen.loaded.size(), 4u);
  EXPECT_EQ(reentered, 4);
}

TEST(LoaderObserver, EightObserversAtMost) {
  int contexts[9];
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(kernel::loader_add_observer(record, &contexts[i])) << i;
  EXPECT_FALSE(kernel::loader_add_observer(record, &contexts[8]));
  for (int i = 0; i < 8; ++i) kernel::loader_remove_observer(record, &contexts[i]);
  EXPECT_TRUE(kernel::loader_add_observer(record, &contexts[8]));
  kernel::loader_remove_observer(record, &contexts[8]);
}

// A library that opens another by a name only its own search path resolves still finds it,
// though the loader sees these definitions as the caller.
TEST(LoaderObserver, ALibraryOpensNamesThroughItsOwnSearchPath) {
  void* library = dlopen(kLoaded.c_str(), RTLD_NOW);
  ASSERT_NE(library, nullptr) << dlerror();
  auto open = reinterpret_cast<void* (*)(const char*)>(dlsym(library, "qm_loaded_open"));
  ASSERT_NE(open, nullptr);
  ASSERT_EQ(dlopen("libqm_test_leaf.so", RTLD_NOW), nullptr) << "the executable's search path lacks it";

  const struct {
    const char* name;
    bool found;
  } cases[] = {
      {"libqm_test_leaf.so", true},
      {"$ORIGIN/leaf/libqm_test_leaf.so", true},
      {"${ORIGIN}/leaf/libqm_test_leaf.so", true},
      {"libqm_test_none.so", false},
      {"$ORIGINAL/libqm_test_leaf.so", false},  // not the origin token
  };
  for (const auto& c : cases) {
    void* leaf = open(c.name);
    EXPECT_EQ(leaf != nullptr, c.found) << c.name << ": " << (leaf == nullptr ? dlerror() : "");
    if (leaf == nullptr) continue;
    auto answer = reinterpret_cast<int (*)()>(dlsym(leaf, "qm_leaf_answer"));
    ASSERT_NE(answer, nullptr) << c.name;
    EXPECT_EQ(answer(), 42) << c.name;
    // Opened again by its bare name, the loaded copy is the one returned.
    void* again = open("libqm_test_leaf.so");
    EXPECT_EQ(again, leaf) << c.name;
    dlclose(again);
    dlclose(leaf);
  }
  dlclose(library);
}

}  // namespace
