#include "crash/engine/CrashAsyncImageList.h"

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
};

namespace {

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
  return kernel::KERN_SUCCESS;
}

kernel::kern_return_t crash_nasync_image_list_free(crash_async_image_list* list) {
  crash_async_image_list_state* state = list->list;
  {
    std::lock_guard<std::mutex> lock(state->writers);
    state->nodes.set_reading(true);
    for (Node* node = state->nodes.next(nullptr); node != nullptr; node = state->nodes.next(node)) {
      freeRecord(node->value);
    }
    state->nodes.set_reading(false);
    for (crash_async_macho* image : state->retired) freeRecord(image);
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
  // The loader answers for the calling process only.
  if (list->task != kernel::task_self()) return;
  crash_async_image_list_state* state = list->list;
  std::lock_guard<std::mutex> lock(state->writers);
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
