#pragma once
// Helpers shared by the stack-walking tests: an image list that frees itself, byte buffers that
// stand for sections, and register states filled from a table.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "crash/engine/CrashAsyncImageList.h"
#include "crash/engine/CrashAsyncMObject.h"
#include "crash/engine/CrashAsyncThreadState.h"
#include "platform/kernel/Sysctl.h"

namespace test {

// An image list of this process that frees itself; refreshed from the loader when asked.
struct ImageListHolder {
  crash_async_image_list list{};
  explicit ImageListHolder(bool refresh = false) {
    crash_nasync_image_list_init(&list, kernel::task_self());
    if (refresh) crash_nasync_image_list_refresh(&list);
  }
  ~ImageListHolder() { crash_nasync_image_list_free(&list); }
  ImageListHolder(const ImageListHolder&) = delete;
  ImageListHolder& operator=(const ImageListHolder&) = delete;
};

// Little-endian bytes built up field by field, standing for a section or an instruction stream.
class Bytes {
 public:
  Bytes() = default;
  Bytes(std::initializer_list<std::uint8_t> bytes) : bytes_(bytes) {}
  Bytes& u8(std::uint8_t value) { return raw(&value, 1); }
  Bytes& u16(std::uint16_t value) { return raw(&value, 2); }
  Bytes& u32(std::uint32_t value) { return raw(&value, 4); }
  Bytes& u64(std::uint64_t value) { return raw(&value, 8); }
  Bytes& uleb(std::uint64_t value);
  Bytes& sleb(std::int64_t value);
  Bytes& append(const Bytes& other) {
    bytes_.insert(bytes_.end(), other.bytes_.begin(), other.bytes_.end());
    return *this;
  }
  Bytes& zeros(std::size_t count) {
    bytes_.resize(bytes_.size() + count, 0);
    return *this;
  }
  // Overwrites the 32-bit value at `offset`.
  void put32(std::size_t offset, std::uint32_t value);
  std::size_t size() const { return bytes_.size(); }
  const std::uint8_t* data() const { return bytes_.data(); }
  std::uint64_t address() const { return reinterpret_cast<std::uint64_t>(bytes_.data()); }

 private:
  Bytes& raw(const void* value, std::size_t size);
  std::vector<std::uint8_t> bytes_;
};

// A memory object over a Bytes of this process, freed with it.
class MappedBytes {
 public:
  explicit MappedBytes(const Bytes& bytes);
  ~MappedBytes() { crash_async_mobject_free(&mobj_); }
  MappedBytes(const MappedBytes&) = delete;
  MappedBytes& operator=(const MappedBytes&) = delete;
  const crash_async_mobject* get() const { return &mobj_; }
  std::uint64_t address() const { return crash_async_mobject_base_address(&mobj_); }

 private:
  crash_async_mobject mobj_{};
};

// An x86-64 state holding exactly the registers listed (id, value).
crash_async_thread_state x86_64State(std::initializer_list<std::pair<crash_regnum_t, std::uint64_t>> registers);

// The name of the function holding `pc` in `list`, from the symbol tables; "" when none is known.
std::string symbolAt(crash_async_image_list* list, std::uint64_t pc);

}  // namespace test
