#include "platform/foundation/ReserveData.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace foundation {

namespace {

// Below this a buffer spans too few huge pages to be worth the hint.
constexpr std::size_t kHugePageThreshold = 8u << 20;

// Asks for huge pages over the whole pages of [begin, begin + size). Only a hint: the kernel may
// ignore it, and the buffer works the same either way.
void adviseHugePages(void* begin, std::size_t size) {
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) & ~(page - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(begin) + size) & ~(page - 1);
  if (end > start) ::madvise(reinterpret_cast<void*>(start), end - start, MADV_HUGEPAGE);
}

}  // namespace

void reserveData(Data& data, std::size_t capacity) {
  if (capacity <= data.capacity()) return;
  data.reserve(capacity);
  if (capacity >= kHugePageThreshold) adviseHugePages(data.data(), data.capacity());
}

}  // namespace foundation
