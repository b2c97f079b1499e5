#include "tests/crash/engine/UnwindSupport.h"

#include <gtest/gtest.h>

#include <string>

#include "crash/engine/CrashAsyncMachO.h"

namespace test {

Bytes& Bytes::raw(const void* value, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(value);
  bytes_.insert(bytes_.end(), bytes, bytes + size);
  return *this;
}

Bytes& Bytes::uleb(std::uint64_t value) {
  do {
    std::uint8_t byte = value & 0x7f;
    value >>= 7;
    if (value != 0) byte |= 0x80;
    u8(byte);
  } while (value != 0);
  return *this;
}

Bytes& Bytes::sleb(std::int64_t value) {
  while (true) {
    std::uint8_t byte = value & 0x7f;
    value >>= 7;
    const bool done = (value == 0 && (byte & 0x40) == 0) || (value == -1 && (byte & 0x40) != 0);
    if (!done) byte |= 0x80;
    u8(byte);
    if (done) return *this;
  }
}

void Bytes::put32(std::size_t offset, std::uint32_t value) { __builtin_memcpy(&bytes_[offset], &value, 4); }

MappedBytes::MappedBytes(const Bytes& bytes) {
  EXPECT_EQ(crash_async_mobject_init(&mobj_, kernel::task_self(), bytes.address(), bytes.size(), true), CRASH_ESUCCESS);
}

crash_async_thread_state x86_64State(std::initializer_list<std::pair<crash_regnum_t, std::uint64_t>> registers) {
  crash_async_thread_state state;
  crash_async_thread_state_init(&state, kernel::CPU_TYPE_X86_64);
  for (const auto& [id, value] : registers) crash_async_thread_state_set_reg(&state, id, value);
  return state;
}

std::string symbolAt(crash_async_image_list* list, std::uint64_t pc) {
  std::string name;
  crash_async_image_list_set_reading(list, true);
  if (crash_async_macho* image = crash_async_image_containing_address(list, pc)) {
    crash_async_macho_find_symbol_by_pc(
        image, pc, [](std::uint64_t, const char* found, void* context) { *static_cast<std::string*>(context) = found; },
        &name);
  }
  crash_async_image_list_set_reading(list, false);
  return name;
}

}  // namespace test
