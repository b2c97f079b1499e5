#include "platform/kernel/LoaderImages.h"

#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstddef>

namespace kernel {

namespace {

struct Walk {
  void (*visit)(const loader_image&, void*);
  void* context;
  char executable[PATH_MAX];
};

int visitObject(dl_phdr_info* info, size_t, void* data) {
  auto* walk = static_cast<Walk*>(data);
  // The header is where the segment that maps the start of the file begins.
  const ElfW(Phdr)* headerSegment = nullptr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_offset == 0) {
      headerSegment = &info->dlpi_phdr[i];
      break;
    }
  }
  if (headerSegment == nullptr) return 0;
  const char* path = info->dlpi_name;
  // The main program is listed without a name.
  if (path == nullptr || path[0] == '\0') path = walk->executable;
  walk->visit(loader_image{info->dlpi_addr + headerSegment->p_vaddr, path}, walk->context);
  return 0;
}

int readGeneration(dl_phdr_info* info, size_t size, void* data) {
  // The first object carries the loader's running counts of loads and unloads.
  if (size >= offsetof(dl_phdr_info, dlpi_subs) + sizeof info->dlpi_subs) {
    *static_cast<std::uint64_t*>(data) = info->dlpi_adds + (info->dlpi_subs << 32);
  }
  return 1;
}

}  // namespace

void loader_images(void (*visit)(const loader_image& image, void* context), void* context) {
  Walk walk{visit, context, {}};
  const ssize_t length = readlink("/proc/self/exe", walk.executable, sizeof walk.executable - 1);
  walk.executable[length > 0 ? length : 0] = '\0';
  dl_iterate_phdr(visitObject, &walk);
}

std::string executable_path() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof path) return {};
  return std::string(path, static_cast<std::size_t>(length));
}

std::uint64_t loader_generation() {
  std::uint64_t generation = 0;
  dl_iterate_phdr(readGeneration, &generation);
  return generation;
}

}  // namespace kernel
