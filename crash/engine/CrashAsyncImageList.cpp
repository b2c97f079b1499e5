#include "crash/engine/CrashAsyncImageList.h"

#include <pthread.h>

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "crash/engine/CrashAsyncLinkedList.h"
#include "platform/kernel/LoaderImages.h"

struct crash_async_image_list_state {
  using Nodes = CrashAsyncLinkedList<crash_async_macho*>;
  Nodes nodes;
  std::mutex writers;
  // Records removed while a reader held the list, freed once none does.
  std::vector<crash_async_macho*> retired;
  bool refreshed = false;
  std::uint64_t generation = 0;
  // A list of the calling process follows it into the children it forks.
  bool follows_process = false;
  // In a forked child, the records the parent made. They name the parent as their task, and
  // freeing one would release views of this process's own memory as if they were copies of the
  // parent's: they are never freed.
  std::vector<crash_async_macho*> forsaken;
};

namespace {

// The lists that follow the process. A fork waits until none is being written, so that a child
// never starts with a list half changed, or its lock held by a thread that the child lacks.
std::mutex gFollowingLock;
std::vector<crash_async_image_list_state*>* gFollowing = nullptr;  // never freed

void lockForFork() {
  gFollowingLock.lock();
  if (gFollowing == nullptr) return;
  for (crash_async_image_list_state* state : *gFollowing) state->writers.lock();
}

void unlockAfterFork() {
  if (gFollowing != nullptr) {
    for (crash_async_image_list_state* state : *gFollowing) state->writers.unlock();
  }
  gFollowingLock.unlock();
}

void follow(crash_async_image_list_state* state) {
  static std::once_flag installed;
  std::call_once(installed, [] { pthread_atfork(lockForFork, unlockAfterFork, unlockAfterFork); });
  std::lock_guard<std::mutex> lock(gFollowingLock);
  if (gFollowing == nullptr) gFollowing = new std::vector<crash_async_image_list_state*>();
  gFollowing->push_back(state);
  state->follows_process = true;
}

void unfollow(crash_async_image_list_state* state) {
  if (!state->follows_process) return;
  std::lock_guard<std::mutex> lock(gFollowingLock);
  gFollowing->erase(std::remove(gFollowing->begin(), gFollowing->end(), state), gFollowing->end());
}

using Node = crash_async_image_list_state::Nodes::node;

void freeRecord(crash_async_macho* image) {
  crash_nasync_macho_free(image);
  delete image;
}

void releaseRetired(crash_async_image_list_state* state) {
  if (state->nodes.reader_count() > 0) return;
  for (crash_async_macho* image : state->retired) freeRecord(image);
  state->retired.clear();
}

void appendLocked(crash_async_image_list* list, std::uint64_t header, const char* path) {
  auto* image = new crash_async_macho();
  const crash_error_t error = crash_nasync_macho_init(image, list->task, path, header);
  if (error != CRASH_ESUCCESS) {
    CRASH_ASYNC_LOG("Unexpected failure initializing Mach-O structure for %s: %d", path, error);
    delete image;
    return;
  }
  list->list->nodes.nasync_append(image);
}

void removeLocked(crash_async_image_list* list, std::uint64_t header) {
  crash_async_image_list_state* state = list->list;
  state->nodes.set_reading(true);
  Node* node = state->nodes.next(nullptr);
  while (node != nullptr && node->value->header_addr != header) node = state->nodes.next(node);
  if (node == nullptr) {
    CRASH_ASYNC_LOG("Can't find header addr=%llu in Mach-O image list.", static_cast<unsigned long long>(header));
  } else {
    crash_async_macho* image = node->value;
    state->nodes.nasync_remove_node(node);
    state->retired.push_back(image);
  }
  state->nodes.set_reading(false);
  releaseRetired(state);
}

// In a child forked since the last refresh: the parent's records leave the list, unfreed, and the
// list is the child's, to be filled afresh.
void adoptForkedProcess(crash_async_image_list* list) {
  crash_async_image_list_state* state = list->list;
  std::vector<Node*> nodes;
  state->nodes.set_reading(true);
  for (Node* node = state->nodes.next(nullptr); node != nullptr; node = state->nodes.next(node)) nodes.push_back(node);
  for (Node* node : nodes) {
    state->forsaken.push_back(node->value);
    state->nodes.nasync_remove_node(node);
  }
  state->nodes.set_reading(false);
  state->forsaken.insert(state->forsaken.end(), state->retired.begin(), state->retired.end());
  state->retired.clear();
  list->task = kernel::task_self();
  state->refreshed = false;
}

// The (header, path) pairs of every image now in the list.
std::vector<std::pair<std::uint64_t, std::string>> listed(crash_async_image_list* list) {
  std::vector<std::pair<std::uint64_t, std::string>> images;
  crash_async_image_list_set_reading(list, true);
  for (crash_async_macho* image = crash_async_image_list_next(list, nullptr); image != nullptr;
       image = crash_async_image_list_next(list, image)) {
    images.emplace_back(image->header_addr, image->name);
  }
  crash_async_image_list_set_reading(list, false);
  return images;
}

}  // namespace

kernel::kern_return_t crash_nasync_image_list_init(crash_async_image_list* list, kernel::task_t task) {
  list->task = task;
  list->list = new crash_async_image_list_state();
  if (task == kernel::task_self()) follow(list->list);
  return kernel::KERN_SUCCESS;
}

kernel::kern_return_t crash_nasync_image_list_free(crash_async_image_list* list) {
  crash_async_image_list_state* state = list->list;
  unfollow(state);
  {
    std::lock_guard<std::mutex> lock(state->writers);
    // A child that never refreshed still holds its parent's records, which must stay.
    const bool parents = state->follows_process && list->task != kernel::task_self();
    if (!parents) {
      state->nodes.set_reading(true);
      for (Node* node = state->nodes.next(nullptr); node != nullptr; node = state->nodes.next(node)) {
        freeRecord(node->value);
      }
      state->nodes.set_reading(false);
      for (crash_async_macho* image : state->retired) freeRecord(image);
    }
    state->retired.clear();
  }
  delete state;
  list->list = nullptr;
  return kernel::KERN_SUCCESS;
}

void crash_nasync_image_list_append(crash_async_image_list* list, std::uint64_t header, const char* path) {
  std::lock_guard<std::mutex> lock(list->list->writers);
  appendLocked(list, header, path);
  releaseRetired(list->list);
}

void crash_nasync_image_list_remove(crash_async_image_list* list, std::uint64_t header) {
  std::lock_guard<std::mutex> lock(list->list->writers);
  removeLocked(list, header);
}

void crash_nasync_image_list_refresh(crash_async_image_list* list) {
  crash_async_image_list_state* state = list->list;
  // The loader answers for the calling process only.
  if (list->task != kernel::task_self() && !state->follows_process) return;
  std::lock_guard<std::mutex> lock(state->writers);
  if (list->task != kernel::task_self()) adoptForkedProcess(list);
  const std::uint64_t generation = kernel::loader_generation();
  if (state->refreshed && generation == state->generation) return;

  std::vector<std::pair<std::uint64_t, std::string>> loaded;
  kernel::loader_images(
      [](const kernel::loader_image& image, void* context) {
        static_cast<decltype(loaded)*>(context)->emplace_back(image.header_address, image.path);
      },
      &loaded);
  const auto present = listed(list);
  auto contains = [](const auto& images, const std::pair<std::uint64_t, std::string>& image) {
    for (const auto& other : images) {
      if (other == image) return true;
    }
    return false;
  };
  for (const auto& image : present) {
    if (!contains(loaded, image)) removeLocked(list, image.first);
  }
  for (const auto& image : loaded) {
    if (!contains(present, image)) appendLocked(list, image.first, image.second.c_str());
  }
  state->generation = generation;
  state->refreshed = true;
}

void crash_async_image_list_set_reading(crash_async_image_list* list, bool enable) {
  list->list->nodes.set_reading(enable);
}

crash_async_macho* crash_async_image_list_next(crash_async_image_list* list, crash_async_macho* current) {
  crash_async_image_list_state::Nodes& nodes = list->list->nodes;
  Node* node = nullptr;
  if (current == nullptr) {
    node = nodes.next(nullptr);
  } else {
    auto* own = static_cast<Node*>(current->list_node.load());
    if (own == nullptr) return nullptr;
    node = nodes.next(own);
  }
  if (node == nullptr) return nullptr;
  crash_async_macho* image = node->value;
  void* expected = nullptr;
  image->list_node.compare_exchange_strong(expected, node);
  return image;
}

crash_async_macho* crash_async_image_containing_address(crash_async_image_list* list, std::uint64_t address) {
  for (crash_async_macho* image = crash_async_image_list_next(list, nullptr); image != nullptr;
       image = crash_async_image_list_next(list, image)) {
    if (crash_async_macho_contains_address(image, address)) return image;
  }
  return nullptr;
}
